#include "windows/service/storage.hpp"

#include <aclapi.h>

#include <string>

#include "win32/unique_handle.hpp"
#include "windows/pipe/client_identity.hpp"
#include "windows/pipe/security_descriptor.hpp"

namespace morvex {
namespace {

Result<DWORD> handle_attributes(const std::filesystem::path& path, DWORD flags) {
  const UniqueHandle file(CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
  if (!file) return fail("Cannot inspect VPN storage.");
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file.get(), &information)) {
    return fail("Cannot inspect VPN storage.");
  }
  return information.dwFileAttributes;
}

bool is_directory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool is_reparse_point(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Creates the directory and any missing parents. An existing storage
// directory counts only when it is really there (not a link, and not a link
// to nowhere); an existing parent only has to lead to a directory.
Result<void> create_directory_tree(const std::filesystem::path& path, StorageSystem& system,
                                   int depth = 0) {
  if (CreateDirectoryW(path.c_str(), nullptr)) return {};
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    const auto target = system.attributes_following_links(path);
    if (!target || !is_directory(*target)) return fail("Cannot prepare VPN storage.");
    if (depth > 0) return {};
    const auto own = system.own_attributes(path);
    if (own && !is_reparse_point(*own)) return {};
    return fail("Cannot prepare VPN storage.");
  }
  const auto parent = path.parent_path();
  if (error == ERROR_PATH_NOT_FOUND && depth < 64 && !parent.empty() && parent != path) {
    if (auto made = create_directory_tree(parent, system, depth + 1); !made) return made;
    if (CreateDirectoryW(path.c_str(), nullptr)) return {};
  }
  return fail("Cannot prepare VPN storage.");
}

}  // namespace

Result<DWORD> SystemStorage::attributes_following_links(const std::filesystem::path& path) {
  return handle_attributes(path, 0);
}

Result<DWORD> SystemStorage::own_attributes(const std::filesystem::path& path) {
  auto attributes = handle_attributes(path, FILE_FLAG_OPEN_REPARSE_POINT);
  if (!attributes) return attributes;
  // The attributes stored with the name itself must agree: where either
  // non-following view reports a reparse point, it is one.
  const DWORD by_name = GetFileAttributesW(path.c_str());
  if (by_name != INVALID_FILE_ATTRIBUTES) *attributes |= by_name & FILE_ATTRIBUTE_REPARSE_POINT;
  return attributes;
}

DWORD SystemStorage::apply_dacl(const std::filesystem::path& path, SECURITY_INFORMATION information,
                                PACL dacl) {
  std::wstring name = path.wstring();
  return SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, information, nullptr, nullptr, dacl,
                               nullptr);
}

Result<void> protect_storage(const std::filesystem::path& storage) {
  SystemStorage system;
  return protect_storage(storage, system);
}

Result<void> protect_storage(const std::filesystem::path& storage, StorageSystem& system) {
  auto descriptor = security_descriptor_from_sddl(storage_sddl);
  if (!descriptor) return std::unexpected(descriptor.error());

  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor->get(), &present, &dacl, &defaulted) || !present) {
    return fail("Cannot secure private VPN storage.");
  }
  // Protected: nothing is inherited from the installation directory.
  if (system.apply_dacl(storage, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                        dacl) != ERROR_SUCCESS) {
    return fail("Cannot protect private VPN storage.");
  }
  return {};
}

Result<std::unique_ptr<TunnelState>> prepare_storage_beside(const std::filesystem::path& executable,
                                                            StorageSystem& system,
                                                            const TunnelTeardown& teardown) {
  const auto installation = executable.parent_path();
  if (installation.empty() || installation == executable) return fail("Invalid VPN installation.");
  const auto storage = installation / storage_directory_name;

  // Look before creating anything: an existing name must not redirect.
  if (system.attributes_following_links(storage)) {
    const auto own = system.own_attributes(storage);
    if (!own) return fail("Cannot inspect VPN storage.");
    if (is_reparse_point(*own)) return fail("VPN storage must not be a reparse point.");
  }

  if (auto created = create_directory_tree(storage, system); !created) {
    return std::unexpected(created.error());
  }
  if (auto protected_ = protect_storage(storage, system); !protected_) {
    return std::unexpected(protected_.error());
  }

  auto record = std::make_unique<TunnelState>(storage);
  // Remove whatever an earlier run of the service left behind.
  if (auto torn_down = teardown(*record); !torn_down) return std::unexpected(torn_down.error());
  return record;
}

Result<std::unique_ptr<TunnelState>> prepare_storage(const TunnelTeardown& teardown) {
  try {
    const auto executable = own_image_path();
    if (!executable) return std::unexpected(executable.error());
    SystemStorage system;
    return prepare_storage_beside(*executable, system, teardown);
  } catch (...) {
    // Out of memory while building paths: nothing usable was prepared.
    return fail("Cannot prepare VPN storage.");
  }
}

}  // namespace morvex
