#include "policy/wireguard_profile.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "policy/policy_test_support.hpp"

namespace morvex {
namespace {

using testing::lines;
using testing::outcome;
using testing::replaced;
using testing::unsupported;

const std::vector<std::string_view> no_provider;
const std::vector<std::string_view> quad9 = {"9.9.9.9", "149.112.112.112"};
const std::vector<std::string_view> cloudflare = {"1.1.1.1", "1.0.0.1"};

const std::string private_key = "yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=";
const std::string public_key = "CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=";

// A complete profile as the back end writes it, without DNS.
const std::string profile = lines({
    "[Interface]",
    "PrivateKey=" + private_key,
    "Address = 10.2.0.2/32, fd00::2/128",
    "# note",
    "[Peer]",
    "PublicKey = " + public_key,
    "AllowedIPs = 0.0.0.0/0, ::/0",
    "Endpoint = 198.51.100.7:51820",
});

std::string validated(const std::string& text, const std::vector<std::string_view>& dns) {
  return outcome(validate_wireguard_profile(text, dns));
}

TEST(ValidateWireguardProfile, WritesTheNormalisedProfileWithTheProviderDns) {
  const std::string expected = lines({
      "[Interface]",
      "PrivateKey = " + private_key,
      "Address = 10.2.0.2/32, fd00::2/128",
      "DNS = 9.9.9.9, 149.112.112.112",
      "[Peer]",
      "PublicKey = " + public_key,
      "AllowedIPs = 0.0.0.0/0, ::/0",
      "Endpoint = 198.51.100.7:51820",
  });
  EXPECT_EQ(validated(profile, quad9), expected);

  std::string windows_line_ends;
  for (const char c : profile)
    windows_line_ends += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(validated(windows_line_ends, quad9), expected);
}

TEST(ValidateWireguardProfile, PlacesTheProviderDnsInTheInterfaceSection) {
  const std::string dns_line = "DNS = 1.1.1.1, 1.0.0.1\n";
  // An own DNS line is replaced where it stands.
  const auto with_dns = replaced(profile, "# note\n", "DNS = 10.0.0.1\nMTU = 1280\n");
  EXPECT_NE(validated(with_dns, cloudflare).find("fd00::2/128\n" + dns_line + "MTU = 1280\n"),
            std::string::npos);

  // With [Peer] first, [Interface] is still written first: conf/parser.go
  // (FromWgQuick) reads a [Peer] before [Interface] as two peers.
  const std::string peer_first = lines({
      "[Peer]",
      "PublicKey = " + public_key,
      "AllowedIPs = ::/0,0.0.0.0/0",
      "Endpoint = [2001:db8::1]:51820",
      "[Interface]",
      "PrivateKey = " + private_key,
      "Address = 10.2.0.2/+24",
  });
  const auto written = validated(peer_first, cloudflare);
  EXPECT_TRUE(written.starts_with("[Interface]\nPrivateKey")) << written;
  EXPECT_NE(written.find("Address = 10.2.0.2/24\n" + dns_line + "[Peer]\n"), std::string::npos);
  EXPECT_EQ(validated(written, cloudflare), written);
}

// Every number is written in plain decimal: conf/parser.go reads prefix
// lengths with netip.ParsePrefix, which refuses a sign or a leading zero.
TEST(ValidateWireguardProfile, WritesNumbersInPlainForm) {
  const std::string endpoint = "Endpoint = 198.51.100.7:51820";
  const std::string cases[][3] = {
      {"10.2.0.2/32", "10.2.0.2/+24", "Address = 10.2.0.2/24, fd00::2/128"},
      {"fd00::2/128", "fd00::2/0128", "Address = 10.2.0.2/32, fd00::2/128"},
      {"::/0", "::/0 ,10.0.0.0/08", "AllowedIPs = 0.0.0.0/0, ::/0, 10.0.0.0/8"},
      {endpoint, "Endpoint = [2001:db8::1]:+051820", "Endpoint = [2001:db8::1]:51820"},
      {"# note", "MTU = +01420", "MTU = 1420"},
      {"# note", "ListenPort = 00", "ListenPort = 0"},
      {endpoint, endpoint + "\nPersistentKeepalive = 025", "PersistentKeepalive = 25"},
  };
  for (const auto& [from, to, line] : cases) {
    EXPECT_TRUE(validated(replaced(profile, from, to), quad9).contains("\n" + line + "\n")) << to;
  }
}

TEST(ValidateWireguardProfile, WithoutProviderKeepsTheProfileDns) {
  const auto with_dns = replaced(profile, "# note\n", "DNS = 10.0.0.1,fd00::1\n");
  EXPECT_NE(validated(with_dns, no_provider).find("\nDNS = 10.0.0.1,fd00::1\n[Peer]\n"),
            std::string::npos);
}

TEST(ValidateWireguardProfile, DropsApplicationListsAnywhere) {
  const auto text = "IncludedApplications =\n" +
                    replaced(profile, "# note\n", "ExcludedApplications = a.exe\n") +
                    "IncludedApplications = a.exe\n";
  EXPECT_EQ(validated(text, quad9), validated(profile, quad9));
}

// Each case edits the complete profile (one or two replacements) and expects
// the first fault's message, or acceptance when the message is empty.
TEST(ValidateWireguardProfile, RefusesWithTheMessageOfTheFirstFault) {
  struct Case {
    std::string from;
    std::string to;
    std::string message;
    std::string from2 = {};
    std::string to2 = {};
  };
  const std::string incomplete = "Morvex returned an incomplete WireGuard profile.";
  const std::string address = "Invalid VPN address.";
  const std::string invalid_value = "Morvex returned an invalid value.";
  const std::string server_address = "Morvex returned an invalid server address.";
  const std::string endpoint = "Endpoint = 198.51.100.7:51820";
  const std::string allowed = "AllowedIPs = 0.0.0.0/0, ::/0";
  const std::string not_both =
      "This WireGuard profile does not protect IPv4 and IPv6. Try OpenVPN or another location.";
  const std::string accepted;
  const Case cases[] = {
      {"[Interface]", "[interface]", "Invalid WireGuard profile."},
      {"# note", "IncludedApplications", "Invalid WireGuard profile."},
      {"# note", "[Peer]", unsupported},
      {"# note", "[Interface]", unsupported},
      {"# note", "Address = 10.0.0.3/32", unsupported},
      {"# note", "Table = off", unsupported},
      {"# note", "PostUp = calc.exe", unsupported},
      {"# note", "DNS =", unsupported},
      {"# note", "PublicKey = " + public_key, unsupported},  // key of the other section
      {"[Interface]", "MTU = 1420\n[Interface]", unsupported},
      // Key material: 31 and 33 bytes, URL-safe alphabet, missing padding,
      // stray trailing bits, doubled padding.
      {private_key, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==", unsupported},
      {private_key, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", unsupported},
      {private_key, "yMnKy8zNzs_Q0dLT1NXW19jZ2tvc3d7f4OHi4-Tl5uc=", unsupported},
      {private_key, "yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc", unsupported},
      {private_key, "yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5ud=", unsupported},
      {public_key, public_key + "=", unsupported},
      {public_key, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", unsupported},  // 32 zero bytes
      {private_key, "\xC8" + private_key.substr(1), unsupported},  // conf/parser.go: base64
      {endpoint, endpoint + "\nPresharedKey = abc", unsupported},
      {"PrivateKey=" + private_key, "", incomplete},
      {"PublicKey = " + public_key, "", incomplete},
      {"Address = 10.2.0.2/32, fd00::2/128", "", incomplete},
      {endpoint, "", incomplete},
      {allowed, "", incomplete},
      {"10.2.0.2/32", "10.2.0.2", address},
      {"10.2.0.2/32", "10.2.0.256/32", address},
      {"10.2.0.2/32", "/32", address},
      {"10.2.0.2/32", "10.2.0.2/33", unsupported},
      {"fd00::2/128", "fd00::2/129", unsupported},
      {"10.2.0.2/32", "10.2.0.2/", unsupported},
      {"10.2.0.2/32", "10.2.0.2/+", unsupported},
      {"10.2.0.2/32", "10.2.0.2/3 2", unsupported},
      {endpoint, "Endpoint = 198.51.100.7", "Invalid WireGuard endpoint."},
      {endpoint, "Endpoint = :51820", invalid_value},
      {endpoint, "Endpoint = []:51820", invalid_value},
      {endpoint, "Endpoint = " + std::string(254, 'a') + ":51820", invalid_value},
      {endpoint, "Endpoint = -vpn.example:51820", server_address},
      {endpoint, "Endpoint = vpn_1.example:51820", server_address},
      {endpoint, "Endpoint = 198.51.100.7:0", unsupported},
      {endpoint, "Endpoint = 198.51.100.7:65536", unsupported},
      {endpoint, "Endpoint = 198.51.100.7:", unsupported},
      // conf/parser.go (parseEndpoint) takes a host with a colon or bracket
      // only as an IPv6 address in brackets; a numeric last label is no name.
      {endpoint, "Endpoint = 2001:db8::1:+51820", server_address},
      {endpoint, "Endpoint = [2:1]:51", server_address},
      {endpoint, "Endpoint = [vpn.example.net]:51820", server_address},
      {endpoint, "Endpoint = [[2001:db8::1]]:51820", server_address},
      {endpoint, "Endpoint = vpn:example:51820", server_address},
      {endpoint, "Endpoint = 010.0.0.1:51820", server_address},
      {endpoint, "Endpoint = vpn.10:51820", server_address},
      {allowed, "AllowedIPs = 0.0.0.0/0", not_both},
      {allowed, "AllowedIPs = 0.0.0.0/1, 128.0.0.0/1, ::/0", not_both},
      {allowed, "AllowedIPs = 0.0.0.0/0, ::/0,", address},
      {allowed, "AllowedIPs = 0.0.0.0/0, ::/0, 10.0.0.0/40", unsupported},
      {allowed, "AllowedIPs = 0.0.0.0/0\r\f, ::/0", unsupported},  // would be written as is
      {allowed, "AllowedIPs = 0.0.0.0/0,\v::/0", unsupported},
      // A control character or DEL gets the sentence of the check that owns
      // the value; the refusal of unwritable values comes after every check.
      {endpoint, "Endpoint = vpn\x01.example:51820", invalid_value},
      {endpoint, "Endpoint = vpn\x7f.example:51820", invalid_value},
      {"10.2.0.2/32", "10.2.0\x01.2/32", address},
      {"PrivateKey=" + private_key, "", incomplete, "# note",
       "MTU = 14\x01"
       "20"},
      {"10.2.0.2/32", "10.2.0.2/32\f", "Invalid WireGuard endpoint.", endpoint, "Endpoint = x"},
      {allowed, "AllowedIPs = 0.0.0.0/0\f, 10.0.0.0/8", not_both},
      {"# note", "MTU = 1279", unsupported},
      {"# note", "MTU = 9001", unsupported},
      {"# note", "ListenPort = 65536", unsupported},
      {"# note", "ListenPort = -1", unsupported},
      {endpoint, endpoint + "\nPersistentKeepalive = 4294967296", unsupported},
      // Reading ends before any check; then keys, address, endpoint, routes,
      // whole numbers.
      {"PrivateKey=" + private_key, "", unsupported, "# note", "Table = off"},
      {"PrivateKey=" + private_key, "", incomplete, "10.2.0.2/32", "10.2.0.2"},
      {public_key, "abc", unsupported, "10.2.0.2/32", "10.2.0.2"},
      {"10.2.0.2/32", "10.2.0.2", address, endpoint, "Endpoint = x"},
      {endpoint, "Endpoint = -x:1", server_address, allowed, "AllowedIPs = 0.0.0.0/0"},
      {allowed, "AllowedIPs = 0.0.0.0/0, 10.0.0.0/40", not_both},
      {allowed, allowed + ", 10.0.0.1", address, "# note", "MTU = 1"},
      // Accepted edges.
      {"# note", "MTU = 1280", accepted},
      {"# note", "MTU = 9000", accepted},
      {"# note", "MTU = +1420", accepted},
      {"# note", "ListenPort = 0", accepted},
      {"# note", "ListenPort = 65535", accepted},
      {"# note", "DNS = 10.0.0.1 # own resolver", accepted},
      {"10.2.0.2/32", "10.2.0.2/+24", accepted},
      {endpoint, endpoint + "\nPersistentKeepalive = 25", accepted},
      {endpoint, endpoint + "\nPresharedKey = " + public_key, accepted},
      {endpoint, "Endpoint = [2001:db8::1]:51820", accepted},
      {endpoint, "Endpoint = [::ffff:198.51.100.7]:51820", accepted},
      {endpoint, "Endpoint = 198.51.100.7.example.:51820", accepted},
      {endpoint, "Endpoint = vpn-1.Example.net:443", accepted},
      {allowed, "AllowedIPs = 0.0.0.0/0, ::/0, 10.0.0.0/8", accepted},
      {allowed, "AllowedIPs = ::/0 ,0.0.0.0/0", accepted},
      {allowed, "AllowedIPs = ::/0,\t0.0.0.0/0", accepted},
  };
  for (const auto& c : cases) {
    auto text = replaced(profile, c.from, c.to);
    if (!c.from2.empty()) text = replaced(text, c.from2, c.to2);
    const auto written = validated(text, quad9);
    if (c.message.empty()) {
      EXPECT_TRUE(written.starts_with("[Interface]\n")) << c.to << ": " << written;
    } else {
      EXPECT_EQ(written, c.message) << c.to << " / " << c.to2;
    }
  }
}

TEST(ValidateWireguardProfile, WithoutProviderRequiresAndChecksTheDns) {
  const std::string message = "Invalid VPN DNS server.";
  EXPECT_EQ(validated(profile, no_provider), "Morvex returned an incomplete WireGuard profile.");
  const std::string refused[] = {"DNS = 10.0.0.1, bogus", "DNS = 10.0.0.1/32", "DNS = 10.0.0.1,",
                                 "DNS = 10.0.0.1, bo\x01gus", "DNS = 10.0.0.1\v, 10.0.0.\x7f"};
  for (const auto& line : refused) {
    EXPECT_EQ(validated(replaced(profile, "# note", line), no_provider), message) << line;
  }
  // With a provider the profile's own value is replaced, not checked.
  EXPECT_NE(validated(replaced(profile, "# note", "DNS = bogus"), quad9).find("DNS = 9.9.9.9"),
            std::string::npos);
}

}  // namespace
}  // namespace morvex
