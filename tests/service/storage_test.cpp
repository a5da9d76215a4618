#include <windows.h>
// The security headers below need windows.h first.
#include <gtest/gtest.h>
#include <sddl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pipe/pipe_test_support.hpp"
#include "win32/local_memory.hpp"
#include "windows/service/storage.hpp"

namespace morvex {
namespace {

using namespace morvex::testing;
namespace fs = std::filesystem;

// A teardown stand-in that records what it was given.
struct TeardownLog {
  std::vector<fs::path> directories;
  std::optional<Failure> failure;

  TunnelTeardown function() {
    return [this](TunnelState& state) -> Result<void> {
      directories.push_back(state.directory);
      if (failure) return std::unexpected(*failure);
      return {};
    };
  }
};

// The system's answers, except where a test overrides them: Wine can create
// no reparse point, so "the name is a link" is told rather than made; and
// Wine keeps no DACL on files, so the DACL handed to Windows is recorded.
class ScriptedStorage final : public StorageSystem {
 public:
  std::optional<Result<DWORD>> following;
  std::optional<Result<DWORD>> own;
  std::optional<DWORD> apply_result;
  int queries = 0;
  std::vector<std::string> applied;

  Result<DWORD> attributes_following_links(const fs::path& path) override {
    ++queries;
    return following ? *following : system.attributes_following_links(path);
  }
  Result<DWORD> own_attributes(const fs::path& path) override {
    ++queries;
    return own ? *own : system.own_attributes(path);
  }
  DWORD apply_dacl(const fs::path& path, SECURITY_INFORMATION information, PACL dacl) override {
    char flags[32];
    std::snprintf(flags, sizeof(flags), "%08lx", static_cast<unsigned long>(information));
    applied.push_back(path.string() + " " + flags + describe_acl(dacl));
    return apply_result ? *apply_result : system.apply_dacl(path, information, dacl);
  }

 private:
  SystemStorage system;
};

// What the storage directory is given: DACL_SECURITY_INFORMATION with
// PROTECTED_DACL_SECURITY_INFORMATION, and LocalSystem and Administrators
// with full file access, inherited by files and folders inside.
std::string storage_dacl(const fs::path& storage) {
  return storage.string() + " 80000004 0/3/001f01ff/S-1-5-18 0/3/001f01ff/S-1-5-32-544";
}

class StorageTest : public ::testing::Test {
 protected:
  TemporaryFolder install{L"install"};
  fs::path executable = install.path() / L"morvex_vpn_platform_service.exe";
  fs::path storage = install.path() / L"private-runtime";
  ScriptedStorage probe;
  TeardownLog teardown;
};

TEST_F(StorageTest, MissingStorageIsCreatedSecuredAndTornDownOnce) {
  const auto record = prepare_storage_beside(executable, probe, teardown.function());
  ASSERT_TRUE(record);
  EXPECT_EQ((*record)->directory, storage);
  EXPECT_FALSE((*record)->active_profile);
  EXPECT_TRUE(fs::is_directory(storage));
  EXPECT_EQ(probe.applied, std::vector<std::string>{storage_dacl(storage)});
  EXPECT_EQ(teardown.directories, std::vector<fs::path>{storage});
}

TEST_F(StorageTest, ExistingStorageKeepsItsFilesAndIsSecuredAgain) {
  fs::create_directory(storage);
  std::ofstream(storage / L"adapter-tap.id") << "{id}";
  ASSERT_TRUE(prepare_storage_beside(executable, probe, teardown.function()));
  ASSERT_TRUE(prepare_storage_beside(executable, probe, teardown.function()));
  EXPECT_EQ(probe.applied, std::vector<std::string>(2, storage_dacl(storage)));
  EXPECT_EQ(read_file(storage / L"adapter-tap.id"), "{id}");
  EXPECT_EQ(teardown.directories.size(), 2u);
}

TEST_F(StorageTest, DaclThatCannotBeAppliedStopsBeforeTheTeardown) {
  probe.apply_result = ERROR_ACCESS_DENIED;
  EXPECT_EQ(prepare_storage_beside(executable, probe, teardown.function()),
            fail("Cannot protect private VPN storage."));
  EXPECT_TRUE(teardown.directories.empty());
}

TEST_F(StorageTest, MissingInstallationFoldersAreCreated) {
  const fs::path deep = install.path() / L"a" / L"b" / L"service.exe";
  ASSERT_TRUE(prepare_storage_beside(deep, probe, teardown.function()));
  EXPECT_TRUE(fs::is_directory(install.path() / L"a" / L"b" / L"private-runtime"));
}

TEST_F(StorageTest, RefusalsCreateNothingAndTearNothingDown) {
  struct Case {
    const char* what;
    std::optional<Result<DWORD>> following;
    std::optional<Result<DWORD>> own;
    const char* message;
  };
  const Case cases[] = {
      {"junction to an existing directory", DWORD{FILE_ATTRIBUTE_DIRECTORY},
       DWORD{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT},
       "VPN storage must not be a reparse point."},
      {"file symbolic link", DWORD{FILE_ATTRIBUTE_ARCHIVE}, DWORD{FILE_ATTRIBUTE_REPARSE_POINT},
       "VPN storage must not be a reparse point."},
      {"name unreadable without following", DWORD{FILE_ATTRIBUTE_DIRECTORY},
       fail("Cannot inspect VPN storage."), "Cannot inspect VPN storage."},
  };
  for (const auto& c : cases) {
    probe.following = c.following;
    probe.own = c.own;
    EXPECT_EQ(prepare_storage_beside(executable, probe, teardown.function()), fail(c.message))
        << c.what;
    EXPECT_FALSE(fs::exists(storage)) << c.what;
    EXPECT_TRUE(probe.applied.empty()) << c.what;
  }
  EXPECT_TRUE(teardown.directories.empty());
}

TEST_F(StorageTest, StorageThatIsNoDirectoryCannotBePrepared) {
  {
    std::ofstream(storage) << "not a directory";
    EXPECT_EQ(prepare_storage_beside(executable, probe, teardown.function()),
              fail("Cannot prepare VPN storage."));
    fs::remove(storage);
  }
  {
    // A link whose target is missing: following fails, so the name seems
    // free, yet it cannot be created.
    fs::create_directory(storage);
    probe.following = fail("Cannot inspect VPN storage.");
    probe.own = DWORD{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT};
    EXPECT_EQ(prepare_storage_beside(executable, probe, teardown.function()),
              fail("Cannot prepare VPN storage."));
  }
  EXPECT_TRUE(teardown.directories.empty());
}

TEST_F(StorageTest, PathsWithoutADirectoryAreNoInstallation) {
  EXPECT_EQ(prepare_storage_beside(L"service.exe", probe, teardown.function()),
            fail("Invalid VPN installation."));
  EXPECT_EQ(prepare_storage_beside(L"C:\\", probe, teardown.function()),
            fail("Invalid VPN installation."));
  EXPECT_EQ(probe.queries, 0);
}

TEST_F(StorageTest, TeardownFailureIsTheResult) {
  teardown.failure = Failure{"Close the other WireGuard tunnel before connecting."};
  EXPECT_EQ(prepare_storage_beside(executable, probe, teardown.function()),
            fail("Close the other WireGuard tunnel before connecting."));
  EXPECT_EQ(teardown.directories.size(), 1u);
}

TEST_F(StorageTest, ProtectingAMissingDirectoryFails) {
  EXPECT_EQ(protect_storage(install.path() / L"missing"),
            fail("Cannot protect private VPN storage."));
  EXPECT_EQ(protect_storage(install.path()), Result<void>{});
}

TEST(StorageOnThisMachine, FollowsOrNotAsAsked) {
  const TemporaryFolder folder(L"probe");
  SystemStorage probe;
  const auto following = probe.attributes_following_links(folder.path());
  ASSERT_TRUE(following);
  EXPECT_TRUE(*following & FILE_ATTRIBUTE_DIRECTORY);
  const auto own = probe.own_attributes(folder.path());
  ASSERT_TRUE(own);
  EXPECT_FALSE(*own & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(probe.attributes_following_links(folder.path() / L"missing"),
            fail("Cannot inspect VPN storage."));
  EXPECT_EQ(probe.own_attributes(folder.path() / L"missing"), fail("Cannot inspect VPN storage."));
}

}  // namespace
}  // namespace morvex
