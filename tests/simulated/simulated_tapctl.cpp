// Simulated TAP adapter tool, for tests only.
//   create --hwid root\tap0901 --name MorvexOpenVPN
//   delete NAME
// Records each run in "tapctl-runs.txt" beside itself. A create prints the
// scenario's "tapctl_output" (default: a fixed identifier, the name and the
// hardware identifier separated by tabs) and exits with "tapctl_exit" (0);
// a delete prints nothing and exits with "tapctl_delete_exit" (0).
#include <windows.h>

#include <string>

#include "scenario.hpp"

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"delete") {
    simulated::record(L"tapctl-runs.txt", GetCommandLineW());
    return std::stoi(simulated::setting(simulated::read_scenario(), "tapctl_delete_exit", "0"));
  }
  if (argc != 6 || std::wstring(argv[1]) != L"create" || std::wstring(argv[2]) != L"--hwid" ||
      std::wstring(argv[4]) != L"--name") {
    return 2;
  }
  simulated::record(L"tapctl-runs.txt", GetCommandLineW());
  const auto scenario = simulated::read_scenario();
  simulated::print(simulated::setting(
      scenario, "tapctl_output",
      "{0123ABCD-89ab-cdef-0123-456789ABCDEF}\tMorvexOpenVPN\troot\\tap0901\r\n"));
  return std::stoi(simulated::setting(scenario, "tapctl_exit", "0"));
}
