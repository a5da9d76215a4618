#include "windows/engine/portable/engine_text.hpp"

#include "policy/unicode_text.hpp"

namespace morvex::engine_text {

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ascii_space(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> result;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) {
      result.push_back(text);
      break;
    }
    result.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return result;
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> result;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_ascii_space(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !is_ascii_space(line[i])) ++i;
    if (i > start) result.push_back(line.substr(start, i - start));
  }
  return result;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool is_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (!decode_utf8(text, pos)) return false;
  }
  return true;
}

}  // namespace morvex::engine_text
