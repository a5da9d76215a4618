#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "dispatch/connect_engine.hpp"
#include "dispatch/connect_recovery.hpp"
#include "dispatch/dispatcher.hpp"
#include "windows/engine/engine_context.hpp"
#include "windows/engine/tunnel_state.hpp"

namespace morvex {

// What the service's engine is built from, beyond the engines' context.
struct VpnEngineParts {
  // The absolute path of a Windows tool below System32.
  std::function<std::wstring(std::wstring_view relative)> system_tool;
  // The OpenVPN version gate.
  std::function<Result<void>()> check_openvpn_version;
  // Which engines are installed and acceptable.
  std::function<EngineCapabilities()> query_capabilities;
  // The profile checks of a connect request.
  std::function<Result<Profile>(Profile)> validate_connect_request;
};

// The engine the dispatcher drives: it binds the portable connect, recovery and
// verification flows to the real WireGuard and OpenVPN engines, the runner and
// the clocks.
class VpnEngine final : public Engine, private ConnectOperations, private EngineStarter {
 public:
  VpnEngine(EngineContext& context, VpnEngineParts parts, ConnectClock& clock,
            ConnectTiming timing = {});

  EngineCapabilities query_capabilities(TunnelState& state) override;
  VpnStatus probe_status(TunnelState& state) override;
  std::optional<TrafficTotals> read_traffic(TunnelState& state) override;
  Result<void> teardown_tunnel(TunnelState& state) override;
  Result<Profile> validate_connect_request(Profile profile) override;
  Result<VpnStatus> connect_with_recovery(TunnelState& state, Profile profile,
                                          const Attempt& attempt) override;

 private:
  // Connect and recovery steps.
  Result<void> check_openvpn_version() override;
  std::optional<Profile> previous_profile(TunnelState& state) override;
  Result<VpnStatus> connect_engine(TunnelState& state, const Profile& profile,
                                   const Attempt& attempt) override;
  // Engine starts.
  Result<void> install_wireguard_tunnel(TunnelState& state, const Profile& profile) override;
  Result<void> start_openvpn(TunnelState& state, const Profile& profile) override;
  void set_active_profile(TunnelState& state, const Profile& profile,
                          std::uint64_t connected_at) override;

  EngineContext& context_;
  VpnEngineParts parts_;
  ConnectClock& clock_;
  ConnectTiming timing_;
};

// Time-outs of the verification runs.
inline constexpr std::chrono::seconds verification_script_timeout{10};
inline constexpr std::chrono::seconds trace_request_timeout{6};

}  // namespace morvex
