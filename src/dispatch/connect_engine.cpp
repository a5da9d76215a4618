#include "dispatch/connect_engine.hpp"

#include <thread>

namespace morvex {
namespace {

constexpr const char* unverified_message =
    "The VPN could not verify protection. Try another location.";

// Tears down after a failed step; a teardown failure replaces the step's own
// message.
Result<VpnStatus> fail_after_teardown(EngineStarter& engines, TunnelState& state,
                                      std::string message) {
  auto torn_down = engines.teardown_tunnel(state);
  if (!torn_down) return std::unexpected(torn_down.error());
  return fail(std::move(message));
}

}  // namespace

std::chrono::steady_clock::time_point SystemConnectClock::now() {
  return std::chrono::steady_clock::now();
}

void SystemConnectClock::sleep_for(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

std::uint64_t SystemConnectClock::system_milliseconds() {
  const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return since_epoch.count() < 0 ? 0 : static_cast<std::uint64_t>(since_epoch.count());
}

Result<VpnStatus> connect_engine(EngineStarter& engines, ConnectClock& clock, TunnelState& state,
                                 const Profile& profile, const Attempt& attempt,
                                 const ConnectTiming& timing) {
  if (attempt.cancelled()) return engines.probe_status(state);

  auto torn_down = engines.teardown_tunnel(state);
  if (!torn_down) return std::unexpected(torn_down.error());
  if (attempt.cancelled()) return disconnected_status();

  auto started = profile.protocol == "wireguard" ? engines.install_wireguard_tunnel(state, profile)
                                                 : engines.start_openvpn(state, profile);
  if (!started) return fail_after_teardown(engines, state, std::move(started.error().message));

  engines.set_active_profile(state, profile, clock.system_milliseconds());

  const auto deadline = clock.now() + timing.wait;
  while (clock.now() < deadline && !attempt.cancelled()) {
    VpnStatus status = engines.probe_status(state);
    if (status.state == ConnectionState::connected) return status;
    if (status.state == ConnectionState::error) {
      return fail_after_teardown(engines, state, std::move(status.message));
    }
    clock.sleep_for(timing.pause);
  }

  torn_down = engines.teardown_tunnel(state);
  if (!torn_down) return std::unexpected(torn_down.error());
  if (!attempt.cancelled()) return fail(unverified_message);
  return disconnected_status();
}

}  // namespace morvex
