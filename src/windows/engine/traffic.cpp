#include "windows/engine/openvpn_engine.hpp"
#include "windows/engine/tunnel_state.hpp"
#include "windows/engine/wireguard_engine.hpp"

namespace morvex {

std::optional<TrafficTotals> read_traffic(TunnelState& state, const EngineContext& context) {
  if (!state.active_profile || state.engines_stopped) return std::nullopt;
  if (state.active_profile->protocol == "wireguard") return wireguard_traffic(state, context);
  return openvpn_traffic(state);
}

}  // namespace morvex
