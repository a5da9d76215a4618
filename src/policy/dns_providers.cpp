#include "policy/dns_providers.hpp"

#include <array>

namespace morvex {
namespace {

constexpr std::array<std::string_view, 2> quad9_servers = {"9.9.9.9", "149.112.112.112"};
constexpr std::array<std::string_view, 2> cloudflare_servers = {"1.1.1.1", "1.0.0.1"};

struct DnsProvider {
  std::string_view key;
  DnsServers servers;
};

constexpr std::array<DnsProvider, 3> dns_providers = {{
    {"quad9", quad9_servers},
    {"cloudflare", cloudflare_servers},
    {"server", {}},
}};

}  // namespace

std::optional<DnsServers> dns_servers_of(std::string_view provider) {
  for (const auto& entry : dns_providers) {
    if (entry.key == provider) return entry.servers;
  }
  return std::nullopt;
}

}  // namespace morvex
