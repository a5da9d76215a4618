#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/failure.hpp"

// Readers for the output of the TAP adapter tool (OpenVPN's tapctl).
namespace morvex {

inline constexpr std::string_view tap_adapter_name = "MorvexOpenVPN";
inline constexpr std::string_view tap_hardware_id = "root\\tap0901";

// Whether `text` is an adapter identifier: "{", 8 hexadecimal digits, "-", 4,
// "-", 4, "-", 4, "-", 12, "}"; digits in either case.
bool is_adapter_identifier(std::string_view text);

// The identifier of the adapter that `create` made: the tool prints only that
// identifier (white space around it is ignored).
Result<std::string> parse_tap_create_output(std::string_view output);

// The identifier of the adapter named exactly tap_adapter_name in the output of
// `list`, which prints one adapter a line: its identifier, a tab and its name.
// Nothing when no line names it with a well-formed identifier.
std::optional<std::string> find_tap_adapter(std::string_view list_output);

}  // namespace morvex
