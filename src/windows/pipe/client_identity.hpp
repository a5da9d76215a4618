#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/failure.hpp"

namespace morvex {

// The final path of a file: opened without data access and resolved with
// GetFinalPathNameByHandleW into its normalised "\\?\" form, every link and
// junction on the way followed. Fails with "Cannot verify VPN process path.".
Result<std::wstring> canonical_path(std::wstring_view path);

// What turning a client's reported executable path into its canonical path
// asks of the system; tests substitute their own answers.
struct ImagePathChecks {
  // GetDriveTypeW of a drive root such as "C:\".
  std::function<UINT(const std::wstring& root)> drive_type;
  // Opens a path and resolves it: canonical_path in the system's checks.
  std::function<Result<std::wstring>(std::wstring_view path)> canonicalise;
};
ImagePathChecks system_image_path_checks();

// The canonical path of a client's executable from the path Windows reports
// for it. Only a path that lies directly in the folder of one of
// `service_paths` (the service's executable as the loader names it and as its
// final path), on a drive letter whose drive is not remote, is opened, and it
// is opened verbatim; anything else fails with "Cannot verify VPN process
// path." before the file system is asked, so that a client cannot make the
// service open a path on another machine with its credentials, nor follow a
// link that it placed outside the installation folder.
Result<std::wstring> canonical_image_path(std::wstring_view reported,
                                          const std::vector<std::wstring>& service_paths,
                                          const ImagePathChecks& checks);

// The canonical path of the executable of a running process, opened only
// under the rules of canonical_image_path.
Result<std::wstring> client_image_path(DWORD process_id,
                                       const std::vector<std::wstring>& service_paths);

// The path of the running executable as the loader reports it, unresolved.
// Fails with "Cannot locate VPN service.".
Result<std::wstring> own_image_path();

// What the accept loop learns about the client of a connected pipe instance.
// The system answers come from Windows; tests substitute their own.
class ClientIdentity {
 public:
  virtual ~ClientIdentity() = default;
  // The client's session, or none when Windows cannot tell.
  virtual std::optional<std::uint32_t> client_session(HANDLE pipe) = 0;
  // The session attached to the physical console, or no_console_session.
  virtual std::uint32_t console_session() = 0;
  // The canonical path of the client's executable; `service_image` is the
  // service's canonical path, learnt just before for the same connection.
  virtual Result<std::wstring> client_image(HANDLE pipe, const std::wstring& service_image) = 0;
  // The canonical path of the service's own executable.
  virtual Result<std::wstring> service_image() = 0;
};

class SystemClientIdentity final : public ClientIdentity {
 public:
  std::optional<std::uint32_t> client_session(HANDLE pipe) override;
  std::uint32_t console_session() override;
  // Opens the client's executable only when its reported path lies in the
  // folder of the service's canonical path or of its path as loaded.
  Result<std::wstring> client_image(HANDLE pipe, const std::wstring& service_image) override;
  Result<std::wstring> service_image() override;
};

// Whether the client of `pipe` is the desktop app: both executables are
// learnt anew for every connection (the service's first) and must share their
// directory.
bool decide_trust(ClientIdentity& identity, HANDLE pipe);

}  // namespace morvex
