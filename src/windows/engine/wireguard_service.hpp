#pragma once

#include <windows.h>

#include <chrono>

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

// Makes our tunnel service one that starts only when asked. The manager
// program installs it to start with Windows, and a tunnel left behind by a
// service that was killed or lost power would then come back at every boot,
// before this service and unknown to the app. Fails with "Cannot configure
// the WireGuard service." (also when the service is not ours).
Result<void> make_tunnel_service_demand_start(const TunnelState& state,
                                              const EngineContext& context);

// Waits until the tunnel service can take a stop: it accepts one, is stopping
// or stopped, or is gone. While it resolves its endpoint and creates its
// adapter it reports start-pending without accepting a stop, and the manager
// program would delete it all the same: it would then run on, marked for
// deletion, out of every later teardown's reach. Fails with "Cannot contact
// Windows Services.", "Cannot inspect the WireGuard service." or "The
// WireGuard tunnel did not stop in time. Try again." at `deadline`, having
// changed nothing. Gives whether the service is still there to be uninstalled
// (not gone, and not already deleted by someone else).
Result<bool> await_stoppable_tunnel_service(const EngineContext& context,
                                            std::chrono::steady_clock::time_point deadline);

// Waits until the uninstalled tunnel service is down: gone from the service
// manager, or stopped. The manager program deletes the service and returns
// while it still stops, and Windows keeps a deleted service while it runs or
// while any program (the Services console, a monitoring tool) holds a handle
// to it; no handle of ours is kept between looks. Looks every 50 ms until
// `deadline`; fails as await_stoppable_tunnel_service does.
Result<void> await_tunnel_service_removal(const EngineContext& context,
                                          std::chrono::steady_clock::time_point deadline);

// Whether our tunnel service runs: false when there is none, it belongs to
// another program, it is not running or it cannot be inspected.
bool our_tunnel_service_runs(const TunnelState& state, const EngineContext& context);

}  // namespace morvex
