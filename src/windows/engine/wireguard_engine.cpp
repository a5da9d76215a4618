#include "windows/engine/wireguard_engine.hpp"

#include <chrono>

#include "windows/engine/engine_locations.hpp"
#include "windows/engine/portable/wireguard_output.hpp"
#include "windows/engine/private_files.hpp"
#include "windows/engine/wide_text.hpp"
#include "windows/engine/wireguard_service.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;

constexpr auto install_timeout = 15s;
constexpr auto query_timeout = 3s;

Result<std::string> run_wg_show(const EngineContext& context, const wchar_t* what) {
  auto command = engine_command(context.program_path(wireguard_query_program));
  command.arguments = {L"show", context.tunnel_name, what};
  return context.runner.run(command, std::nullopt, query_timeout);
}

}  // namespace

Result<void> install_wireguard_tunnel(TunnelState& state, const Profile& profile,
                                      const EngineContext& context) {
  const auto path =
      write_private_file(state.directory, context.tunnel_name + L".conf", profile.config);
  if (!path) return std::unexpected(path.error());
  auto command = engine_command(context.program_path(wireguard_manager_program));
  command.arguments = {L"/installtunnelservice", path->wstring()};
  const auto run = context.runner.run(command, std::nullopt, install_timeout);
  if (!run) return std::unexpected(run.error());
  return make_tunnel_service_demand_start(state, context);
}

Readiness wireguard_readiness(const TunnelState& state, const EngineContext& context) {
  // The query tool reports whatever tunnel carries the name, so the service
  // is looked at first, with the teardown's own ownership rule.
  const auto service = find_tunnel_service(state, context, true);
  if (!service) return {};
  if (service->owner != TunnelServiceOwner::ours) return {EngineReadiness::stopped, {}};
  if (service->current_state == SERVICE_STOPPED || service->current_state == SERVICE_STOP_PENDING) {
    return {EngineReadiness::stopped, {}};
  }
  if (service->current_state != SERVICE_RUNNING) return {};
  const auto output = run_wg_show(context, L"latest-handshakes");
  if (!output) return {};
  const auto adapter = engines::utf8_from_wide(context.tunnel_name).value_or("");
  switch (latest_handshakes(*output, context.unix_seconds())) {
    case Handshakes::recent: return {EngineReadiness::ready, adapter};
    case Handshakes::idle: return {EngineReadiness::idle, adapter};
    case Handshakes::none: break;
  }
  return {};
}

std::optional<TrafficTotals> wireguard_traffic(const TunnelState& state,
                                               const EngineContext& context) {
  if (!our_tunnel_service_runs(state, context)) return std::nullopt;
  const auto output = run_wg_show(context, L"transfer");
  if (!output) return std::nullopt;
  return parse_wireguard_transfer(*output);
}

}  // namespace morvex
