// Simulated TAP adapter tool, for tests only, as OpenVPN/openvpn
// src/tapctl/main.c shows it at tag v2.7.6 (the same at v2.7.0 and on
// release/2.7). Its adapters are the lines of "tapctl-adapters.txt" beside
// itself, as `list` prints them: identifier, tab, name, tab, hardware
// identifier, CRLF (fwprintf(stdout, L"%ls\t%ls\t%ls\n", ...) in text mode).
//   create --hwid H --name N   command_create: makes the adapter, then refuses
//                              a name that an adapter has in any letter case
//                              (find_adapter_by_name, _wcsicmp): "Adapter ...
//                              already exists (GUID ...)." on standard error,
//                              the new adapter deleted again, exit 1; else
//                              prints the new adapter's line with H as given
//   list --hwid H              command_list: the adapters whose hardware
//                              identifier is H in any letter case (wcszistr)
//   delete ID                  prints nothing, keeps the adapter, exits with
//                              "tapctl_delete_exit" (0)
// Records each run in "tapctl-runs.txt" beside itself. A create prints the
// scenario's "tapctl_output" instead, adding nothing; create and list exit
// with "tapctl_exit" (0).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

#include "scenario.hpp"

namespace {

std::string narrow(const std::wstring& wide) { return std::string(wide.begin(), wide.end()); }

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

// The field of an adapter line at `index` (0: identifier, 1: name, 2: hwid).
std::string field(const std::string& line, int index) {
  std::stringstream fields(line.substr(0, line.find('\r')));
  std::string value;
  for (int i = 0; i <= index; ++i) std::getline(fields, value, '\t');
  return value;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  simulated::record(L"tapctl-runs.txt", GetCommandLineW());
  const auto scenario = simulated::read_scenario();
  if (argc == 3 && std::wstring(argv[1]) == L"delete") {
    return std::stoi(simulated::setting(scenario, "tapctl_delete_exit", "0"));
  }
  const int exit = std::stoi(simulated::setting(scenario, "tapctl_exit", "0"));
  const std::filesystem::path file(simulated::own_directory() + L"\\tapctl-adapters.txt");
  std::ifstream stored(file, std::ios::binary);
  std::string line, listed;
  if (argc == 4 && std::wstring(argv[1]) == L"list" && std::wstring(argv[2]) == L"--hwid") {
    while (std::getline(stored, line)) {
      if (lower(field(line, 2)) == lower(narrow(argv[3]))) listed += line + "\n";
    }
    return simulated::print(listed), exit;
  }
  if (argc != 6 || std::wstring(argv[1]) != L"create" || std::wstring(argv[2]) != L"--hwid" ||
      std::wstring(argv[4]) != L"--name") {
    return 2;
  }
  const std::string hwid = narrow(argv[3]), name = narrow(argv[5]);
  while (std::getline(stored, line)) {
    if (lower(field(line, 1)) != lower(name)) continue;
    std::fprintf(stderr, "Adapter \"%s\" already exists (GUID %s).\n", field(line, 1).c_str(),
                 field(line, 0).c_str());
    return 1;
  }
  if (scenario.contains("tapctl_output")) {
    return simulated::print(scenario.at("tapctl_output")), exit;
  }
  const std::string created =
      "{0123ABCD-89AB-CDEF-0123-456789ABCDEF}\t" + name + "\t" + hwid + "\r\n";
  stored.close();
  std::ofstream(file, std::ios::binary | std::ios::app) << created;
  simulated::print(created);
  return exit;
}
