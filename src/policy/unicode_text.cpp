#include "policy/unicode_text.hpp"

namespace morvex {
namespace {

bool is_ascii_white_space(unsigned char byte) {
  return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::optional<char32_t> decode_utf8(std::string_view text, std::size_t& pos) {
  if (pos >= text.size()) return std::nullopt;
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
    smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    smallest = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - pos < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (!is_continuation(byte)) return std::nullopt;
    value = (value << 6) | (byte & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return std::nullopt;
  }
  pos += length;
  return value;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_control_character(char32_t c) { return c <= 0x1F || (c >= 0x7F && c <= 0x9F); }

std::size_t leading_white_space_length(std::string_view text) {
  if (text.empty()) return 0;
  const auto first = static_cast<unsigned char>(text.front());
  if (first < 0x80) return is_ascii_white_space(first) ? 1 : 0;
  std::size_t pos = 0;
  const auto c = decode_utf8(text, pos);
  return c && is_white_space(*c) ? pos : 0;
}

std::size_t trailing_white_space_length(std::string_view text) {
  if (text.empty()) return 0;
  const auto last = static_cast<unsigned char>(text.back());
  if (last < 0x80) return is_ascii_white_space(last) ? 1 : 0;
  // Every white-space character beyond ASCII takes two or three bytes. Its
  // first byte is a lead byte, which no earlier sequence can claim, so reading
  // the tail on its own agrees with reading the text from the front.
  for (std::size_t length = 2; length <= 3 && length <= text.size(); ++length) {
    const auto tail = text.substr(text.size() - length);
    std::size_t pos = 0;
    const auto c = decode_utf8(tail, pos);
    if (c && pos == length && is_white_space(*c)) return length;
  }
  return 0;
}

std::string_view trim_white_space(std::string_view text) {
  while (const auto length = leading_white_space_length(text)) text.remove_prefix(length);
  while (const auto length = trailing_white_space_length(text)) text.remove_suffix(length);
  return text;
}

std::string_view first_word(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // Printable ASCII other than the space is neither white space nor the
    // start of it; words are mostly made of it.
    if (byte > 0x20 && byte < 0x7F) continue;
    if (byte < 0x80 ? is_ascii_white_space(byte) : leading_white_space_length(text.substr(i)) > 0) {
      return text.substr(0, i);
    }
  }
  return text;
}

}  // namespace morvex
