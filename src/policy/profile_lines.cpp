#include "policy/profile_lines.hpp"

#include "policy/unicode_text.hpp"

namespace morvex {

std::optional<std::string_view> ProfileLineReader::next() {
  if (rest_.empty()) return std::nullopt;
  std::string_view line;
  const auto end = rest_.find('\n');
  if (end == std::string_view::npos) {
    line = rest_;
    rest_ = {};
  } else {
    line = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
  }
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return trim_white_space(line);
}

}  // namespace morvex
