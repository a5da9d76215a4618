// Simulated TAP adapter tool, for tests only, as OpenVPN/openvpn
// src/tapctl/main.c shows it. Its adapters are the lines of
// "tapctl-adapters.txt" beside itself, as `list` prints them: identifier, tab,
// name. A create refuses a name that an adapter has in any letter case
// ("Adapter ... already exists (GUID ...).", exit 1), else adds the adapter
// and prints only its identifier.
// Records each run in "tapctl-runs.txt" beside itself. A create prints the
// scenario's "tapctl_output" instead, adding nothing; create and list exit
// with "tapctl_exit" (0); a delete prints nothing, keeps the adapter and exits
// with "tapctl_delete_exit" (0).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "scenario.hpp"

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"delete") {
    simulated::record(L"tapctl-runs.txt", GetCommandLineW());
    return std::stoi(simulated::setting(simulated::read_scenario(), "tapctl_delete_exit", "0"));
  }
  simulated::record(L"tapctl-runs.txt", GetCommandLineW());
  const auto scenario = simulated::read_scenario();
  const int exit = std::stoi(simulated::setting(scenario, "tapctl_exit", "0"));
  const std::filesystem::path file(simulated::own_directory() + L"\\tapctl-adapters.txt");
  const std::string adapters{
      std::istreambuf_iterator<char>(std::ifstream(file, std::ios::binary).rdbuf()), {}};
  if (argc == 4 && std::wstring(argv[1]) == L"list") return simulated::print(adapters), exit;
  if (argc != 6 || std::wstring(argv[1]) != L"create" || std::wstring(argv[2]) != L"--hwid" ||
      std::wstring(argv[4]) != L"--name") {
    return 2;
  }
  const std::wstring wide = argv[5];
  std::string name(wide.begin(), wide.end()), key = name, all = adapters;
  for (auto* text : {&key, &all})
    std::transform(text->begin(), text->end(), text->begin(), ::tolower);
  if (const auto at = all.find('\t' + key + "\r\n"); at != std::string::npos) {
    std::fprintf(stderr, "Adapter \"%s\" already exists (GUID %s).\n",
                 adapters.substr(at + 1, name.size()).c_str(),
                 adapters.substr(at - 38, 38).c_str());
    return 1;
  }
  if (scenario.contains("tapctl_output"))
    return simulated::print(scenario.at("tapctl_output")), exit;
  const std::string id = "{0123ABCD-89ab-cdef-0123-456789ABCDEF}";
  std::ofstream(file, std::ios::binary | std::ios::app) << id << '\t' << name << "\r\n";
  simulated::print(id + "\r\n");
  return exit;
}
