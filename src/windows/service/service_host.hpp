#pragma once

#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "common/failure.hpp"
#include "dispatch/dispatcher.hpp"
#include "windows/engine/tunnel_state.hpp"

namespace morvex {

inline constexpr std::wstring_view service_name = L"MorvexVPN";
inline constexpr DWORD service_wait_hint_ms = 15000;

// A status report with the service's fixed fields: its own process, stop and
// shutdown accepted, no exit code, a wait hint of 15 s.
SERVICE_STATUS service_status(DWORD current_state, DWORD check_point = 0);

// The steps of the service's life, given as calls so that the sequence can
// run against stand-ins.
struct ServiceLifecycle {
  // Makes one status report (SERVICE_START_PENDING, ...) with its check
  // point; failures ignored.
  std::function<void(DWORD current_state, DWORD check_point)> report;
  // While storage is prepared and while the stop waits for the lock and tears
  // the tunnel down (each may take the teardown's 10 s for OpenVPN and 15 s
  // for WireGuard, and the stop first waits for a running request), the
  // pending state is reported again at this interval with a growing check
  // point, so that the service manager sees progress within the wait hint.
  std::chrono::milliseconds progress_interval{2000};
  std::function<Result<std::unique_ptr<TunnelState>>()> prepare_storage;
  // The accept loop; blocks until the stop. It fails only when it cannot set
  // itself up, before any request is served: a pipe name taken by another
  // program does not end it, so no local program can stop the service and
  // take the user's tunnel down that way.
  std::function<Result<void>()> run_pipe_server;
  std::function<Result<void>(TunnelState&)> teardown;
};

// Everything the service main does once its control handler is registered:
// start pending, storage, running, the accept loop, then the stop sequence
// with one last teardown under the tunnel-state lock. The record goes into
// the dispatcher's cell and stays there for the life of the process.
void run_service(Dispatcher& dispatcher, const ServiceLifecycle& lifecycle);

// The control handler's decision. Stop and shutdown mark the stop in the
// dispatcher and queue the wake-up on the thread pool; interrogate is
// answered; everything else is not implemented (120).
DWORD handle_service_control(DWORD control, Dispatcher& dispatcher,
                             const std::function<void()>& wake_up);

}  // namespace morvex
