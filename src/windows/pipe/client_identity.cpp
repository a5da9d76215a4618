#include "windows/pipe/client_identity.hpp"

#include <algorithm>
#include <vector>

#include "win32/unique_handle.hpp"
#include "windows/pipe/portable/admission.hpp"

namespace morvex {
namespace {

// Longest path a Win32 call reports, in UTF-16 units.
constexpr DWORD max_path_units = 32768;

}  // namespace

Result<std::wstring> canonical_path(std::wstring_view path) {
  const std::wstring text(path);
  UniqueHandle file(CreateFileW(text.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return fail("Cannot verify VPN process path.");

  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length == 0) return fail("Cannot verify VPN process path.");
    // A result that does not fit reports the size it needs, terminator included.
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    if (length > max_path_units) return fail("Cannot verify VPN process path.");
    buffer.resize(length);
  }
}

ImagePathChecks system_image_path_checks() {
  return {[](const std::wstring& root) { return GetDriveTypeW(root.c_str()); }, canonical_path};
}

Result<std::wstring> canonical_image_path(std::wstring_view reported,
                                          const std::vector<std::wstring>& service_paths,
                                          const ImagePathChecks& checks) {
  // A path elsewhere could be a link that the client put in place of its
  // renamed program; it is not opened at all.
  const bool in_folder = std::ranges::any_of(service_paths, [&](const std::wstring& service) {
    return reported_in_service_folder(reported, service);
  });
  if (!in_folder) return fail("Cannot verify VPN process path.");
  const auto path = local_drive_path(reported);
  if (!path) return fail("Cannot verify VPN process path.");
  // A mapped network drive is remote; a letter that names no drive, or one
  // whose kind Windows cannot tell, is refused as well.
  switch (checks.drive_type(path->root)) {
    case DRIVE_FIXED:
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
    case DRIVE_RAMDISK: return checks.canonicalise(path->verbatim);
    default: return fail("Cannot verify VPN process path.");
  }
}

Result<std::wstring> client_image_path(DWORD process_id,
                                       const std::vector<std::wstring>& service_paths) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return fail("Cannot inspect VPN process identity.");

  std::vector<wchar_t> buffer(max_path_units);
  DWORD length = static_cast<DWORD>(buffer.size());
  if (!QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &length)) {
    return fail("Cannot verify VPN process executable.");
  }
  return canonical_image_path(std::wstring_view(buffer.data(), length), service_paths,
                              system_image_path_checks());
}

Result<std::wstring> own_image_path() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return fail("Cannot locate VPN service.");
    // A truncated name fills the whole buffer.
    if (length < buffer.size() && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      return std::wstring(buffer.data(), length);
    }
    if (buffer.size() >= max_path_units) return fail("Cannot locate VPN service.");
    buffer.resize(buffer.size() * 2 > max_path_units ? max_path_units : buffer.size() * 2);
  }
}

std::optional<std::uint32_t> SystemClientIdentity::client_session(HANDLE pipe) {
  ULONG session = 0;
  if (!GetNamedPipeClientSessionId(pipe, &session)) return std::nullopt;
  return static_cast<std::uint32_t>(session);
}

std::uint32_t SystemClientIdentity::console_session() {
  return static_cast<std::uint32_t>(WTSGetActiveConsoleSessionId());
}

Result<std::wstring> SystemClientIdentity::client_image(HANDLE pipe,
                                                        const std::wstring& service_image) {
  ULONG process_id = 0;
  if (!GetNamedPipeClientProcessId(pipe, &process_id)) {
    return fail("Cannot inspect VPN process identity.");
  }
  // The app is launched under the name of the folder the service was started
  // from, which differs from the final path when that folder is reached
  // through a junction; both name the same administrators-only folder.
  std::vector<std::wstring> service_paths{service_image};
  if (auto loaded = own_image_path()) service_paths.push_back(std::move(*loaded));
  return client_image_path(process_id, service_paths);
}

Result<std::wstring> SystemClientIdentity::service_image() {
  auto path = own_image_path();
  if (!path) return path;
  return canonical_path(*path);
}

bool decide_trust(ClientIdentity& identity, HANDLE pipe) {
  const auto service = identity.service_image();
  if (!service) return false;
  const auto client = identity.client_image(pipe, *service);
  if (!client) return false;
  return client_trusted(client, service);
}

}  // namespace morvex
