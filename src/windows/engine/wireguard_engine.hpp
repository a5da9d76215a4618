#pragma once

#include <optional>

#include "common/failure.hpp"
#include "dispatch/messages.hpp"
#include "windows/engine/engine_context.hpp"
#include "windows/engine/tunnel_state.hpp"

namespace morvex {

// Writes the tunnel's configuration file into private storage and has the
// WireGuard manager install and start the tunnel service for it.
Result<void> install_wireguard_tunnel(TunnelState& state, const Profile& profile,
                                      const EngineContext& context);

// Ready, with the tunnel's adapter, once a peer has shaken hands within the
// last 179 seconds; otherwise not ready. Never stopped: the tunnel service
// restarts by itself.
Readiness wireguard_readiness(const EngineContext& context);

// The tunnel's byte totals over all peers, or nothing when the query fails or
// its output is not as expected.
std::optional<TrafficTotals> wireguard_traffic(const EngineContext& context);

}  // namespace morvex
