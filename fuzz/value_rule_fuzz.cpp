// check_value agrees with a plain restatement of the rule that decodes the
// whole text first: at most `limit` bytes, well-formed UTF-8, no control
// character, and something left after trimming Unicode white space.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "policy/value_rule.hpp"

namespace {

std::optional<std::vector<char32_t>> decode(std::string_view text) {
  std::vector<char32_t> characters;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC0 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF8 ? 4
                                             : 0;
    if (length == 0 || i + length > text.size()) return std::nullopt;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      if ((byte & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (byte & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return std::nullopt;
    characters.push_back(c);
    i += length;
  }
  return characters;
}

bool white_space(char32_t c) {
  constexpr char32_t list[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                               0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                               0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                               0x2029, 0x202F, 0x205F, 0x3000};
  for (const auto w : list) {
    if (w == c) return true;
  }
  return false;
}

bool expected_to_pass(std::string_view text, std::size_t limit) {
  if (text.size() > limit) return false;
  const auto characters = decode(text);
  if (!characters) return false;
  bool visible = false;
  for (const auto c : *characters) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
    if (!white_space(c)) visible = true;
  }
  return visible;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t limit = static_cast<std::size_t>(data[0]) << 4 | (data[1] & 0x0F);
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
  const auto result = morvex::check_value(text, limit);
  if (result.has_value() != expected_to_pass(text, limit)) __builtin_trap();
  if (!result && result.error().message != "Morvex returned an invalid value.") __builtin_trap();
  return 0;
}
