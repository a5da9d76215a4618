#include "windows/service/unavailable_engine.hpp"

#include "policy/connect_request.hpp"

namespace morvex {

EngineCapabilities UnavailableEngine::query_capabilities(TunnelState&) { return {}; }

VpnStatus UnavailableEngine::probe_status(TunnelState&) { return disconnected_status(); }

std::optional<TrafficTotals> UnavailableEngine::read_traffic(TunnelState&) { return std::nullopt; }

Result<void> UnavailableEngine::teardown_tunnel(TunnelState& state) { return teardown_(state); }

Result<Profile> UnavailableEngine::validate_connect_request(Profile profile) {
  return ::morvex::validate_connect_request(std::move(profile));
}

Result<VpnStatus> UnavailableEngine::connect_with_recovery(TunnelState&, Profile, const Attempt&) {
  return fail("VPN service is unavailable.");
}

}  // namespace morvex
