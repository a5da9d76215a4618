#include "policy/connect_request.hpp"

#include <array>

#include "policy/dns_providers.hpp"
#include "policy/openvpn_profile.hpp"
#include "policy/policy_messages.hpp"
#include "policy/value_rule.hpp"
#include "policy/wireguard_profile.hpp"

namespace morvex {
namespace {

constexpr std::size_t max_location_bytes = 320;
constexpr std::size_t max_credential_bytes = 4096;
constexpr std::size_t max_profile_bytes = 65535;

constexpr std::string_view openvpn = "openvpn";
constexpr std::string_view wireguard = "wireguard";
constexpr std::array<std::string_view, 3> recovery_protocols = {openvpn, "automatic", wireguard};

std::unexpected<Failure> fail_with(std::string_view message) { return fail(std::string(message)); }

bool is_recovery_protocol(std::string_view value) {
  if (value.empty()) return true;
  for (const auto protocol : recovery_protocols) {
    if (protocol == value) return true;
  }
  return false;
}

}  // namespace

Result<std::string> validate_profile(std::string_view config, std::string_view protocol,
                                     std::string_view dns) {
  if (config.empty() || config.size() > max_profile_bytes ||
      config.find('\0') != std::string_view::npos) {
    return fail_with(policy_message::invalid_profile);
  }
  const auto dns_servers = dns_servers_of(dns);
  if (!dns_servers) return fail_with(policy_message::unsupported_dns_provider);
  if (protocol == openvpn) return sanitize_openvpn_profile(config, *dns_servers);
  if (protocol == wireguard) return validate_wireguard_profile(config, *dns_servers);
  return fail_with(policy_message::unsupported_protocol);
}

Result<Profile> validate_connect_request(Profile profile) {
  if (profile.server_id < 1) return fail_with(policy_message::invalid_location);
  if (auto checked = check_value(profile.location, max_location_bytes); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  // Credentials matter only to OpenVPN; any other protocol leaves them unread.
  if (profile.protocol == openvpn) {
    for (const auto* credential : {&profile.username, &profile.password}) {
      if (auto checked = check_value(*credential, max_credential_bytes); !checked) {
        return std::unexpected(std::move(checked.error()));
      }
    }
  }
  if (!is_recovery_protocol(profile.recovery_protocol)) {
    return fail_with(policy_message::invalid_recovery_protocol);
  }
  auto config = validate_profile(profile.config, profile.protocol, profile.dns);
  if (!config) return std::unexpected(std::move(config.error()));
  profile.config = std::move(*config);
  return profile;
}

}  // namespace morvex
