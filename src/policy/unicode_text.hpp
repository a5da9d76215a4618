#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// UTF-8 decoding and the character classes the profile policy relies on.
// Bytes that do not form a well-formed UTF-8 character are never white space
// and never a control character; callers that must refuse them check decode_utf8.
namespace morvex {

// Decodes the character that starts at `pos` and moves `pos` past it. Refuses
// (leaving `pos` unchanged) truncated sequences, stray continuation bytes,
// overlong forms, surrogates and values above U+10FFFF.
std::optional<char32_t> decode_utf8(std::string_view text, std::size_t& pos);

// Characters with the Unicode White_Space property.
bool is_white_space(char32_t c);

// U+0000 to U+001F and U+007F to U+009F.
bool is_control_character(char32_t c);

// Byte length of the white-space character at the start (or the end) of
// `text`, or 0 when it does not begin (end) with one.
std::size_t leading_white_space_length(std::string_view text);
std::size_t trailing_white_space_length(std::string_view text);

// `text` without white space at either end.
std::string_view trim_white_space(std::string_view text);

// The text up to the first white-space character (all of it when there is none).
std::string_view first_word(std::string_view text);

}  // namespace morvex
