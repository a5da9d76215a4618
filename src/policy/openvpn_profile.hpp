#pragma once

#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "policy/dns_providers.hpp"

namespace morvex {

// Reduces an OpenVPN client profile to the known directives and inline blocks,
// refuses anything that could route traffic around the tunnel, weaken server
// authentication or run outside code, and appends the policy's own lines that
// force all IPv4, IPv6 and DNS traffic into the tunnel. Writes the kept lines
// trimmed, in input order, each ended by a line feed.
Result<std::string> sanitize_openvpn_profile(std::string_view text, DnsServers dns_servers);

}  // namespace morvex
