// Simulated WireGuard manager, for tests only, as WireGuard/wireguard-windows
// shows it at main (manager/install.go, tunnel/service.go; a refusal exits 1:
// main.go).
//   /installtunnelservice PATH   InstallTunnel: installs "WireGuardTunnel$<name>"
//                                to start with Windows, its command line holding
//                                PATH, starts it and exits 0 at once; refuses one
//                                that is not stopped, deletes a stopped one and
//                                waits while it is marked for deletion
//   /uninstalltunnelservice NAME UninstallTunnel: asks it to stop, ignores a
//                                refusal ("uninstall: stop taken" or "refused" in
//                                "wireguard-runs.txt"), deletes it, exits 0 at once
//   /tunnelservice PATH          Execute: start-pending taking no stop for
//                                "tunnel_start_ms", running, then stop-pending for
//                                "tunnel_stop_ms" (both 0)
// Windows keeps a deleted service while it runs or any handle holds it
// (Microsoft, DeleteService); Wine drops it once no handle is open, so the
// tunnel service holds a handle to itself.
// Scenario keys: install = ok | fail | slow (sleeps 30 s); uninstall = ok | fail.
#include <windows.h>

#include <cstdio>
#include <string>

#include "scenario.hpp"

namespace {

const std::wstring prefix = L"WireGuardTunnel$";

std::wstring tunnel_of(const std::wstring& path) {
  std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  if (name.size() > 5 && name.ends_with(L".conf")) name.resize(name.size() - 5);
  return name;
}

bool wait_until_gone(SC_HANDLE manager, const std::wstring& name);

int install(const std::wstring& path) {
  const auto scenario = simulated::read_scenario();
  const auto mode = simulated::setting(scenario, "install", "ok");
  if (mode == "fail") return 1;
  if (mode == "slow") Sleep(30000);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return 2;
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring command = L"\"" + std::wstring(self) + L"\" /tunnelservice \"" + path + L"\"";
  const std::wstring name = prefix + tunnel_of(path);
  if (SC_HANDLE old = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS)) {
    SERVICE_STATUS status{};
    QueryServiceStatus(old, &status);
    const bool stopped = status.dwCurrentState == SERVICE_STOPPED &&
                         (DeleteService(old) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE);
    CloseServiceHandle(old);
    if (!stopped) return std::fputs("Tunnel already installed and running\n", stderr), 1;
    wait_until_gone(manager, name);
  }
  SC_HANDLE service =
      CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  int result = 3;
  if (service != nullptr) {
    result = StartServiceW(service, 0, nullptr) ? 0 : 4;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}

// Waits, without a bound as the manager does, until the deleted service is gone.
bool wait_until_gone(SC_HANDLE manager, const std::wstring& name) {
  while (true) {
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
    if (service == nullptr && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (service != nullptr) CloseServiceHandle(service);
    Sleep(333);
  }
}

int uninstall(const std::wstring& tunnel) {
  const auto scenario = simulated::read_scenario();
  if (simulated::setting(scenario, "uninstall", "ok") == "fail") return 1;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return 2;
  const std::wstring name = prefix + tunnel;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
  int result = 3;
  if (service != nullptr) {
    SERVICE_STATUS status{};
    simulated::record(L"wireguard-runs.txt", ControlService(service, SERVICE_CONTROL_STOP, &status)
                                                 ? L"uninstall: stop taken"
                                                 : L"uninstall: stop refused");
    result = DeleteService(service) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE ? 0 : 4;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;
std::wstring service_name;

void report(DWORD state, DWORD accepted) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = accepted;
  SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
  if (code == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING, 0);
    SetEvent(stop_event);
  }
  return NO_ERROR;
}

void WINAPI service_main(DWORD, wchar_t**) {
  status_handle = RegisterServiceCtrlHandlerExW(service_name.c_str(), control, nullptr);
  if (status_handle == nullptr) return;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE self = OpenServiceW(manager, service_name.c_str(), SERVICE_QUERY_STATUS);
  report(SERVICE_START_PENDING, 0);
  Sleep(std::stoul(simulated::setting(simulated::read_scenario(), "tunnel_start_ms", "0")));
  report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  WaitForSingleObject(stop_event, INFINITE);
  Sleep(std::stoul(simulated::setting(simulated::read_scenario(), "tunnel_stop_ms", "0")));
  report(SERVICE_STOPPED, 0);
  CloseServiceHandle(self);
  CloseServiceHandle(manager);
}

int tunnel_service(const std::wstring& path) {
  service_name = prefix + tunnel_of(path);
  stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW table[] = {{service_name.data(), service_main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring verb = argv[1];
  if (verb == L"/installtunnelservice") return install(argv[2]);
  if (verb == L"/uninstalltunnelservice") return uninstall(argv[2]);
  if (verb == L"/tunnelservice") return tunnel_service(argv[2]);
  return 2;
}
