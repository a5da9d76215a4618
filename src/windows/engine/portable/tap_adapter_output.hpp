#pragma once

#include <string>
#include <string_view>

#include "common/failure.hpp"

// Reader for the output of the TAP adapter tool's `create` command.
namespace morvex {

inline constexpr std::string_view tap_adapter_name = "MorvexOpenVPN";
inline constexpr std::string_view tap_hardware_id = "root\\tap0901";

// Whether `text` is an adapter identifier: "{", 8 hexadecimal digits, "-", 4,
// "-", 4, "-", 4, "-", 12, "}"; digits in either case.
bool is_adapter_identifier(std::string_view text);

// The adapter identifier from the tool's output, which must be exactly the
// identifier, the adapter name and the hardware identifier separated by tabs
// (white space around the whole output is ignored).
Result<std::string> parse_tap_create_output(std::string_view output);

}  // namespace morvex
