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

// Each row is a whole request, so the fields that differ from a valid
// OpenVPN request stand in their own column.
TEST(ValidateConnectRequest, ChecksFieldsInOrderAndFirstFailureWins) {
  struct Case {
    const char* description;
    Profile request;
    std::string message;
  };
  const std::string ok = "passes";
  const std::string invalid_value = "Morvex returned an invalid value.";
  const std::string invalid_profile = "Morvex returned an invalid VPN profile.";
  const std::string recovery = "Invalid recovery protocol.";
  const std::string dns = "Choose a supported DNS provider.";
  const std::string protocol = "Choose a supported VPN protocol.";
  const std::string ovpn = openvpn_config;
  const auto padded = [&](std::size_t size) {
    return ovpn + std::string(size - ovpn.size(), '\n');
  };
  const std::string a320(320, 'a');
  const std::string a321(321, 'a');
  const std::string p4097(4097, 'p');
  const Case cases[] = {
      {"server id 0",
       {0, "Oslo", "openvpn", ovpn, "server", "", "u", "p"},
       "Invalid VPN location."},
      {"server id -5 first", {-5, " ", "x", "", "x", "x", "", ""}, "Invalid VPN location."},
      {"server id 1", {1, "Oslo", "openvpn", ovpn, "server", "", "u", "p"}, ok},
      {"location 320 bytes", {7, a320, "openvpn", ovpn, "server", "", "u", "p"}, ok},
      {"location 321 bytes", {7, a321, "openvpn", ovpn, "server", "", "u", "p"}, invalid_value},
      {"location untrimmed", {7, " Oslo ", "openvpn", ovpn, "server", "", "u", "p"}, ok},
      {"location U+0085",
       {7, "Os\xC2\x85lo", "openvpn", ovpn, "server", "", "u", "p"},
       invalid_value},
      {"location first", {7, "\t", "openvpn", ovpn, "server", "", "", ""}, invalid_value},
      {"empty user name", {7, "Oslo", "openvpn", ovpn, "server", "", "", "p"}, invalid_value},
      {"password with LF", {7, "Oslo", "openvpn", ovpn, "server", "", "u", "a\nb"}, invalid_value},
      {"password 4097 bytes",
       {7, "Oslo", "openvpn", ovpn, "server", "", "u", p4097},
       invalid_value},
      {"credentials first", {7, "Oslo", "openvpn", "", "x", "x", "u", ""}, invalid_value},
      {"WireGuard ignores credentials",
       {7, "Oslo", "wireguard", ovpn, "server", "", "", ""},
       "Invalid WireGuard profile."},
      {"unknown protocol ignores credentials",
       {7, "Oslo", "ipsec", ovpn, "server", "", "", ""},
       protocol},
      {"recovery automatic", {7, "Oslo", "openvpn", ovpn, "server", "automatic", "u", "p"}, ok},
      {"recovery same as protocol",
       {7, "Oslo", "openvpn", ovpn, "server", "openvpn", "u", "p"},
       ok},
      {"recovery wireguard", {7, "Oslo", "openvpn", ovpn, "server", "wireguard", "u", "p"}, ok},
      {"recovery Automatic",
       {7, "Oslo", "openvpn", ovpn, "server", "Automatic", "u", "p"},
       recovery},
      {"recovery first", {7, "Oslo", "openvpn", "", "x", "tcp", "u", "p"}, recovery},
      {"empty config", {7, "Oslo", "openvpn", "", "server", "", "u", "p"}, invalid_profile},
      {"config with NUL",
       {7, "Oslo", "openvpn", ovpn + '\0' + "verb 3", "server", "", "u", "p"},
       invalid_profile},
      {"config 65536 bytes",
       {7, "Oslo", "openvpn", padded(65536), "server", "", "u", "p"},
       invalid_profile},
      {"config 65535 bytes", {7, "Oslo", "openvpn", padded(65535), "server", "", "u", "p"}, ok},
      {"config first", {7, "Oslo", "openvpn", "", "x", "", "u", "p"}, invalid_profile},
      {"DNS Quad9", {7, "Oslo", "openvpn", ovpn, "Quad9", "", "u", "p"}, dns},
      {"DNS first", {7, "Oslo", "ipsec", ovpn, "google", "", "u", "p"}, dns},
      {"protocol OpenVPN", {7, "Oslo", "OpenVPN", ovpn, "server", "", "u", "p"}, protocol},
      {"validator message unchanged",
       {7, "Oslo", "openvpn", "client", "server", "", "u", "p"},
       "Morvex returned an unsupported VPN profile. Try another location."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(validate_connect_request(c.request)), c.message) << c.description;
  }
}

// Hostile texts within the size limit end in one sentence or in a complete
// profile, never in a crash, a hang or part of a profile.
TEST(ValidateProfile, HostileTextsGiveASentenceOrACompleteProfile) {
  const std::string wg_head =
      "[Interface]\nPrivateKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n";
  const std::string wg_peer =
      "[Peer]\nPublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n"
      "AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = ";
  const std::string wg_rest = "Address = 10.2.0.2/32\n" + wg_peer;
  std::string many_peers;
  while (many_peers.size() < 60000) many_peers += "[Peer]\n";
  std::string many_blocks = openvpn_config;
  while (many_blocks.size() < 60000) many_blocks += "<ca>\nMIIB\n</ca>\n";
  struct Case {
    std::string protocol;
    std::string config;
    std::string message;  // empty: accepted
  };
  const std::string unsupported =
      "Morvex returned an unsupported VPN profile. Try another location.";
  const Case cases[] = {
      {"wireguard", std::string(65535, 'A'), "Invalid WireGuard profile."},
      {"wireguard", wg_head + "Address = " + std::string(60000, '1') + "\n" + wg_peer + "h:1",
       "Invalid VPN address."},
      {"wireguard", many_peers, unsupported},
      {"wireguard", wg_head + wg_rest + "vpn\xFF.example:51820\n",
       "Morvex returned an invalid value."},
      {"wireguard", wg_head + "# " + std::string(64000, '\xE3') + "\n" + wg_rest + "h:1\n", ""},
      {"openvpn", std::string(65535, 'A'), unsupported},
      {"openvpn", openvpn_config + "verb " + std::string(65000, '3'), unsupported},
      {"openvpn", many_blocks, ""},
  };
  for (const auto& c : cases) {
    const auto result = validate_profile(c.config, c.protocol, "quad9");
    if (c.message.empty()) {
      ASSERT_TRUE(result) << result.error().message;
      EXPECT_TRUE(result->ends_with(c.protocol == "openvpn" ? "pull-filter ignore \"dns \"\n"
                                                            : "Endpoint = h:1\n"));
    } else {
      EXPECT_EQ(testing::outcome(result), c.message) << c.config.substr(0, 40);
    }
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
