#include "windows/engine/verification/protection_check.hpp"

#include "windows/engine/verification/verification_text.hpp"

namespace morvex {
namespace {

constexpr const char* checking_message = "Checking VPN routes, DNS and internet access.";
constexpr const char* openvpn_stopped_message = "The OpenVPN connection stopped. Try reconnecting.";
constexpr const char* wireguard_stopped_message =
    "The WireGuard connection stopped. Try reconnecting.";

// The checking status, or the connected one when a public address is known.
VpnStatus tunnel_status(const Profile& profile, std::optional<std::uint64_t> connected_at,
                        std::optional<std::string> public_address) {
  VpnStatus status;
  status.connection = connection_info_from_profile(profile);
  status.state = public_address ? ConnectionState::connected : ConnectionState::checking;
  status.active_profile = profile.protocol == "wireguard" ? "WireGuard" : "OpenVPN";
  status.public_address = std::move(public_address);
  status.connected_at = connected_at;
  status.message = checking_message;
  return status;
}

// Whether a kept result is younger than its lifetime, counted in whole seconds.
bool still_fresh(const std::optional<std::chrono::steady_clock::time_point>& checked_at,
                 std::chrono::steady_clock::time_point now, std::chrono::seconds lifetime) {
  if (!checked_at || now < *checked_at) return false;
  return std::chrono::duration_cast<std::chrono::seconds>(now - *checked_at) < lifetime;
}

void drop_both(KeptChecks& kept) {
  kept.source_address.reset();
  kept.public_address.reset();
}

}  // namespace

VpnStatus probe_status(ProtectionProbes& probes, const std::optional<Profile>& active_profile,
                       std::optional<std::uint64_t> connected_at, KeptChecks& kept) {
  if (!active_profile) return disconnected_status();
  const Profile& profile = *active_profile;
  const auto checking = [&] { return tunnel_status(profile, connected_at, std::nullopt); };

  const AdapterReadiness readiness = probes.readiness(profile);
  if (readiness.kind == AdapterReadiness::Kind::stopped) {
    return error_status(profile.protocol == "wireguard" ? wireguard_stopped_message
                                                        : openvpn_stopped_message);
  }
  if (readiness.kind == AdapterReadiness::Kind::not_ready) {
    kept.source_address.reset();
    return checking();
  }

  if (!kept.source_address ||
      !still_fresh(kept.route_checked_at, probes.now(), route_check_lifetime)) {
    const auto output =
        probes.run_script(script_input(readiness.adapter, expected_dns_servers(profile.config)));
    const auto source = output ? script_source_address(*output) : std::nullopt;
    if (!source) {
      drop_both(kept);
      return checking();
    }
    // A new source address means a new path: the public address seen over the
    // old one no longer counts.
    if (kept.source_address != source) kept.public_address.reset();
    kept.source_address = source;
    kept.route_checked_at = probes.now();
  }

  const bool idle = readiness.kind == AdapterReadiness::Kind::idle;
  if (!idle && kept.public_address &&
      still_fresh(kept.internet_checked_at, probes.now(), internet_check_lifetime)) {
    return tunnel_status(profile, connected_at, kept.public_address);
  }
  const auto body = probes.run_trace(*kept.source_address);
  const auto public_address = body ? trace_public_address(*body) : std::nullopt;
  if (!public_address) {
    drop_both(kept);
    return checking();
  }
  kept.public_address = public_address;
  kept.internet_checked_at = probes.now();
  return tunnel_status(profile, connected_at, public_address);
}

}  // namespace morvex
