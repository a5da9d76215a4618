#pragma once

#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "policy/dns_providers.hpp"

namespace morvex {

// Accepts a narrow single-peer WireGuard configuration that routes all IPv4
// and IPv6 traffic through the tunnel, checks every value the tunnel uses,
// forces the provider's DNS servers into it (when `dns_servers` is not empty)
// and writes it back normalised: one `[Section]` or `Key = Value` line per
// input line, in input order, each ended by a line feed.
Result<std::string> validate_wireguard_profile(std::string_view text, DnsServers dns_servers);

}  // namespace morvex
