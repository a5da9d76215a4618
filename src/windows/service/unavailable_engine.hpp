#pragma once

#include <functional>

#include "dispatch/dispatcher.hpp"

namespace morvex {

// The engine of a service without connect support: it reports no engine
// available, no tunnel and no traffic, and refuses to connect. Connect
// requests are still checked against the profile policy, and a disconnect
// runs the given teardown.
class UnavailableEngine final : public Engine {
 public:
  using Teardown = std::function<Result<void>(TunnelState&)>;
  explicit UnavailableEngine(Teardown teardown) : teardown_(std::move(teardown)) {}

  EngineCapabilities query_capabilities(TunnelState& state) override;
  VpnStatus probe_status(TunnelState& state) override;
  std::optional<TrafficTotals> read_traffic(TunnelState& state) override;
  Result<void> teardown_tunnel(TunnelState& state) override;
  Result<Profile> validate_connect_request(Profile profile) override;
  Result<VpnStatus> connect_with_recovery(TunnelState& state, Profile profile,
                                          const Attempt& attempt) override;

 private:
  Teardown teardown_;
};

}  // namespace morvex
