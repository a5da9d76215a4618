// Process entry of the VPN service.
#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <string>

#include "command/runner.hpp"
#include "dispatch/connect_engine.hpp"
#include "dispatch/dispatcher.hpp"
#include "policy/connect_request.hpp"
#include "win32/service_manager_lock.hpp"
#include "windows/engine/engine_checks.hpp"
#include "windows/engine/engine_context.hpp"
#include "windows/engine/engine_locations.hpp"
#include "windows/engine/tunnel_state.hpp"
#include "windows/engine/vpn_engine.hpp"
#include "windows/pipe/pipe_server.hpp"
#include "windows/service/process_mitigations.hpp"
#include "windows/service/service_host.hpp"
#include "windows/service/storage.hpp"

namespace morvex {
namespace {

// The process-wide state: the engines with their runner and clocks, and the
// dispatcher that owns the stop flag, the attempt counter and the
// tunnel-state cell.
BoundedRunner runner;
EngineContext engine_context = default_engine_context(runner);
SystemConnectClock connect_clock;
VpnEngine engine(engine_context,
                 VpnEngineParts{
                     .system_tool = system_tool_path,
                     .check_openvpn_version = [] { return check_openvpn_version(runner); },
                     .query_capabilities = [] { return query_capabilities(runner); },
                     .validate_connect_request =
                         [](Profile profile) {
                           return validate_connect_request(std::move(profile));
                         },
                 },
                 connect_clock);
Dispatcher dispatcher(engine);

Result<void> teardown(TunnelState& state) { return teardown_tunnel(state, engine_context); }

std::atomic<bool> pipe_server_running{false};
SERVICE_STATUS_HANDLE status_handle = nullptr;

DWORD WINAPI service_control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
  return handle_service_control(control, dispatcher,
                                [] { wake_pipe_server(service_pipe_name, pipe_server_running); });
}

// Once the manager knows the service stopped, the process ends at once.
// Connection and wake-up threads may still be running and use the globals
// above; returning would run the globals' destructors under them, and
// ExitProcess would still call the libraries' detach code after ending those
// threads wherever they stood, possibly holding a lock that code needs.
// Ending the process skips both; the service has nothing left to write, and
// the kernel closes every handle (a job with OpenVPN in it included).
void report_status(DWORD current_state, DWORD check_point) {
  SERVICE_STATUS status = service_status(current_state, check_point);
  {
    const std::lock_guard lock(service_manager_calls());
    (void)SetServiceStatus(status_handle, &status);
  }
  if (current_state == SERVICE_STOPPED) TerminateProcess(GetCurrentProcess(), 0);
}

void run_service_main() {
  status_handle =
      RegisterServiceCtrlHandlerExW(service_name.data(), service_control_handler, nullptr);
  if (status_handle == nullptr) return;

  ServiceLifecycle lifecycle;
  lifecycle.report = report_status;
  lifecycle.prepare_storage = [] { return prepare_storage(teardown); };
  lifecycle.run_pipe_server = [] {
    PipeServerConfig config;
    config.connection.handle_request = [](std::string_view body) {
      return dispatcher.handle_request(body);
    };
    return run_pipe_server(
        config, [] { return dispatcher.stopping(); }, pipe_server_running);
  };
  lifecycle.teardown = teardown;
  run_service(dispatcher, lifecycle);
}

void WINAPI service_main(DWORD, LPWSTR*) {
  try {
    run_service_main();
  } catch (...) {
    // Out of memory somewhere in the sequence: end as a stopped service
    // rather than take the process down from inside the manager's call.
    if (status_handle != nullptr) report_status(SERVICE_STOPPED, 0);
  }
}

}  // namespace
}  // namespace morvex

int wmain() {
  // Before anything else: libraries from System32 only (never from the
  // installation folder, the working folder or the PATH), and the process
  // policies that cannot stop a program that loads only Windows' own
  // libraries. The global objects above only set up memory. A setting that
  // this Windows lacks is skipped.
  (void)morvex::apply_process_mitigations(morvex::system_mitigation_calls());

  wchar_t name[] = L"MorvexVPN";
  const SERVICE_TABLE_ENTRYW table[] = {{name, morvex::service_main}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return 0;

  // Only the Service Control Manager may start the service.
  static constexpr char message[] = "Start Morvex VPN through Windows Services.\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, sizeof(message) - 1, &written, nullptr);
  return 1;
}
