#include "windows/pipe/portable/admission.hpp"

#include <algorithm>

namespace morvex {
namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_ascii_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Win32 name rewriting drops or resolves such components ("..", "x. ").
bool dots_and_spaces_only(std::wstring_view component) {
  return component.find_first_not_of(L". ") == std::wstring_view::npos;
}

wchar_t fold_ascii(wchar_t c) {
  return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
}

bool equal_folding_ascii(std::wstring_view first, std::wstring_view second) {
  return std::ranges::equal(first, second, {}, fold_ascii, fold_ascii);
}

// The folder part of a path, or none when it names no file in a folder: the
// part after the last backslash must be a plain name, without a forward slash
// or a NUL that would make it climb or end elsewhere.
std::optional<std::wstring_view> folder_of(std::wstring_view path) {
  if (path.starts_with(L"\\\\?\\")) path.remove_prefix(4);
  const std::size_t last = path.rfind(L'\\');
  if (last == std::wstring_view::npos || last == 0) return std::nullopt;
  const std::wstring_view name = path.substr(last + 1);
  if (name.empty() || dots_and_spaces_only(name)) return std::nullopt;
  if (name.find_first_of(std::wstring_view(L"/\0", 2)) != std::wstring_view::npos) {
    return std::nullopt;
  }
  return path.substr(0, last);
}

}  // namespace

bool session_admitted(std::optional<std::uint32_t> client_session, std::uint32_t console_session) {
  if (!client_session || console_session == no_console_session) return false;
  return *client_session == console_session;
}

std::optional<std::vector<std::wstring_view>> parent_components(std::wstring_view path) {
  const auto last = std::find_if(path.rbegin(), path.rend(), is_separator);
  // No separator at all, or nothing after the last one: no file in a directory.
  if (last == path.rend() || last == path.rbegin()) return std::nullopt;
  const std::wstring_view directory = path.substr(0, path.size() - (last - path.rbegin()) - 1);

  std::vector<std::wstring_view> components;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= directory.size(); ++i) {
    if (i == directory.size() || is_separator(directory[i])) {
      components.push_back(directory.substr(start, i - start));
      start = i + 1;
    }
  }
  return components;
}

bool same_parent_directory(std::wstring_view first, std::wstring_view second) {
  const auto first_parent = parent_components(first);
  const auto second_parent = parent_components(second);
  if (!first_parent || !second_parent) return false;
  return *first_parent == *second_parent;
}

std::optional<DrivePath> local_drive_path(std::wstring_view path) {
  // The prefixes that may stand before a drive letter; "\\.\" is normalised
  // by Windows, "\\?\" is not, and both name the same drive.
  for (const std::wstring_view prefix : {L"\\\\?\\", L"\\\\.\\"}) {
    if (path.starts_with(prefix)) {
      path.remove_prefix(prefix.size());
      break;
    }
  }
  if (path.size() < 4 || !is_ascii_letter(path[0]) || path[1] != L':' || path[2] != L'\\') {
    return std::nullopt;
  }
  if (path.find_first_of(std::wstring_view(L"/\0", 2)) != std::wstring_view::npos) {
    return std::nullopt;
  }
  std::size_t start = 3;
  for (;;) {
    const std::size_t end = std::min(path.find(L'\\', start), path.size());
    const std::wstring_view component = path.substr(start, end - start);
    if (component.empty() || dots_and_spaces_only(component)) return std::nullopt;
    if (end == path.size()) break;
    start = end + 1;
  }
  return DrivePath{std::wstring(path.substr(0, 3)), L"\\\\?\\" + std::wstring(path)};
}

bool reported_in_service_folder(std::wstring_view reported, std::wstring_view service_path) {
  const auto client_folder = folder_of(reported);
  const auto service_folder = folder_of(service_path);
  if (!client_folder || !service_folder) return false;
  return equal_folding_ascii(*client_folder, *service_folder);
}

bool client_trusted(const Result<std::wstring>& client_image,
                    const Result<std::wstring>& service_image) {
  if (!client_image || !service_image) return false;
  // However the directories compare, an executable that is not on a local
  // drive is never the app.
  if (!local_drive_path(*client_image)) return false;
  return same_parent_directory(*client_image, *service_image);
}

}  // namespace morvex
