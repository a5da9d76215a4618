#include "dispatch/messages.hpp"

namespace morvex {

VpnStatus disconnected_status() {
  VpnStatus status;
  status.state = ConnectionState::disconnected;
  status.message = "VPN is disconnected.";
  return status;
}

VpnStatus error_status(std::string message) {
  VpnStatus status;
  status.state = ConnectionState::error;
  status.message = std::move(message);
  return status;
}

ConnectionInfo connection_info_from_profile(const Profile& profile) {
  return ConnectionInfo{
      .server_id = profile.server_id,
      .location = profile.location,
      .protocol = profile.recovery_protocol.empty() ? profile.protocol : profile.recovery_protocol,
      .dns = profile.dns,
  };
}

}  // namespace morvex
