#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/failure.hpp"

namespace morvex {

// The session number Windows reports while no session is attached to the
// physical console.
inline constexpr std::uint32_t no_console_session = 0xFFFFFFFFu;

// A client may talk to the service only from the session at the physical
// console. No client session (the query failed) or no console session refuses.
bool session_admitted(std::optional<std::uint32_t> client_session, std::uint32_t console_session);

// The components of the directory that holds `path`, split at back and
// forward slashes and kept exactly as written (empty components of a prefix
// such as "\\?\" included). None when the path has no directory part or ends
// in a separator.
std::optional<std::vector<std::wstring_view>> parent_components(std::wstring_view path);

// Whether two paths lie in the same directory, comparing the directories
// component by component, each component matched exactly (case-sensitively).
bool same_parent_directory(std::wstring_view first, std::wstring_view second);

// A client's executable path that the service may open: a full path on a
// drive letter. `root` ("C:\") is what the drive-type query takes; `verbatim`
// ("\\?\C:\...") is the same path opened without Win32 name rewriting, so
// that device names or dot components cannot send the open elsewhere.
struct DrivePath {
  std::wstring root;
  std::wstring verbatim;
};

// The path that Windows reports for a client's executable, as a path the
// service may open, or none. Only "C:\...", "\\?\C:\..." and "\\.\C:\..."
// qualify, written with backslashes only and holding no empty component and
// none made of dots and spaces alone. Everything else could lead the open to
// another machine, with the service's credentials, and gives none: UNC paths,
// "\\?\UNC\", every other device path ("\\?\GLOBALROOT\", volume names,
// pipes), NT paths ("\??\", "\Device\Mup\") and relative paths.
std::optional<DrivePath> local_drive_path(std::wstring_view path);

// Whether the path Windows reports for a client's executable names a file
// directly in the folder of `service_path`, checked before the service opens
// anything. Both sides lose a leading "\\?\", the folders are the text before
// the last backslash, and they are compared without regard to the case of
// ASCII letters (the file system's case rule for the installation folder's
// names); every other character must match exactly. A launch through an 8.3
// short name, another spelling of the folder or a link placed elsewhere does
// not match: such a path could lead the open to a share.
bool reported_in_service_folder(std::wstring_view reported, std::wstring_view service_path);

// The trust decision: a client is the desktop app exactly when the canonical
// path of its executable lies in the directory of the service's own
// canonical executable path, and that path is on a drive letter. Any failure
// to learn either path refuses.
bool client_trusted(const Result<std::wstring>& client_image,
                    const Result<std::wstring>& service_image);

}  // namespace morvex
