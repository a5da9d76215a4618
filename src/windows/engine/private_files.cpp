#include "windows/engine/private_files.hpp"

#include <windows.h>

#include <algorithm>

#include "win32/unique_handle.hpp"
#include "windows/engine/portable/engine_text.hpp"

namespace morvex {

Result<std::filesystem::path> write_private_file(const std::filesystem::path& directory,
                                                 std::wstring_view name, std::string_view bytes) {
  auto path = directory / std::filesystem::path(std::wstring(name));
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return fail("Cannot create private VPN configuration.");
  while (!bytes.empty()) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), chunk, &written, nullptr) || written == 0) {
      return fail("Cannot write VPN configuration.");
    }
    bytes.remove_prefix(written);
  }
  return path;
}

std::optional<std::string> read_file_bytes(const std::filesystem::path& path, std::size_t limit) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string text;
  char buffer[65536];
  while (true) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) return std::nullopt;
    if (read == 0) break;
    if (read > limit - text.size()) return std::nullopt;
    text.append(buffer, read);
  }
  return text;
}

}  // namespace morvex
