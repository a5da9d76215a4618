// Run by the installer package before it deletes or replaces the service's
// files: asks the service MorvexVPN to stop and waits, at most 60 s, until
// its process has ended. The service tears its tunnel down while it stops,
// and once its process is gone no file of the installation is in use. It is
// carried inside the package, never installed.
// Exit status: 0 nothing runs any more (or there is no such service),
// 1 the process still runs after 60 s, 2 the service cannot be queried.
#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <thread>

#include "windows/service_handle.hpp"
#include "windows/unique_handle.hpp"

namespace {

using namespace std::chrono_literals;

constexpr wchar_t service_name[] = L"MorvexVPN";
constexpr auto stop_timeout = 60s;

}  // namespace

int wmain() {
  const morvex::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 2;
  const morvex::UniqueServiceHandle service(
      OpenServiceW(manager.get(), service_name, SERVICE_QUERY_STATUS | SERVICE_STOP));
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : 2;

  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return 2;
  }
  if (status.dwCurrentState == SERVICE_STOPPED || status.dwProcessId == 0) return 0;

  // The process handle is taken while the service still runs in it, so the
  // wait below is on that process and not on a later one with the same id.
  const morvex::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  SERVICE_STATUS ignored{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);  // may already be stopping
  if (!process) {
    // Cannot wait on the process: fall back to the state the manager reports.
    const auto deadline = std::chrono::steady_clock::now() + stop_timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
        return 2;
      }
      if (status.dwCurrentState == SERVICE_STOPPED) return 0;
      std::this_thread::sleep_for(100ms);
    }
    return 1;
  }
  const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(stop_timeout).count();
  return WaitForSingleObject(process.get(), static_cast<DWORD>(wait_ms)) == WAIT_OBJECT_0 ? 0 : 1;
}
