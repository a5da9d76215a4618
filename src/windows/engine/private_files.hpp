#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/failure.hpp"

namespace morvex {

// Files of one connection in the private-runtime directory, besides the
// WireGuard configuration (named after the tunnel). The adapter identifier
// file outlives connections and is never deleted.
inline constexpr std::wstring_view openvpn_config_file = L"openvpn.ovpn";
inline constexpr std::wstring_view openvpn_auth_file = L"openvpn.auth";
inline constexpr std::wstring_view openvpn_log_file = L"openvpn.log";
inline constexpr std::wstring_view openvpn_status_file = L"status.txt";
inline constexpr std::wstring_view adapter_id_file = L"adapter-tap.id";

// Creates `name` in `directory` (never replacing an existing file), writes all
// of `bytes` and returns the file's full path. The file takes its access list
// from the directory.
Result<std::filesystem::path> write_private_file(const std::filesystem::path& directory,
                                                 std::wstring_view name, std::string_view bytes);

// The whole content of a file that another process may be writing, when it
// can be opened and is at most `limit` bytes long. The bytes are given as they
// are: the caller decides whether they must be text.
std::optional<std::string> read_file_bytes(const std::filesystem::path& path, std::size_t limit);

}  // namespace morvex
