#include "policy/openvpn_profile.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "policy/openvpn_directives.hpp"
#include "policy/openvpn_profile_samples.hpp"
#include "policy/policy_test_support.hpp"

namespace morvex {
namespace {

using testing::outcome;
using testing::unsupported;

const std::vector<std::string_view> no_provider;
const std::vector<std::string_view> quad9 = {"9.9.9.9", "149.112.112.112"};
const std::vector<std::string_view> cloudflare = {"1.1.1.1", "1.0.0.1"};

const std::string& minimal = testing::openvpn_minimal;

const std::string enforced =
    "ifconfig-ipv6 fd15:53b6:dead::2/64 fd15:53b6:dead::1\n"
    "pull-filter ignore \"ifconfig-ipv6\"\n"
    "redirect-gateway def1 ipv6\n"
    "block-ipv6\n"
    "pull-filter ignore \"redirect-gateway\"\n"
    "pull-filter ignore \"redirect-private\"\n"
    "pull-filter ignore \"route \"\n"
    "pull-filter ignore \"route-ipv6 \"\n";

const std::string dns_filter = "pull-filter ignore \"dhcp-option DNS\"\n";
const std::string dns_option_filter = "pull-filter ignore \"dns \"\n";
const std::string dns_filters = dns_filter + dns_option_filter;

std::string sanitized(const std::string& text, const std::vector<std::string_view>& dns) {
  return outcome(sanitize_openvpn_profile(text, dns));
}

TEST(SanitizeOpenvpnProfile, AppendsThePolicyLinesInOrder) {
  const std::string head = minimal + "remote-cert-tls server\ntls-version-min 1.2\n";
  EXPECT_EQ(sanitized(minimal, no_provider), head + enforced);
  EXPECT_EQ(
      sanitized(minimal, quad9),
      head + "dhcp-option DNS 9.9.9.9\ndhcp-option DNS 149.112.112.112\n" + enforced + dns_filters);
  EXPECT_EQ(sanitized("client\r\nremote 198.51.100.7 1194 udp", no_provider), head + enforced);
  EXPECT_EQ(sanitized(minimal + "pull-filter ignore \"redirect-private\"\n", no_provider),
            head + enforced);
}

TEST(SanitizeOpenvpnProfile, KeepsOwnLinesOnceAndDropsComments) {
  const std::string& text = testing::openvpn_own_lines;
  const std::string kept =
      "tls-client\nremote vpn.example 443 tcp\ntls-version-min 1.3\nremote-cert-tls server\n"
      "cipher AES-256-GCM\n";
  EXPECT_EQ(sanitized(text, no_provider),
            kept + "dhcp-option DNS 10.8.0.1\n" + dns_filter + enforced);
  // A provider replaces the profile's DNS; the profile's own filter line stays.
  EXPECT_EQ(sanitized(text, cloudflare), kept + dns_filter +
                                             "dhcp-option DNS 1.1.1.1\ndhcp-option DNS 1.0.0.1\n" +
                                             enforced + dns_filters);
  // The filter of the newer DNS option is kept where the profile has it and
  // appended again after the older one.
  const std::string own = dns_option_filter + "cipher AES-256-GCM\n";
  EXPECT_EQ(sanitized(minimal + own, quad9),
            minimal + own +
                "remote-cert-tls server\ntls-version-min 1.2\ndhcp-option DNS 9.9.9.9\n" +
                "dhcp-option DNS 149.112.112.112\n" + enforced + dns_filters);
}

TEST(SanitizeOpenvpnProfile, PassesInlineBlocksWithoutComments) {
  const std::string& block = testing::openvpn_ca_block;
  const std::string kept =
      "<ca>\n-----BEGIN CERTIFICATE-----\nMIIBszCCAVmgAwIBAgIU\n-----END CERTIFICATE-----\n</ca>\n";
  EXPECT_EQ(sanitized(minimal + block, no_provider),
            minimal + kept + "remote-cert-tls server\ntls-version-min 1.2\n" + enforced);
}

TEST(SanitizeOpenvpnProfile, TrimsUnicodeWhiteSpaceAroundEveryLine) {
  // No-break space, ideographic space, tab, vertical tab, next line, line
  // separator and a carriage return left before another one.
  const std::string text =
      "\xC2\xA0"
      "client\xE3\x80\x80\r\n\tremote 198.51.100.7 1194 udp \r\r\n"
      "<ca>\n \xE2\x80\xA8MIIB\xC2\x85\r\n</ca>\x0B\n\xC2\x85\n";
  EXPECT_EQ(
      sanitized(text, no_provider),
      minimal + "<ca>\nMIIB\n</ca>\nremote-cert-tls server\ntls-version-min 1.2\n" + enforced);
}

TEST(SanitizeOpenvpnProfile, CapsTheExitNotificationAtThreeSeconds) {
  const std::pair<std::string, std::string> cases[] = {
      {"explicit-exit-notify 10", "explicit-exit-notify 3"},
      {"explicit-exit-notify 99999999999", "explicit-exit-notify 3"},
      {"explicit-exit-notify", "explicit-exit-notify"},  // one second
  };
  for (const auto& [line, written] : cases) {
    EXPECT_EQ(sanitized(minimal + line + "\n", no_provider),
              minimal + written + "\nremote-cert-tls server\ntls-version-min 1.2\n" + enforced)
        << line;
  }
}

TEST(SanitizeOpenvpnProfile, RefusesWhatCouldLeaveTheTunnel) {
  struct Case {
    std::string added;
    std::string message;
  };
  const std::string invalid = "Invalid OpenVPN profile.";
  const Case cases[] = {
      {"route 10.0.0.0 255.0.0.0", unsupported},
      {"route-ipv6 ::/0", unsupported},
      {"remote-cert-ku a0", unsupported},
      {"remote-cert-eku x", unsupported},
      {"up script.bat", unsupported},
      {"script-security 2", unsupported},
      {"plugin x.dll", unsupported},
      {"pull-filter accept \"route \"", unsupported},
      {"pull-filter accept \"dns \"", unsupported},
      {"pull-filter ignore \"dns\"", unsupported},
      {"pull-filter ignore \"dns  \"", unsupported},
      {"pull-filter ignore  \"dns \"", unsupported},
      {"pull-filter ignore \"DNS \"", unsupported},
      {"pull-filter ignore \"dhcp-option\"", unsupported},
      {"Client", unsupported},
      {"client extra", unsupported},
      {"auth-user-pass creds.txt", unsupported},
      {"remote-cert-tls client", unsupported},
      {"tls-version-min 1.0", unsupported},
      {"tls-version-min 1.2 or-highest", unsupported},
      {"tls-version-max 1.1", unsupported},
      {"redirect-gateway def1 bypass-dhcp", unsupported},
      {"redirect-gateway  def1", unsupported},
      {"redirect-private def1", unsupported},
      {"dev tap", unsupported},
      {"remote \"net_gateway\" 1194", unsupported},
      {"cipher AES\\x", unsupported},
      {"<connection>", unsupported},
      {"</ca>", unsupported},
      {"<>", unsupported},
      {"<ca", invalid},
      {"<", invalid},
      {"<ca> x", invalid},
      {"<ca>\nABC", unsupported},            // never closed
      {"<key>\nABC\n</cert>", unsupported},  // wrong end tag
      {"<key>\n<ca>\n</key>", unsupported},
      // Gaps closed beyond the directive rules.
      {"remote 'net_gateway' 1194", unsupported},
      {"verify-x509-name net_gateway.x", unsupported},
      {"<ca>\nAB\\CD\n</ca>", unsupported},
      {"<ca>\nnet_gateway\n</ca>", unsupported},
      {"cipher AES\rroute 0.0.0.0 0.0.0.0", unsupported},
      {"<ca>\nA\x1B"
       "B\n</ca>",
       unsupported},
      {"verb 3" + std::string(250, ' ') + "up x.bat", unsupported},
      {"<ca>\n" + std::string(256, 'A') + "\n</ca>", unsupported},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sanitized(minimal + c.added + "\n", no_provider), c.message) << c.added;
  }
  // What stays acceptable: the longest block line and the exact forms.
  for (const auto& added : testing::openvpn_accepted_additions) {
    const auto result = sanitized(minimal + added + "\n", no_provider);
    EXPECT_TRUE(result.ends_with(enforced)) << added;
    EXPECT_TRUE(result.starts_with(minimal + added + "\n")) << added;
  }
}

TEST(SanitizeOpenvpnProfile, FindsARefusedByteAtAnyPositionOfALine) {
  for (std::size_t size = 1; size <= 48; ++size) {
    const std::string plain(size, 'A');
    EXPECT_TRUE(
        sanitized(minimal + "<ca>\n" + plain + "\n</ca>\n", no_provider).ends_with(enforced))
        << size;
    for (std::size_t at = 0; at < size; ++at) {
      for (const char refused : {'\\', '\x01', '\x7F'}) {
        std::string line = plain;
        line[at] = refused;
        EXPECT_EQ(sanitized(minimal + "<ca>\n" + line + "\n</ca>\n", no_provider), unsupported)
            << size << " " << at;
        EXPECT_EQ(sanitized(minimal + "verb " + line + "\n", no_provider), unsupported)
            << size << " " << at;
      }
    }
    const std::string gateway = plain + "net_gateway" + plain;
    EXPECT_EQ(sanitized(minimal + "<ca>\n" + gateway + "\n</ca>\n", no_provider), unsupported)
        << size;
  }
}

TEST(OpenvpnDirectives, EveryKnownNameIsFoundThroughTheIndex) {
  const std::string_view names[] = {
      "client",
      "tls-client",
      "dev",
      "dev-type",
      "proto",
      "remote",
      "remote-random",
      "remote-random-hostname",
      "nobind",
      "persist-key",
      "persist-tun",
      "resolv-retry",
      "connect-retry",
      "connect-retry-max",
      "connect-timeout",
      "remote-cert-tls",
      "verify-x509-name",
      "auth",
      "auth-user-pass",
      "auth-nocache",
      "cipher",
      "data-ciphers",
      "data-ciphers-fallback",
      "tls-version-min",
      "tls-version-max",
      "tls-cipher",
      "tls-ciphersuites",
      "key-direction",
      "reneg-sec",
      "explicit-exit-notify",
      "verb",
      "mute",
      "mute-replay-warnings",
      "keepalive",
      "ping",
      "ping-restart",
      "ping-timer-rem",
      "tun-mtu",
      "mssfix",
      "sndbuf",
      "rcvbuf",
      "redirect-gateway",
      "route",
      "route-ipv6",
      "dhcp-option",
      "block-outside-dns",
      "fast-io",
      "float",
      "remote-cert-eku",
      "remote-cert-ku",
  };
  static_assert(std::size(names) == 50);
  for (const auto name : names) {
    const Directive* found = find_directive(name);
    ASSERT_NE(found, nullptr) << name;
    EXPECT_EQ(found->name, name);
  }
  for (const std::string_view unknown : {"", "clien", "clients", "Client", "pull-filter", "up"}) {
    EXPECT_EQ(find_directive(unknown), nullptr) << unknown;
  }
}

TEST(SanitizeOpenvpnProfile, RequiresClientAndRemoteAsDirectives) {
  const std::string refused[] = {
      "client\n",
      "remote 198.51.100.7 1194\n",
      "<ca>\nclient\n</ca>\nremote 198.51.100.7 1194\n",
  };
  for (const auto& text : refused) EXPECT_EQ(sanitized(text, quad9), unsupported) << text;
}

TEST(SanitizeOpenvpnProfile, BlockLinesDoNotStandInForRequiredDirectives) {
  const std::string block =
      "<tls-crypt>\nremote-cert-tls server\ntls-version-min 1.0\n</tls-crypt>\n";
  const auto written = sanitized(minimal + block, no_provider);
  EXPECT_EQ(written, minimal + block + "remote-cert-tls server\ntls-version-min 1.2\n" + enforced);
}

}  // namespace
}  // namespace morvex
