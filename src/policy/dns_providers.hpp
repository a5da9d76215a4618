#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace morvex {

// The resolver addresses of a DNS provider, in the order the tunnel uses them.
// Empty for the provider "server": the profile keeps the DNS servers it names.
using DnsServers = std::span<const std::string_view>;

// The servers of the provider with this exact, case-sensitive key ("quad9",
// "cloudflare" or "server"), or nothing for any other key.
std::optional<DnsServers> dns_servers_of(std::string_view provider);

}  // namespace morvex
