#pragma once

#include <string>
#include <string_view>

// Where the service finds the programs it starts. Every path is absolute and
// built from a root that the environment names, read afresh at each call.
namespace morvex {

// Paths below the program-files root.
inline constexpr std::wstring_view wireguard_manager_program = L"WireGuard\\wireguard.exe";
inline constexpr std::wstring_view wireguard_query_program = L"WireGuard\\wg.exe";
inline constexpr std::wstring_view openvpn_program = L"OpenVPN\\bin\\openvpn.exe";
inline constexpr std::wstring_view tap_adapter_program = L"OpenVPN\\bin\\tapctl.exe";

// Paths below the system tools' folder (System32).
inline constexpr std::wstring_view powershell_program = L"WindowsPowerShell\\v1.0\\powershell.exe";
inline constexpr std::wstring_view curl_program = L"curl.exe";

// The ProgramFiles variable ("C:\Program Files" when it is unset, empty or
// not valid Unicode) joined with `relative`.
std::wstring program_files_path(std::wstring_view relative);

// The SystemRoot variable ("C:\Windows" likewise) joined with "System32" and
// then with `relative`.
std::wstring system_tool_path(std::wstring_view relative);

// Whether `path` exists (links followed), its attributes can be read and it
// names a file rather than a directory.
bool is_existing_regular_file(const std::wstring& path);

}  // namespace morvex
