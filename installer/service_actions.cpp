// Two steps that the installer package runs on the service MorvexVPN and
// that Windows Installer has no table for. The program is carried inside the
// package, never installed, and runs as LocalSystem.
//   service_actions stop        asks the service to stop and waits, at most
//                               60 s, until its process has ended: run before
//                               the service's files are removed or replaced,
//                               so the tunnel is down and no file is in use
//   service_actions quote-path  registers the service's program path again in
//                               quotes: Windows Installer writes it bare, and
//                               with the spaces of "Program Files" the service
//                               manager would try C:\Program.exe first
// Exit status: 0 done (or no such service to stop), 1 the process still runs
// after 60 s, 2 the service cannot be queried or changed, 3 usage.
#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "win32/service_handle.hpp"
#include "win32/unique_handle.hpp"

namespace {

using namespace std::chrono_literals;

constexpr wchar_t service_name[] = L"MorvexVPN";
constexpr auto stop_timeout = 60s;

morvex::UniqueServiceHandle open_service(SC_HANDLE manager, DWORD access) {
  return morvex::UniqueServiceHandle(OpenServiceW(manager, service_name, access));
}

bool query_status(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed) != FALSE;
}

int stop(SC_HANDLE manager) {
  const auto service = open_service(manager, SERVICE_QUERY_STATUS | SERVICE_STOP);
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : 2;
  SERVICE_STATUS_PROCESS status{};
  if (!query_status(service.get(), status)) return 2;
  if (status.dwCurrentState == SERVICE_STOPPED || status.dwProcessId == 0) return 0;

  // The process handle is taken while the service still runs in it, so the
  // wait is on that process and not on a later one with the same id.
  const morvex::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  SERVICE_STATUS ignored{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);  // may be stopping already
  if (process) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(stop_timeout);
    return WaitForSingleObject(process.get(), static_cast<DWORD>(wait.count())) == WAIT_OBJECT_0
               ? 0
               : 1;
  }
  // No handle on the process: wait for the state the manager reports instead.
  const auto deadline = std::chrono::steady_clock::now() + stop_timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!query_status(service.get(), status)) return 2;
    if (status.dwCurrentState == SERVICE_STOPPED) return 0;
    std::this_thread::sleep_for(100ms);
  }
  return 1;
}

int quote_path(SC_HANDLE manager) {
  const auto service = open_service(manager, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
  if (!service) return 2;
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<std::byte> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed) ||
      config->lpBinaryPathName == nullptr || config->lpBinaryPathName[0] == L'\0') {
    return 2;
  }
  const std::wstring path = config->lpBinaryPathName;
  if (path.front() == L'"') return 0;  // quoted already
  const std::wstring quoted = L'"' + path + L'"';
  return ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              SERVICE_NO_CHANGE, quoted.c_str(), nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr)
             ? 0
             : 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring action = argc == 2 ? argv[1] : L"";
  if (action != L"stop" && action != L"quote-path") return 3;
  const morvex::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 2;
  return action == L"stop" ? stop(manager.get()) : quote_path(manager.get());
}
