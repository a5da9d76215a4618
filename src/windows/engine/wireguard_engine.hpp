#pragma once

#include <optional>

#include "common/failure.hpp"
#include "dispatch/messages.hpp"
#include "windows/engine/engine_context.hpp"
#include "windows/engine/tunnel_state.hpp"

namespace morvex {

// Writes the tunnel's configuration file into private storage and has the
// WireGuard manager install and start the tunnel service for it, then makes
// that service start only when asked (a failure there fails the install).
Result<void> install_wireguard_tunnel(TunnelState& state, const Profile& profile,
                                      const EngineContext& context);

// Stopped when no tunnel service of the tunnel's name exists, when the one
// that does runs another program's configuration, or when ours has stopped:
// the record's profile then describes no tunnel. Otherwise ready, with the
// tunnel's adapter, once our service runs and a peer has shaken hands within
// the last 179 seconds; idle, with the adapter, when our service runs and the
// last handshakes are older (WireGuard shakes hands only when it sends, and
// keepalives are optional); not ready while it starts, when the service
// manager cannot be asked, or before any handshake.
Readiness wireguard_readiness(const TunnelState& state, const EngineContext& context);

// The tunnel's byte totals over all peers while our tunnel service runs;
// nothing when it does not (a tunnel of another program under the name is not
// counted), or when the query fails or its output is not as expected.
std::optional<TrafficTotals> wireguard_traffic(const TunnelState& state,
                                               const EngineContext& context);

}  // namespace morvex
