// Whatever bytes arrive, validate_wireguard_profile gives one of its sentences
// or a written profile. A written profile is clean, keeps the provider's DNS
// line inside [Interface], and validates again to exactly itself.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "policy/wireguard_profile.hpp"
#include "policy_fuzz_input.hpp"

namespace {

using morvex::fuzz::require;

constexpr std::array<std::string_view, 9> sentences = {
    "Invalid WireGuard profile.",
    "Morvex returned an unsupported VPN profile. Try another location.",
    "Morvex returned an incomplete WireGuard profile.",
    "Invalid VPN address.",
    "This WireGuard profile does not protect IPv4 and IPv6. Try OpenVPN or another location.",
    "Invalid WireGuard endpoint.",
    "Morvex returned an invalid value.",
    "Morvex returned an invalid server address.",
    "Invalid VPN DNS server.",
};

// Digits without a sign or a leading zero, the one number form WireGuard's reader takes alike.
bool is_plain_number(std::string_view n) {
  return !n.empty() && n.find_first_not_of("0123456789") == n.npos && (n == "0" || n[0] != '0');
}

void check_written(const std::string& written, const std::vector<std::string_view>& dns) {
  require(written.ends_with('\n'));
  require(written.find('\r') == std::string::npos);
  std::string dns_line;
  for (const auto server : dns)
    dns_line += (dns_line.empty() ? "DNS = " : ", ") + std::string(server);

  std::string_view section;
  int dns_lines = 0;
  for (const auto line : morvex::fuzz::written_lines(written)) {
    require(!line.empty() && !line.starts_with('#'));
    if (line == "[Interface]" || line == "[Peer]") {
      require(section == (line == "[Peer]" ? "[Interface]" : ""));  // [Interface] comes first
      section = line;
      continue;
    }
    require(!section.empty());
    require(line.find(" = ") != std::string_view::npos);
    const auto value = line.substr(line.find(" = ") + 3);
    const bool list = line.starts_with("Address") || line.starts_with("AllowedIPs");
    for (auto at = value.find('/'); list && at != value.npos; at = value.find('/', at + 1))
      require(is_plain_number(value.substr(at + 1, value.find(',', at) - at - 1)));
    if (line.starts_with("Endpoint")) require(is_plain_number(value.substr(value.rfind(':') + 1)));
    if (line.starts_with("MTU") || line.starts_with("ListenPort") || line.starts_with("Persistent"))
      require(is_plain_number(value));
    if (line.starts_with("DNS = ")) {
      ++dns_lines;
      require(section == "[Interface]");
      if (!dns.empty()) require(line == dns_line);
    }
    if (line.starts_with("AllowedIPs = ")) {
      require(line.find("0.0.0.0/0") != std::string_view::npos);
      require(line.find("::/0") != std::string_view::npos);
    }
  }
  require(dns_lines == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = morvex::fuzz::profile_input(data, size);
  const auto result = morvex::validate_wireguard_profile(input.text, input.dns_servers);
  if (!result) {
    require(std::ranges::find(sentences, result.error().message) != sentences.end());
    return 0;
  }
  check_written(*result, input.dns_servers);
  const auto again = morvex::validate_wireguard_profile(*result, input.dns_servers);
  require(again && *again == *result);
  return 0;
}
