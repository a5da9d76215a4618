#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "common/failure.hpp"
#include "windows/engine/tunnel_state.hpp"

namespace morvex {

// The private storage directory beside the service's executable.
inline constexpr std::wstring_view storage_directory_name = L"private-runtime";
// A protected DACL: LocalSystem and Administrators have full access, passed
// on to everything inside; nobody else has any.
inline constexpr std::wstring_view storage_sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// How the storage path looks on disk, and the one call that secures it. The
// system answers come from Windows; tests substitute their own.
class StorageSystem {
 public:
  virtual ~StorageSystem() = default;
  // Attributes of what the path finally leads to, links followed.
  virtual Result<DWORD> attributes_following_links(const std::filesystem::path& path) = 0;
  // Attributes of the name itself, links not followed.
  virtual Result<DWORD> own_attributes(const std::filesystem::path& path) = 0;
  // SetNamedSecurityInfoW for a file object with only a DACL; its result.
  virtual DWORD apply_dacl(const std::filesystem::path& path, SECURITY_INFORMATION information,
                           PACL dacl) = 0;
};

class SystemStorage final : public StorageSystem {
 public:
  Result<DWORD> attributes_following_links(const std::filesystem::path& path) override;
  Result<DWORD> own_attributes(const std::filesystem::path& path) override;
  DWORD apply_dacl(const std::filesystem::path& path, SECURITY_INFORMATION information,
                   PACL dacl) override;
};

// Stops whatever tunnel the record describes and deletes the private files.
using TunnelTeardown = std::function<Result<void>(TunnelState&)>;

// Applies the storage DACL to the directory (only the DACL; owner, group
// and SACL stay as they are).
Result<void> protect_storage(const std::filesystem::path& storage, StorageSystem& system);
Result<void> protect_storage(const std::filesystem::path& storage);

// Prepares `private-runtime` beside `executable`: refuses a name that is a
// reparse point before anything is created, creates and secures the
// directory, and tears down what an earlier run left. Gives the fresh
// tunnel-state record around the directory.
Result<std::unique_ptr<TunnelState>> prepare_storage_beside(const std::filesystem::path& executable,
                                                            StorageSystem& system,
                                                            const TunnelTeardown& teardown);

// The same beside the running executable, with the system's answers.
Result<std::unique_ptr<TunnelState>> prepare_storage(const TunnelTeardown& teardown);

}  // namespace morvex
