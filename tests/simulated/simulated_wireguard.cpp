// Simulated WireGuard manager, for tests only.
//   /installtunnelservice PATH   installs and starts the service
//                                "WireGuardTunnel$<file name without .conf>", whose
//                                command line carries PATH, then exits 0
//   /uninstalltunnelservice NAME stops and deletes "WireGuardTunnel$NAME",
//                                then waits up to 10 s for it to go (it goes
//                                only once no handle to it is open; exit 5
//                                when it does not)
//   /tunnelservice PATH          the tunnel service body: runs until stopped
// Scenario keys: install = ok | fail | slow (sleeps 30 s); uninstall = ok | fail.
#include <windows.h>

#include <string>

#include "scenario.hpp"

namespace {

const std::wstring prefix = L"WireGuardTunnel$";

std::wstring tunnel_of(const std::wstring& path) {
  std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  if (name.size() > 5 && name.ends_with(L".conf")) name.resize(name.size() - 5);
  return name;
}

// Waits (bounded) until the service reaches `state`.
bool wait_for_state(SC_HANDLE service, DWORD state) {
  for (int i = 0; i < 200; ++i) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == state) return true;
    Sleep(25);
  }
  return false;
}

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
  SC_HANDLE service =
      CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  int result = 3;
  if (service != nullptr) {
    result = StartServiceW(service, 0, nullptr) && wait_for_state(service, SERVICE_RUNNING) ? 0 : 4;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}

// Waits (bounded) until the deleted service has left the manager's database.
bool wait_until_gone(SC_HANDLE manager, const std::wstring& name) {
  for (int i = 0; i < 400; ++i) {
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
    if (service == nullptr) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    CloseServiceHandle(service);
    Sleep(25);
  }
  return false;
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
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      wait_for_state(service, SERVICE_STOPPED);
    }
    result = DeleteService(service) ? 0 : 4;
    CloseServiceHandle(service);
  }
  if (result == 0 && !wait_until_gone(manager, name)) result = 5;
  CloseServiceHandle(manager);
  return result;
}

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;
std::wstring service_name;

void report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
  if (code == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING);
    SetEvent(stop_event);
  }
  return NO_ERROR;
}

void WINAPI service_main(DWORD, wchar_t**) {
  status_handle = RegisterServiceCtrlHandlerExW(service_name.c_str(), control, nullptr);
  if (status_handle == nullptr) return;
  report(SERVICE_RUNNING);
  WaitForSingleObject(stop_event, INFINITE);
  report(SERVICE_STOPPED);
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
