#include "dispatch/connect_recovery.hpp"

namespace morvex {
namespace {

constexpr const char* restored_message =
    "The new VPN connection failed; your previous connection has been restored.";
constexpr const char* restore_failed_message =
    "The new VPN connection and restoration failed. Select Connect to try again.";

// After a cancellation the machine is left without a tunnel: tear down what
// may have come up, and report the disconnected status.
Result<VpnStatus> end_cancelled(ConnectOperations& operations, TunnelState& state) {
  auto torn_down = operations.teardown_tunnel(state);
  if (!torn_down) return std::unexpected(torn_down.error());
  return disconnected_status();
}

bool is_connected(const Result<VpnStatus>& outcome) {
  return outcome && outcome->state == ConnectionState::connected;
}

}  // namespace

Result<VpnStatus> connect_with_recovery(ConnectOperations& operations, TunnelState& state,
                                        Profile profile, const Attempt& attempt) {
  if (profile.protocol == "openvpn") {
    auto accepted = operations.check_openvpn_version();
    if (!accepted) return std::unexpected(accepted.error());
  }
  if (attempt.cancelled()) return disconnected_status();

  const std::optional<Profile> previous = operations.previous_profile(state);

  auto torn_down = operations.teardown_tunnel(state);
  if (!torn_down) return std::unexpected(torn_down.error());
  if (attempt.cancelled()) return disconnected_status();

  auto outcome = operations.connect_engine(state, profile, attempt);
  if (attempt.cancelled()) return end_cancelled(operations, state);
  if (is_connected(outcome)) return outcome;

  std::string failure = outcome ? std::move(outcome->message) : std::move(outcome.error().message);
  return restore_previous_connection(operations, state, previous, attempt, std::move(failure));
}

Result<VpnStatus> restore_previous_connection(ConnectOperations& operations, TunnelState& state,
                                              const std::optional<Profile>& previous,
                                              const Attempt& attempt, std::string failure) {
  auto torn_down = operations.teardown_tunnel(state);
  if (!torn_down) return std::unexpected(torn_down.error());
  if (attempt.cancelled()) return disconnected_status();
  if (!previous) return fail(std::move(failure));

  auto outcome = operations.connect_engine(state, *previous, attempt);
  if (attempt.cancelled()) return end_cancelled(operations, state);
  if (is_connected(outcome)) return fail(restored_message);

  torn_down = operations.teardown_tunnel(state);
  if (!torn_down) return std::unexpected(torn_down.error());
  return fail(restore_failed_message);
}

}  // namespace morvex
