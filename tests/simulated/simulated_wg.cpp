// Simulated WireGuard query tool, for tests only.
//   show NAME latest-handshakes | transfer
// Fails (exit 1) unless the service "WireGuardTunnel$NAME" runs; otherwise
// prints the scenario's "latest_handshakes" or "transfer" text (defaults: one
// peer that shook hands now, and one peer with 1024 and 2048 bytes).
#include <windows.h>

#include <string>

#include "scenario.hpp"

namespace {

bool tunnel_runs(const std::wstring& tunnel) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  const std::wstring name = L"WireGuardTunnel$" + tunnel;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const bool running = service != nullptr && QueryServiceStatus(service, &status) &&
                       status.dwCurrentState == SERVICE_RUNNING;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return running;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 || std::wstring(argv[1]) != L"show") return 2;
  if (!tunnel_runs(argv[2])) return 1;
  const auto scenario = simulated::read_scenario();
  const std::wstring what = argv[3];
  const std::string peer = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";
  if (what == L"latest-handshakes") {
    simulated::print(simulated::setting(scenario, "latest_handshakes",
                                        simulated::unescape(peer + "\\t{now}\\n")));
    return 0;
  }
  if (what == L"transfer") {
    simulated::print(simulated::setting(scenario, "transfer", peer + "\t1024\t2048\n"));
    return 0;
  }
  return 2;
}
