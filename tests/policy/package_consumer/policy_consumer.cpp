// Validates a WireGuard and an OpenVPN connect profile through the installed
// policy package, as the desktop app would before sending a connect request.
// Prints what differs from the expected outcome; exits 0 only when all agree.
#include <cstdio>
#include <string>

#include "policy/connect_request.hpp"

namespace {

int failures = 0;

void expect(const char* what, const morvex::Result<morvex::Profile>& got,
            const std::string& expected_config) {
  const std::string actual = got ? got->config : "error: " + got.error().message;
  if (actual == expected_config) return;
  ++failures;
  std::printf("%s\n  expected: %s\n  actual:   %s\n", what, expected_config.c_str(),
              actual.c_str());
}

morvex::Profile profile(const char* protocol, std::string config, const char* dns) {
  return {7, "Oslo", protocol, std::move(config), dns, "automatic", "demo", "demo-secret"};
}

const std::string wireguard =
    "[Interface]\r\n"
    "PrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\r\n"
    "Address = 10.64.0.2/32\r\n"
    "[Peer]\r\n"
    "PublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\r\n"
    "AllowedIPs = 0.0.0.0/0, ::/0\r\n"
    "Endpoint = 198.51.100.7:51820\r\n";

const std::string openvpn_enforced =
    "remote-cert-tls server\n"
    "tls-version-min 1.2\n"
    "dhcp-option DNS 1.1.1.1\n"
    "dhcp-option DNS 1.0.0.1\n"
    "ifconfig-ipv6 fd15:53b6:dead::2/64 fd15:53b6:dead::1\n"
    "pull-filter ignore \"ifconfig-ipv6\"\n"
    "redirect-gateway def1 ipv6\n"
    "block-ipv6\n"
    "pull-filter ignore \"redirect-gateway\"\n"
    "pull-filter ignore \"redirect-private\"\n"
    "pull-filter ignore \"route \"\n"
    "pull-filter ignore \"route-ipv6 \"\n"
    "pull-filter ignore \"dhcp-option DNS\"\n"
    "pull-filter ignore \"dns \"\n";

}  // namespace

int main() {
  expect("WireGuard with forced DNS",
         morvex::validate_connect_request(profile("wireguard", wireguard, "quad9")),
         "[Interface]\n"
         "PrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\n"
         "Address = 10.64.0.2/32\n"
         "DNS = 9.9.9.9, 149.112.112.112\n"
         "[Peer]\n"
         "PublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n"
         "AllowedIPs = 0.0.0.0/0, ::/0\n"
         "Endpoint = 198.51.100.7:51820\n");
  expect(
      "WireGuard that leaves IPv6 outside the tunnel",
      morvex::validate_connect_request(profile(
          "wireguard", std::string(wireguard).replace(wireguard.find(", ::/0"), 6, ""), "quad9")),
      "error: This WireGuard profile does not protect IPv4 and IPv6. Try OpenVPN or another "
      "location.");
  expect("OpenVPN with forced DNS",
         morvex::validate_connect_request(
             profile("openvpn", "client\nremote 198.51.100.7 1194 udp\n", "cloudflare")),
         "client\nremote 198.51.100.7 1194 udp\n" + openvpn_enforced);
  expect("OpenVPN that runs a script",
         morvex::validate_connect_request(
             profile("openvpn", "client\nremote 198.51.100.7 1194 udp\nup evil.cmd\n", "server")),
         "error: Morvex returned an unsupported VPN profile. Try another location.");
  std::printf("%s\n", failures == 0 ? "policy package: all profiles judged as expected"
                                    : "policy package: profiles judged wrongly");
  return failures == 0 ? 0 : 1;
}
