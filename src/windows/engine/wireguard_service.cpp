#include "windows/engine/wireguard_service.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "win32/service_handle.hpp"
#include "win32/service_manager_lock.hpp"
#include "windows/engine/command_line_split.hpp"
#include "windows/engine/portable/tunnel_path.hpp"
#include "windows/engine/wide_text.hpp"

namespace morvex {
namespace {

constexpr DWORD service_config_bytes = 8192;
constexpr auto poll_interval = std::chrono::milliseconds(50);

std::wstring service_name(const EngineContext& context) {
  return L"WireGuardTunnel$" + context.tunnel_name;
}

// The tunnel service opened with `access` (which must hold
// SERVICE_QUERY_CONFIG), and whose it is; no handle when there is none.
struct OpenedTunnelService {
  TunnelServiceOwner owner = TunnelServiceOwner::none;
  UniqueServiceHandle manager;
  UniqueServiceHandle service;
};

Result<OpenedTunnelService> open_tunnel_service(const TunnelState& state,
                                                const EngineContext& context, DWORD access) {
  OpenedTunnelService opened;
  opened.manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!opened.manager) return fail("Cannot contact Windows Services.");
  opened.service.reset(OpenServiceW(opened.manager.get(), service_name(context).c_str(), access));
  if (!opened.service) {
    if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return opened;
    return fail("Cannot inspect the WireGuard service.");
  }

  alignas(QUERY_SERVICE_CONFIGW) unsigned char buffer[service_config_bytes];
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  DWORD needed = 0;
  if (!QueryServiceConfigW(opened.service.get(), config, sizeof(buffer), &needed)) {
    return fail("Cannot verify WireGuard ownership.");
  }
  const auto command_line =
      engines::utf8_from_wide(config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"");
  if (!command_line) return fail("Cannot inspect VPN service arguments.");
  const auto arguments = split_command_line(*command_line);
  if (!arguments) return std::unexpected(arguments.error());

  const auto ours = engines::utf8_from_wide(
      (state.directory / std::filesystem::path(context.tunnel_name + L".conf")).wstring());
  opened.owner = ours && names_configuration(*arguments, *ours) ? TunnelServiceOwner::ours
                                                                : TunnelServiceOwner::foreign;
  return opened;
}

// One look at the tunnel service, through a handle closed before the next.
struct TunnelServiceLook {
  enum class Kind { gone, marked_for_deletion, present } kind = Kind::gone;
  SERVICE_STATUS status{};
};

// One look, with the manager opened for it alone, under the lock.
Result<TunnelServiceLook> look_once(const std::wstring& name) {
  using Kind = TunnelServiceLook::Kind;
  const std::lock_guard lock(service_manager_calls());
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail("Cannot contact Windows Services.");
  const UniqueServiceHandle service(
      OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  TunnelServiceLook look;
  if (service && QueryServiceStatus(service.get(), &look.status)) {
    look.kind = Kind::present;
    return look;
  }
  // Windows answers both the open and the query of a deleted service that has
  // not gone yet with this error.
  switch (GetLastError()) {
    case ERROR_SERVICE_DOES_NOT_EXIST: return TunnelServiceLook{Kind::gone, {}};
    case ERROR_SERVICE_MARKED_FOR_DELETE: return TunnelServiceLook{Kind::marked_for_deletion, {}};
    default: return fail("Cannot inspect the WireGuard service.");
  }
}

// Looks at the tunnel service every poll interval until `done` accepts a
// look or the deadline passes.
Result<void> await_tunnel_service(const EngineContext& context,
                                  std::chrono::steady_clock::time_point deadline,
                                  const std::function<bool(const TunnelServiceLook&)>& done) {
  const std::wstring name = service_name(context);
  while (true) {
    const auto look = look_once(name);
    if (!look) return std::unexpected(look.error());
    if (done(*look)) return {};
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail("The WireGuard tunnel did not stop in time. Try again.");
    }
    std::this_thread::sleep_for(poll_interval);
  }
}

}  // namespace

Result<FoundTunnelService> find_tunnel_service(const TunnelState& state,
                                               const EngineContext& context, bool with_state) {
  const std::lock_guard lock(service_manager_calls());
  const auto opened = open_tunnel_service(
      state, context, SERVICE_QUERY_CONFIG | (with_state ? SERVICE_QUERY_STATUS : 0));
  if (!opened) return std::unexpected(opened.error());
  FoundTunnelService found{opened->owner};
  if (with_state && opened->service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(opened->service.get(), &status)) {
      return fail("Cannot inspect the WireGuard service.");
    }
    found.current_state = status.dwCurrentState;
  }
  return found;
}

Result<void> make_tunnel_service_demand_start(const TunnelState& state,
                                              const EngineContext& context) {
  const std::lock_guard lock(service_manager_calls());
  const auto opened =
      open_tunnel_service(state, context, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
  if (!opened || opened->owner != TunnelServiceOwner::ours ||
      !ChangeServiceConfigW(opened->service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                            SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr)) {
    return fail("Cannot configure the WireGuard service.");
  }
  return {};
}

Result<bool> await_stoppable_tunnel_service(const EngineContext& context,
                                            std::chrono::steady_clock::time_point deadline) {
  bool present = false;
  const auto awaited = await_tunnel_service(context, deadline, [&](const TunnelServiceLook& look) {
    present = look.kind == TunnelServiceLook::Kind::present;
    if (!present) return true;
    const DWORD state = look.status.dwCurrentState;
    return (look.status.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0 ||
           state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING;
  });
  if (!awaited) return std::unexpected(awaited.error());
  return present;
}

Result<void> await_tunnel_service_removal(const EngineContext& context,
                                          std::chrono::steady_clock::time_point deadline) {
  return await_tunnel_service(context, deadline, [](const TunnelServiceLook& look) {
    return look.kind == TunnelServiceLook::Kind::gone ||
           (look.kind == TunnelServiceLook::Kind::present &&
            look.status.dwCurrentState == SERVICE_STOPPED);
  });
}

bool our_tunnel_service_runs(const TunnelState& state, const EngineContext& context) {
  const auto found = find_tunnel_service(state, context, true);
  return found && found->owner == TunnelServiceOwner::ours &&
         found->current_state == SERVICE_RUNNING;
}

}  // namespace morvex
