#include "policy/connect_request.hpp"

#include <gtest/gtest.h>

#include <string>

#include "policy/dns_providers.hpp"
#include "policy/policy_test_support.hpp"

namespace morvex {
namespace {

const std::string openvpn_config = "client\nremote 198.51.100.7 1194\n";

Profile openvpn_request() {
  return Profile{7, "Oslo", "openvpn", openvpn_config, "server", "", "user", "secret"};
}

std::string outcome(const Result<Profile>& result) {
  return result ? std::string("passes") : result.error().message;
}

TEST(ValidateConnectRequest, ReplacesOnlyTheConfig) {
  auto request = openvpn_request();
  request.dns = "quad9";
  request.recovery_protocol = "openvpn";
  const auto validated = validate_connect_request(request);
  ASSERT_TRUE(validated) << validated.error().message;
  auto expected = request;
  expected.config = *validate_profile(openvpn_config, "openvpn", "quad9");
  EXPECT_EQ(*validated, expected);
  EXPECT_NE(validated->config.find("dhcp-option DNS 9.9.9.9\ndhcp-option DNS 149.112.112.112\n"),
            std::string::npos);
}

TEST(ValidateConnectRequest, ChecksFieldsInOrderAndFirstFailureWins) {
  struct Case {
    const char* description;
    void (*edit)(Profile&);
    const char* message;
  };
  const char* invalid_value = "Morvex returned an invalid value.";
  const char* invalid_profile = "Morvex returned an invalid VPN profile.";
  const Case cases[] = {
      {"server id 0", [](Profile& p) { p.server_id = 0; }, "Invalid VPN location."},
      {"server id -5 before a blank location",
       [](Profile& p) {
         p.server_id = -5;
         p.location = " ";
       },
       "Invalid VPN location."},
      {"server id 1", [](Profile& p) { p.server_id = 1; }, "passes"},
      {"location 320 bytes", [](Profile& p) { p.location = std::string(320, 'a'); }, "passes"},
      {"location 321 bytes", [](Profile& p) { p.location = std::string(321, 'a'); }, invalid_value},
      {"location not trimmed", [](Profile& p) { p.location = " Oslo "; }, "passes"},
      {"location with U+0085", [](Profile& p) { p.location = "Os\xC2\x85lo"; }, invalid_value},
      {"location before credentials",
       [](Profile& p) {
         p.location = "\t";
         p.username = "";
       },
       invalid_value},
      {"empty OpenVPN user name", [](Profile& p) { p.username = ""; }, invalid_value},
      {"OpenVPN password with line feed", [](Profile& p) { p.password = "a\nb"; }, invalid_value},
      {"OpenVPN password of 4097 bytes", [](Profile& p) { p.password = std::string(4097, 'p'); },
       invalid_value},
      {"credentials before recovery protocol",
       [](Profile& p) {
         p.username = "";
         p.recovery_protocol = "x";
       },
       invalid_value},
      {"WireGuard ignores credentials",
       [](Profile& p) {
         p.protocol = "wireguard";
         p.username = p.password = "";
       },
       "Invalid WireGuard profile."},
      {"unknown protocol with empty credentials",
       [](Profile& p) {
         p.protocol = "ipsec";
         p.username = p.password = "";
       },
       "Choose a supported VPN protocol."},
      {"recovery automatic", [](Profile& p) { p.recovery_protocol = "automatic"; }, "passes"},
      {"recovery wireguard", [](Profile& p) { p.recovery_protocol = "wireguard"; }, "passes"},
      {"recovery Automatic", [](Profile& p) { p.recovery_protocol = "Automatic"; },
       "Invalid recovery protocol."},
      {"recovery before config",
       [](Profile& p) {
         p.recovery_protocol = "tcp";
         p.config = "";
       },
       "Invalid recovery protocol."},
      {"empty config", [](Profile& p) { p.config = ""; }, invalid_profile},
      {"config with NUL", [](Profile& p) { p.config = openvpn_config + '\0' + "verb 3"; },
       invalid_profile},
      {"config of 65536 bytes",
       [](Profile& p) {
         p.config = openvpn_config + std::string(65536 - openvpn_config.size(), '\n');
       },
       invalid_profile},
      {"config of 65535 bytes",
       [](Profile& p) {
         p.config = openvpn_config + std::string(65535 - openvpn_config.size(), '\n');
       },
       "passes"},
      {"config before DNS",
       [](Profile& p) {
         p.config = "";
         p.dns = "x";
       },
       invalid_profile},
      {"DNS Quad9", [](Profile& p) { p.dns = "Quad9"; }, "Choose a supported DNS provider."},
      {"DNS before protocol",
       [](Profile& p) {
         p.dns = "google";
         p.protocol = "ipsec";
       },
       "Choose a supported DNS provider."},
      {"protocol OpenVPN", [](Profile& p) { p.protocol = "OpenVPN"; },
       "Choose a supported VPN protocol."},
      {"validator message unchanged", [](Profile& p) { p.config = "client\n"; },
       "Morvex returned an unsupported VPN profile. Try another location."},
  };
  for (const auto& c : cases) {
    auto request = openvpn_request();
    c.edit(request);
    EXPECT_EQ(outcome(validate_connect_request(request)), c.message) << c.description;
  }
}

TEST(DnsProviders, TableKeysAndServerOrder) {
  EXPECT_EQ(std::vector<std::string_view>(dns_servers_of("quad9")->begin(),
                                          dns_servers_of("quad9")->end()),
            (std::vector<std::string_view>{"9.9.9.9", "149.112.112.112"}));
  EXPECT_EQ(std::vector<std::string_view>(dns_servers_of("cloudflare")->begin(),
                                          dns_servers_of("cloudflare")->end()),
            (std::vector<std::string_view>{"1.1.1.1", "1.0.0.1"}));
  EXPECT_TRUE(dns_servers_of("server")->empty());
  EXPECT_FALSE(dns_servers_of("Server"));
  EXPECT_FALSE(dns_servers_of(""));
}

}  // namespace
}  // namespace morvex
