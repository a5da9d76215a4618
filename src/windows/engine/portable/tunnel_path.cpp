#include "windows/engine/portable/tunnel_path.hpp"

namespace morvex {
namespace {

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> result;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '\\' && path[i] != '/') continue;
    const auto part = path.substr(start, i - start);
    if (!part.empty() && part != ".") result.push_back(part);
    start = i + 1;
  }
  return result;
}

bool is_drive(std::string_view part) {
  return part.size() == 2 && part[1] == ':' &&
         ((part[0] >= 'a' && part[0] <= 'z') || (part[0] >= 'A' && part[0] <= 'Z'));
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool same_windows_path(std::string_view a, std::string_view b) {
  const auto left = components(a);
  const auto right = components(b);
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (i == 0 && is_drive(left[0]) && is_drive(right[0])) {
      if (lower(left[0][0]) != lower(right[0][0])) return false;
      continue;
    }
    if (left[i] != right[i]) return false;
  }
  return true;
}

bool names_configuration(const std::vector<std::string>& arguments,
                         std::string_view configuration) {
  for (const auto& argument : arguments) {
    if (same_windows_path(argument, configuration)) return true;
  }
  return false;
}

}  // namespace morvex
