#include "policy/value_rule.hpp"

#include <string>

#include "policy/policy_messages.hpp"
#include "policy/unicode_text.hpp"

namespace morvex {
namespace {

// Malformed UTF-8 is refused as well: such bytes would end up in files, on
// command lines and in JSON replies, and a lenient reader elsewhere could take
// an overlong form for the control character it spells.
bool holds_only_printable_characters(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      if (byte < 0x20 || byte == 0x7F) return false;
      ++pos;
      continue;
    }
    const auto c = decode_utf8(text, pos);
    if (!c || is_control_character(*c)) return false;
  }
  return true;
}

}  // namespace

Result<void> check_value(std::string_view text, std::size_t limit_bytes) {
  if (text.size() > limit_bytes || trim_white_space(text).empty() ||
      !holds_only_printable_characters(text)) {
    return fail(std::string(policy_message::invalid_value));
  }
  return {};
}

}  // namespace morvex
