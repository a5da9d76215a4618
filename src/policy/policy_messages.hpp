#pragma once

#include <string_view>

// Every sentence the profile policy reports, kept in one place. Each goes to the
// desktop app unchanged as the reason of a refused connect.
namespace morvex::policy_message {

inline constexpr std::string_view invalid_location = "Invalid VPN location.";
inline constexpr std::string_view invalid_value = "Morvex returned an invalid value.";
inline constexpr std::string_view invalid_recovery_protocol = "Invalid recovery protocol.";
inline constexpr std::string_view invalid_profile = "Morvex returned an invalid VPN profile.";
inline constexpr std::string_view unsupported_dns_provider = "Choose a supported DNS provider.";
inline constexpr std::string_view unsupported_protocol = "Choose a supported VPN protocol.";

inline constexpr std::string_view unsupported_profile =
    "Morvex returned an unsupported VPN profile. Try another location.";

inline constexpr std::string_view invalid_wireguard_profile = "Invalid WireGuard profile.";
inline constexpr std::string_view incomplete_wireguard_profile =
    "Morvex returned an incomplete WireGuard profile.";
inline constexpr std::string_view invalid_address = "Invalid VPN address.";
inline constexpr std::string_view not_full_tunnel =
    "This WireGuard profile does not protect IPv4 and IPv6. Try OpenVPN or another location.";
inline constexpr std::string_view invalid_endpoint = "Invalid WireGuard endpoint.";
inline constexpr std::string_view invalid_server_address =
    "Morvex returned an invalid server address.";
inline constexpr std::string_view invalid_dns_server = "Invalid VPN DNS server.";

inline constexpr std::string_view invalid_openvpn_profile = "Invalid OpenVPN profile.";

}  // namespace morvex::policy_message
