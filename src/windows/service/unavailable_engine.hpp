#pragma once

#include "dispatch/dispatcher.hpp"

namespace morvex {

// The engine of a service that has no VPN engine support built in: it
// reports nothing available, no tunnel and no traffic, and refuses to connect.
class UnavailableEngine final : public Engine {
 public:
  EngineCapabilities query_capabilities(TunnelState& state) override;
  VpnStatus probe_status(TunnelState& state) override;
  std::optional<TrafficTotals> read_traffic(TunnelState& state) override;
  Result<void> teardown_tunnel(TunnelState& state) override;
  Result<Profile> validate_connect_request(Profile profile) override;
  Result<VpnStatus> connect_with_recovery(TunnelState& state, Profile profile,
                                          const Attempt& attempt) override;
};

}  // namespace morvex
