#include "windows/pipe/portable/admission.hpp"

#include <algorithm>

namespace morvex {
namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

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

bool client_trusted(const Result<std::wstring>& client_image,
                    const Result<std::wstring>& service_image) {
  if (!client_image || !service_image) return false;
  return same_parent_directory(*client_image, *service_image);
}

}  // namespace morvex
