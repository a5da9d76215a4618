// Simulated PowerShell, for tests only: stands in for the verification run.
//   -NoLogo -NoProfile -NonInteractive -Command SCRIPT
// Checks that it is given the verification script and one JSON input on
// standard input ({"adapter": one of the two adapter names, "dns": [strings]}),
// records the input in "powershell-runs.txt", then acts by the scenario:
//   powershell=ok (default): prints {"source":S,"destination":"1.1.1.1"} with
//     S from powershell_source (default 10.64.0.2);
//   powershell=fail: the script's failure line on standard error, exit 1;
//   powershell=garbage: prints text that is not JSON;
//   powershell=hang: never ends.
// When powershell_expect_dns is set (comma list), a different "dns" fails.
#include <windows.h>

#include <nlohmann/json.hpp>
#include <string>

#include "scenario.hpp"

namespace {

std::string read_standard_input() {
  std::string input;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) &&
         got > 0) {
    input.append(buffer, got);
  }
  return input;
}

int refuse() {
  static constexpr char line[] = "VPN routes or DNS could not be verified.\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, sizeof(line) - 1, &written, nullptr);
  return 1;
}

bool input_is_valid(const nlohmann::json& input) {
  if (!input.is_object() || input.size() != 2) return false;
  const auto adapter = input.find("adapter");
  const auto dns = input.find("dns");
  if (adapter == input.end() || dns == input.end() || !adapter->is_string() || !dns->is_array()) {
    return false;
  }
  if (*adapter != "MorvexVPN" && *adapter != "MorvexOpenVPN") return false;
  for (const auto& server : *dns) {
    if (!server.is_string()) return false;
  }
  return true;
}

std::string dns_list(const nlohmann::json& input) {
  std::string list;
  for (const auto& server : input["dns"]) {
    if (!list.empty()) list += ',';
    list += server.get<std::string>();
  }
  return list;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6 || std::wstring(argv[1]) != L"-NoLogo" || std::wstring(argv[2]) != L"-NoProfile" ||
      std::wstring(argv[3]) != L"-NonInteractive" || std::wstring(argv[4]) != L"-Command" ||
      std::wstring(argv[5]).find(L"function Invoke-Verification") == std::wstring::npos) {
    return 2;
  }
  const std::string text = read_standard_input();
  const auto input = nlohmann::json::parse(text, nullptr, false);
  simulated::record(L"powershell-runs.txt", std::wstring(text.begin(), text.end()));
  if (!input_is_valid(input)) return refuse();

  const auto scenario = simulated::read_scenario();
  const std::string mode = simulated::setting(scenario, "powershell", "ok");
  const auto expected_dns = scenario.find("powershell_expect_dns");
  if (expected_dns != scenario.end() && expected_dns->second != dns_list(input)) return refuse();
  if (mode == "fail") return refuse();
  if (mode == "hang") Sleep(INFINITE);
  if (mode == "garbage") {
    simulated::print("WARNING: not JSON\n");
    return 0;
  }
  simulated::print(R"({"source":")" +
                   simulated::setting(scenario, "powershell_source", "10.64.0.2") +
                   R"(","destination":"1.1.1.1"})");
  return 0;
}
