#pragma once

#include <windows.h>

#include "common/failure.hpp"
#include "windows/engine/engine_context.hpp"
#include "windows/engine/tunnel_state.hpp"

namespace morvex {

// Whose tunnel service carries the tunnel's name: nobody's, ours (its command
// line names our configuration file in private storage), or another program's.
enum class TunnelServiceOwner { none, ours, foreign };

struct FoundTunnelService {
  TunnelServiceOwner owner = TunnelServiceOwner::none;
  // The service's current state (SERVICE_RUNNING, SERVICE_STOPPED, ...); read
  // only when asked for, and 0 otherwise.
  DWORD current_state = 0;
};

// Looks the tunnel service up in the service manager and decides whose it is:
// ours when any argument of its command line, read as a path, is our
// configuration file. The state is read too when `with_state` is set. Fails
// with "Cannot contact Windows Services.", "Cannot inspect the WireGuard
// service.", "Cannot verify WireGuard ownership." or "Cannot inspect VPN
// service arguments."; every handle is closed on return.
Result<FoundTunnelService> find_tunnel_service(const TunnelState& state,
                                               const EngineContext& context, bool with_state);

// Waits until the tunnel service has left the service manager, looking every
// 50 ms for up to `context.tunnel_removal_wait`. The manager program deletes
// the service and returns while it still stops, and Windows keeps a deleted
// service while it runs or while any handle to it is open, so no handle is
// kept between looks. Fails with "Cannot contact Windows Services.", "Cannot
// inspect the WireGuard service." or "The WireGuard tunnel did not stop in
// time. Try again.".
Result<void> await_tunnel_service_removal(const EngineContext& context);

// Whether our tunnel service runs: false when there is none, it belongs to
// another program, it is not running or it cannot be inspected.
bool our_tunnel_service_runs(const TunnelState& state, const EngineContext& context);

}  // namespace morvex
