// Simulated TAP adapter tool, for tests only, as OpenVPN/openvpn
// src/tapctl/main.c shows it. Its adapters are the lines of
// "tapctl-adapters.txt" beside itself, as `list` prints them: identifier, tab,
// name. A create refuses a name an adapter has in any letter case ("Adapter
// ... already exists (GUID ...).", exit 1), else adds the adapter and prints
// only its identifier; a delete prints nothing. Records each run in
// "tapctl-runs.txt" beside itself. Scenario keys: a create prints
// "tapctl_output" instead, adding nothing; "tapctl_exit" (0) ends a create or
// a list, "tapctl_delete_exit" (0) a delete.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "scenario.hpp"

int wmain(int argc, wchar_t** argv) {
  simulated::record(L"tapctl-runs.txt", GetCommandLineW());
  const auto scenario = simulated::read_scenario();
  if (argc == 3 && std::wstring(argv[1]) == L"delete") {
    return std::stoi(simulated::setting(scenario, "tapctl_delete_exit", "0"));
  }
  const std::filesystem::path file(simulated::own_directory() + L"\\tapctl-adapters.txt");
  const std::string adapters{
      std::istreambuf_iterator<char>(std::ifstream(file, std::ios::binary).rdbuf()), {}};
  const int exit = std::stoi(simulated::setting(scenario, "tapctl_exit", "0"));
  if (argc > 1 && std::wstring(argv[1]) == L"list") return simulated::print(adapters), exit;
  if (argc != 6 || std::wstring(argv[1]) != L"create" || std::wstring(argv[4]) != L"--name") {
    return 2;
  }
  std::string name;
  for (const wchar_t* c = argv[5]; *c != 0; ++c) name += static_cast<char>(*c);
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::tolower);
    return text;
  };
  if (const auto at = lower(adapters).find('\t' + lower(name) + "\r\n"); at != std::string::npos) {
    std::fprintf(stderr, "Adapter \"%s\" already exists (GUID %s).\n",
                 adapters.substr(at + 1, name.size()).c_str(),
                 adapters.substr(at - 38, 38).c_str());
    return 1;
  }
  if (const auto output = scenario.find("tapctl_output"); output != scenario.end()) {
    return simulated::print(output->second), exit;
  }
  const std::string id = "{0123ABCD-89ab-cdef-0123-456789ABCDEF}";
  std::ofstream(file, std::ios::binary | std::ios::app) << id << '\t' << name << "\r\n";
  simulated::print(id + "\r\n");
  return exit;
}
