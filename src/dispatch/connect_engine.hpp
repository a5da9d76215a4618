#pragma once

#include <chrono>
#include <cstdint>

#include "dispatch/dispatcher.hpp"

namespace morvex {

// Time as the connect flow sees it, so that tests can move it instead of
// waiting.
class ConnectClock {
 public:
  virtual ~ConnectClock() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
  // Milliseconds since 1970-01-01 UTC; 0 when the clock is earlier.
  virtual std::uint64_t system_milliseconds() = 0;
};

// The real clocks.
class SystemConnectClock final : public ConnectClock {
 public:
  std::chrono::steady_clock::time_point now() override;
  void sleep_for(std::chrono::milliseconds duration) override;
  std::uint64_t system_milliseconds() override;
};

// What connect_engine needs from the engines, all on the locked record.
class EngineStarter {
 public:
  virtual ~EngineStarter() = default;
  virtual Result<void> teardown_tunnel(TunnelState& state) = 0;
  virtual Result<void> install_wireguard_tunnel(TunnelState& state, const Profile& profile) = 0;
  virtual Result<void> start_openvpn(TunnelState& state, const Profile& profile) = 0;
  // Records the profile as the active one, with the time the tunnel came up.
  virtual void set_active_profile(TunnelState& state, const Profile& profile,
                                  std::uint64_t connected_at) = 0;
  virtual VpnStatus probe_status(TunnelState& state) = 0;
};

struct ConnectTiming {
  std::chrono::milliseconds wait{30000};
  std::chrono::milliseconds pause{300};
};

// Clears whatever tunnel exists, starts the profile's engine and waits until
// the status probe reports the tunnel connected and verified, giving up at the
// deadline or when the attempt is cancelled. Every outcome other than
// "connected" leaves no tunnel behind.
Result<VpnStatus> connect_engine(EngineStarter& engines, ConnectClock& clock, TunnelState& state,
                                 const Profile& profile, const Attempt& attempt,
                                 const ConnectTiming& timing = {});

}  // namespace morvex
