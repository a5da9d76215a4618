#include "windows/engine/vpn_engine.hpp"

#include "command/runner.hpp"
#include "windows/engine/openvpn_engine.hpp"
#include "windows/engine/verification/protection_check.hpp"
#include "windows/engine/verification/verification_script.hpp"
#include "windows/engine/wireguard_engine.hpp"

namespace morvex {
namespace {

// The outside effects of one status probe on one record.
class RecordProbes final : public ProtectionProbes {
 public:
  RecordProbes(const EngineContext& context, const VpnEngineParts& parts, TunnelState& state)
      : context_(context), parts_(parts), state_(state) {}

  AdapterReadiness readiness(const Profile& profile) override {
    if (state_.engines_stopped) return {AdapterReadiness::Kind::stopped, ""};
    const Readiness found = profile.protocol == "wireguard" ? wireguard_readiness(state_, context_)
                                                            : openvpn_readiness(state_);
    switch (found.state) {
      case EngineReadiness::stopped: return {AdapterReadiness::Kind::stopped, ""};
      case EngineReadiness::not_ready: return {AdapterReadiness::Kind::not_ready, ""};
      case EngineReadiness::idle: return {AdapterReadiness::Kind::idle, found.adapter};
      case EngineReadiness::ready: return {AdapterReadiness::Kind::ready, found.adapter};
    }
    return {AdapterReadiness::Kind::not_ready, ""};
  }

  Result<std::string> run_script(const std::string& input) override {
    EngineCommand command =
        engine_command(parts_.system_tool(L"WindowsPowerShell\\v1.0\\powershell.exe"));
    command.arguments = powershell_arguments();
    return context_.runner.run(command, input, verification_script_timeout);
  }

  Result<std::string> run_trace(const std::string& source_address) override {
    EngineCommand command = engine_command(parts_.system_tool(L"curl.exe"));
    command.arguments = curl_arguments(source_address);
    return context_.runner.run(command, std::nullopt, trace_request_timeout);
  }

  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }

 private:
  const EngineContext& context_;
  const VpnEngineParts& parts_;
  TunnelState& state_;
};

}  // namespace

VpnEngine::VpnEngine(EngineContext& context, VpnEngineParts parts, ConnectClock& clock,
                     ConnectTiming timing)
    : context_(context), parts_(std::move(parts)), clock_(clock), timing_(timing) {}

EngineCapabilities VpnEngine::query_capabilities(TunnelState&) {
  return parts_.query_capabilities();
}

VpnStatus VpnEngine::probe_status(TunnelState& state) {
  RecordProbes probes(context_, parts_, state);
  KeptChecks kept{state.route_checked_at, state.source_address, state.internet_checked_at,
                  state.public_address};
  VpnStatus status = morvex::probe_status(probes, state.active_profile, state.connected_at, kept);
  state.route_checked_at = kept.route_checked_at;
  state.source_address = std::move(kept.source_address);
  state.internet_checked_at = kept.internet_checked_at;
  state.public_address = std::move(kept.public_address);
  return status;
}

std::optional<TrafficTotals> VpnEngine::read_traffic(TunnelState& state) {
  return morvex::read_traffic(state, context_);
}

Result<void> VpnEngine::teardown_tunnel(TunnelState& state) {
  return morvex::teardown_tunnel(state, context_);
}

Result<Profile> VpnEngine::validate_connect_request(Profile profile) {
  return parts_.validate_connect_request(std::move(profile));
}

Result<VpnStatus> VpnEngine::connect_with_recovery(TunnelState& state, Profile profile,
                                                   const Attempt& attempt) {
  return morvex::connect_with_recovery(*this, state, std::move(profile), attempt);
}

Result<void> VpnEngine::check_openvpn_version() { return parts_.check_openvpn_version(); }

std::optional<Profile> VpnEngine::previous_profile(TunnelState& state) {
  const VpnStatus status = probe_status(state);
  if (status.state != ConnectionState::connected || !state.active_profile) return std::nullopt;
  return state.active_profile;
}

Result<VpnStatus> VpnEngine::connect_engine(TunnelState& state, const Profile& profile,
                                            const Attempt& attempt) {
  return morvex::connect_engine(*this, clock_, state, profile, attempt, timing_);
}

Result<void> VpnEngine::install_wireguard_tunnel(TunnelState& state, const Profile& profile) {
  return morvex::install_wireguard_tunnel(state, profile, context_);
}

Result<void> VpnEngine::start_openvpn(TunnelState& state, const Profile& profile) {
  return morvex::start_openvpn(state, profile, context_);
}

void VpnEngine::set_active_profile(TunnelState& state, const Profile& profile,
                                   std::uint64_t connected_at) {
  state.active_profile = profile;
  state.connected_at = connected_at;
}

}  // namespace morvex
