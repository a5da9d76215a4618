// Simulated TAP adapter tool, for tests only, as OpenVPN/openvpn
// src/tapctl/main.c shows it at v2.7.6 (the same at v2.7.0 and on release/2.7).
// Its adapters are the lines of "tapctl-adapters.txt" beside itself, as `list`
// prints them (command_list): identifier, tab, name, tab, hardware identifier,
// CRLF (fwprintf "%ls\t%ls\t%ls\n" in text mode); they all carry the one
// hardware identifier that `list --hwid` asks for. A create (command_create)
// refuses a name that an adapter has in any letter case ("Adapter ... already
// exists (GUID ...).", exit 1), else adds the adapter and prints its line.
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
  if (const auto at = all.find('\t' + key + '\t'); at != std::string::npos) {
    std::fprintf(stderr, "Adapter \"%s\" already exists (GUID %s).\n",
                 adapters.substr(at + 1, name.size()).c_str(),
                 adapters.substr(at - 38, 38).c_str());
    return 1;
  }
  if (scenario.contains("tapctl_output"))
    return simulated::print(scenario.at("tapctl_output")), exit;
  const std::wstring hwid = argv[3];
  const std::string line = "{0123ABCD-89AB-CDEF-0123-456789ABCDEF}\t" + name + '\t' +
                           std::string(hwid.begin(), hwid.end()) + "\r\n";
  std::ofstream(file, std::ios::binary | std::ios::app) << line;
  simulated::print(line);
  return exit;
}
