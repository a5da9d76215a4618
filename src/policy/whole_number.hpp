#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace morvex {

// Reads a whole number written as decimal digits, optionally preceded by one
// `+`. Nothing when the text is empty, a lone sign, holds any other character,
// or names a value above `max`. Leading zeros are allowed and any number of
// digits is read without overflow.
std::optional<std::uint32_t> parse_whole_number(std::string_view text, std::uint32_t max);

}  // namespace morvex
