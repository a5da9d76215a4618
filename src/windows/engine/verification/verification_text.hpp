#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// The DNS servers a stored profile text demands: every address on its
// "DNS = " (WireGuard) and "dhcp-option DNS " (OpenVPN) lines, as written, in
// order of appearance. Pieces that are not addresses are skipped.
std::vector<std::string> expected_dns_servers(std::string_view profile_text);

// The verification script's input: {"adapter":...,"dns":[...]}, compact.
std::string script_input(std::string_view adapter, const std::vector<std::string>& dns_servers);

// The dotted-decimal IPv4 "source" of the script's JSON output, if any.
std::optional<std::string> script_source_address(std::string_view output);

// The address on the first "ip=" line of the trace body, when it is a valid
// IPv4 or IPv6 address.
std::optional<std::string> trace_public_address(std::string_view body);

}  // namespace morvex
