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

// The identifier of the adapter that `create` made. The tool prints the
// adapter as `list` does: identifier, tab, name, tab, hardware identifier
// (tapctl 2.7); the name must be tap_adapter_name and the hardware identifier
// the one asked for, else "Windows returned an unexpected VPN adapter.". The
// identifier alone, as releases before 2.7 print it, is taken too. White space
// around the line is ignored; a malformed identifier gives "Windows returned
// an invalid VPN adapter identifier.".
Result<std::string> parse_tap_create_output(std::string_view output);

// The identifier of the adapter named exactly tap_adapter_name in the output of
// `list --hwid root\tap0901`, which prints one adapter a line: identifier, tab,
// name, tab, hardware identifier (before 2.7: identifier, tab, name). The
// hardware identifier, when printed, must be tap_hardware_id in any letter
// case, as the tool compares it. Nothing when no line names our adapter with a
// well-formed identifier.
std::optional<std::string> find_tap_adapter(std::string_view list_output);

}  // namespace morvex
