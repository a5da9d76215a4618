#include "windows/engine/wireguard_service.hpp"

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "windows/engine/command_line_split.hpp"
#include "windows/engine/portable/tunnel_path.hpp"
#include "windows/engine/wide_text.hpp"
#include "windows/service_handle.hpp"

namespace morvex {
namespace {

constexpr DWORD service_config_bytes = 8192;
constexpr auto removal_poll_interval = std::chrono::milliseconds(50);

}  // namespace

Result<FoundTunnelService> find_tunnel_service(const TunnelState& state,
                                               const EngineContext& context, bool with_state) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail("Cannot contact Windows Services.");
  const std::wstring service_name = L"WireGuardTunnel$" + context.tunnel_name;
  const DWORD access = SERVICE_QUERY_CONFIG | (with_state ? SERVICE_QUERY_STATUS : 0);
  const UniqueServiceHandle service(OpenServiceW(manager.get(), service_name.c_str(), access));
  if (!service) {
    if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return FoundTunnelService{};
    return fail("Cannot inspect the WireGuard service.");
  }

  alignas(QUERY_SERVICE_CONFIGW) unsigned char buffer[service_config_bytes];
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  DWORD needed = 0;
  if (!QueryServiceConfigW(service.get(), config, sizeof(buffer), &needed)) {
    return fail("Cannot verify WireGuard ownership.");
  }
  const auto command_line =
      engines::utf8_from_wide(config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"");
  if (!command_line) return fail("Cannot inspect VPN service arguments.");
  const auto arguments = split_command_line(*command_line);
  if (!arguments) return std::unexpected(arguments.error());

  FoundTunnelService found;
  const auto ours = engines::utf8_from_wide(
      (state.directory / std::filesystem::path(context.tunnel_name + L".conf")).wstring());
  found.owner = ours && names_configuration(*arguments, *ours) ? TunnelServiceOwner::ours
                                                               : TunnelServiceOwner::foreign;
  if (with_state) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
      return fail("Cannot inspect the WireGuard service.");
    }
    found.current_state = status.dwCurrentState;
  }
  return found;
}

Result<void> await_tunnel_service_removal(const EngineContext& context) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail("Cannot contact Windows Services.");
  const std::wstring service_name = L"WireGuardTunnel$" + context.tunnel_name;
  const auto deadline = std::chrono::steady_clock::now() + context.tunnel_removal_wait;
  while (true) {
    // The look's handle is closed before the next step.
    const DWORD error = [&] {
      const UniqueServiceHandle service(
          OpenServiceW(manager.get(), service_name.c_str(), SERVICE_QUERY_STATUS));
      return service ? ERROR_SUCCESS : GetLastError();
    }();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return {};
    if (error != ERROR_SUCCESS && error != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return fail("Cannot inspect the WireGuard service.");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail("The WireGuard tunnel did not stop in time. Try again.");
    }
    std::this_thread::sleep_for(removal_poll_interval);
  }
}

bool our_tunnel_service_runs(const TunnelState& state, const EngineContext& context) {
  const auto found = find_tunnel_service(state, context, true);
  return found && found->owner == TunnelServiceOwner::ours &&
         found->current_state == SERVICE_RUNNING;
}

}  // namespace morvex
