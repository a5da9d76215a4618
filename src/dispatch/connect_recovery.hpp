#pragma once

#include <optional>

#include "dispatch/dispatcher.hpp"

namespace morvex {

// The engine operations that a connect orders, all on the locked record.
class ConnectOperations {
 public:
  virtual ~ConnectOperations() = default;
  // Whether the installed OpenVPN engine is acceptable.
  virtual Result<void> check_openvpn_version() = 0;
  // The active profile, when a fresh status probe says the tunnel works.
  virtual std::optional<Profile> previous_profile(TunnelState& state) = 0;
  virtual Result<void> teardown_tunnel(TunnelState& state) = 0;
  // Brings the profile's tunnel up and waits until it is verified; watches
  // for cancellation itself.
  virtual Result<VpnStatus> connect_engine(TunnelState& state, const Profile& profile,
                                           const Attempt& attempt) = 0;
};

// Replaces whatever tunnel is up with the profile's, and brings the previous
// working connection back when the new one does not come up.
Result<VpnStatus> connect_with_recovery(ConnectOperations& operations, TunnelState& state,
                                        Profile profile, const Attempt& attempt);

// Clears what a failed connect left and reconnects the previous profile, if
// there is one; reports the outcome with the failure of the new connection.
Result<VpnStatus> restore_previous_connection(ConnectOperations& operations, TunnelState& state,
                                              const std::optional<Profile>& previous,
                                              const Attempt& attempt, std::string failure);

}  // namespace morvex
