#include "windows/engine/portable/program_paths.hpp"

namespace morvex {
namespace {

bool is_valid_utf16(std::wstring_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<std::uint32_t>(text[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == text.size()) return false;
      const auto next = static_cast<std::uint32_t>(text[i + 1]);
      if (next < 0xDC00 || next > 0xDFFF) return false;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::wstring program_root(const std::optional<std::wstring>& value, std::wstring_view fallback) {
  // An empty root would make every program path relative to the current
  // directory, so it counts as unset.
  if (!value || value->empty() || !is_valid_utf16(*value)) return std::wstring(fallback);
  return *value;
}

std::wstring join_path(std::wstring_view root, std::wstring_view relative) {
  std::wstring path(root);
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  path += relative;
  return path;
}

}  // namespace morvex
