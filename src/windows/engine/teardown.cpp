#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "windows/engine/engine_locations.hpp"
#include "windows/engine/private_files.hpp"
#include "windows/engine/tunnel_state.hpp"
#include "windows/engine/wireguard_service.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;

constexpr auto exit_poll_interval = 50ms;
// After TerminateProcess the process ends promptly; the wait for it is
// bounded all the same.
constexpr DWORD terminate_wait_ms = 5000;

enum class Exit { exited, running, unknown };

Exit poll_exit(HANDLE process) {
  switch (WaitForSingleObject(process, 0)) {
    case WAIT_OBJECT_0: return Exit::exited;
    case WAIT_TIMEOUT: return Exit::running;
    default: return Exit::unknown;
  }
}

// Lets OpenVPN leave on its own for the configured wait, then ends it.
Result<void> stop_openvpn(HANDLE process, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (true) {
    const Exit exit = poll_exit(process);
    if (exit == Exit::unknown) return fail("Cannot check OpenVPN shutdown.");
    if (exit == Exit::exited) return {};
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(exit_poll_interval);
  }
  const Exit exit = poll_exit(process);
  if (exit == Exit::unknown) return fail("Cannot check OpenVPN shutdown.");
  if (exit == Exit::exited) return {};
  // A process that leaves between the last poll and the termination makes
  // TerminateProcess fail although nothing is left to stop.
  if (!TerminateProcess(process, 1) && poll_exit(process) != Exit::exited) {
    return fail("OpenVPN could not stop.");
  }
  if (WaitForSingleObject(process, terminate_wait_ms) != WAIT_OBJECT_0) {
    return fail("OpenVPN shutdown could not be confirmed.");
  }
  return {};
}

// Removes the WireGuard tunnel service when it provably runs our
// configuration file; a tunnel service of another program is left alone.
// A tunnel that is still starting is waited for until it can take the
// uninstall's stop, the uninstall runs, and the teardown waits until the
// tunnel is down: the manager returns while it still stops, and the next
// install refuses a tunnel service of the same name until it is gone. Our
// handles are closed before the manager program runs. The three share one
// deadline; the first may take two thirds of it, so that the uninstall always
// has time.
Result<void> remove_wireguard_tunnel(const TunnelState& state, const EngineContext& context) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + context.tunnel_removal_wait;
  const auto found = find_tunnel_service(state, context, false);
  if (!found) return std::unexpected(found.error());
  if (found->owner == TunnelServiceOwner::none) return {};
  if (found->owner == TunnelServiceOwner::foreign) {
    return fail("A different VPN owns the Morvex adapter name. Close it before connecting.");
  }

  const auto stoppable =
      await_stoppable_tunnel_service(context, start + context.tunnel_removal_wait * 2 / 3);
  if (!stoppable) return std::unexpected(stoppable.error());
  if (*stoppable) {
    auto command = engine_command(context.program_path(wireguard_manager_program));
    command.arguments = {L"/uninstalltunnelservice", context.tunnel_name};
    const auto left =
        std::max(std::chrono::nanoseconds(deadline - std::chrono::steady_clock::now()),
                 std::chrono::nanoseconds(0));
    const auto run = context.runner.run(command, std::nullopt, left);
    if (!run) return std::unexpected(run.error());
  }
  return await_tunnel_service_removal(context, deadline);
}

Result<void> delete_private_files(const TunnelState& state, const EngineContext& context) {
  const std::wstring names[] = {context.tunnel_name + L".conf", std::wstring(openvpn_config_file),
                                std::wstring(openvpn_auth_file), std::wstring(openvpn_log_file),
                                std::wstring(openvpn_status_file)};
  for (const auto& name : names) {
    const auto path = state.directory / std::filesystem::path(name);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    if (!DeleteFileW(path.c_str())) return fail("Cannot clear private VPN files.");
  }
  return {};
}

void forget_kept_checks(TunnelState& state) {
  state.route_checked_at.reset();
  state.source_address.reset();
  state.internet_checked_at.reset();
  state.public_address.reset();
}

}  // namespace

Result<void> teardown_tunnel(TunnelState& state, const EngineContext& context) {
  // What the checks saw belongs to engines that are being stopped now; a
  // status after a teardown that fails part-way must not reuse it.
  forget_kept_checks(state);
  if (state.openvpn_exit_event) SetEvent(state.openvpn_exit_event.get());

  if (state.openvpn_process) {
    const auto stopped = stop_openvpn(state.openvpn_process.get(), context.openvpn_exit_wait);
    if (!stopped) return stopped;
  }
  state.openvpn_process.reset();
  state.openvpn_thread.reset();
  state.openvpn_exit_event.reset();
  state.openvpn_job.reset();

  if (const auto removed = remove_wireguard_tunnel(state, context); !removed) return removed;
  state.engines_stopped = true;
  if (const auto deleted = delete_private_files(state, context); !deleted) return deleted;

  state.active_profile.reset();
  state.connected_at.reset();
  state.engines_stopped = false;
  return {};
}

}  // namespace morvex
