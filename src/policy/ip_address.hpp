#pragma once

#include <optional>
#include <string_view>

namespace morvex {

enum class IpFamily { v4, v6 };

// The family of an address text, or nothing when it is neither form:
// - IPv4: four decimal parts 0 to 255 separated by dots; a part has one to
//   three digits and no leading zero (some readers take those as octal);
// - IPv6: the standard text form of eight groups of one to four hex digits,
//   with at most one "::" standing for one or more zero groups, and optionally
//   an IPv4 address in place of the last two groups. No zone, no brackets.
// The same hand-written reader serves every platform, so a profile is judged
// alike on Linux and on Windows.
std::optional<IpFamily> ip_address_family(std::string_view text);

bool is_ipv4_address(std::string_view text);
bool is_ipv6_address(std::string_view text);

}  // namespace morvex
