#pragma once

#include <string>
#include <vector>

// Profiles the OpenVPN sanitiser accepts, shared by its unit tests and by the
// check of its output against OpenVPN's own option parser.
namespace morvex::testing {

inline const std::string openvpn_minimal = "client\nremote 198.51.100.7 1194 udp\n";

// A profile with its own policy lines, comments, a dropped option and its own
// DNS server and DNS filter.
inline const std::string openvpn_own_lines =
    "# comment\n; comment\n\ntls-client\n  remote vpn.example 443 tcp  \n"
    "tls-version-min 1.3\nremote-cert-tls server\nblock-ipv6\ncipher AES-256-GCM\n"
    "block-outside-dns\ndhcp-option DNS 10.8.0.1\npull-filter ignore \"dhcp-option DNS\"\n";

inline const std::string openvpn_ca_block =
    "<ca>\n-----BEGIN CERTIFICATE-----\n# x\n\n; y\nMIIBszCCAVmgAwIBAgIU\n"
    "-----END CERTIFICATE-----\n</ca>\n";

// Lines that, added to the minimal profile, keep it acceptable.
inline const std::vector<std::string> openvpn_accepted_additions = {
    "<ca>\n" + std::string(255, 'A') + "\n</ca>",
    "dev tun",
    "dev tun0",
    "redirect-gateway",
    "redirect-gateway def1",
    "tls-version-max 1.2",
    "tls-version-max 1.3",
    "pull-filter ignore \"dns \"",
};

}  // namespace morvex::testing
