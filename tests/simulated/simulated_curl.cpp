// Simulated curl, for tests only: stands in for the trace request. Checks its
// arguments against the exact trace invocation, records the source address in
// "curl-runs.txt", then acts by the scenario:
//   curl=ok (default): prints a trace body whose ip= line holds curl_ip
//     (default 203.0.113.7);
//   curl=fail: exit 22, as a failed HTTPS request;
//   curl=no-ip: a body without an ip= line;
//   curl=hang: never ends.
#include <windows.h>

#include <string>
#include <vector>

#include "scenario.hpp"

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> expected = {L"--disable",
                                              L"--interface",
                                              L"",
                                              L"--ipv4",
                                              L"--noproxy",
                                              L"*",
                                              L"--resolve",
                                              L"one.one.one.one:443:1.1.1.1",
                                              L"--fail",
                                              L"--silent",
                                              L"--proto",
                                              L"=https",
                                              L"--connect-timeout",
                                              L"3",
                                              L"--max-time",
                                              L"5",
                                              L"https://one.one.one.one/cdn-cgi/trace"};
  if (argc != static_cast<int>(expected.size()) + 1) return 2;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (i != 2 && expected[i] != argv[i + 1]) return 2;
  }
  const std::wstring source = argv[3];
  simulated::record(L"curl-runs.txt", source);
  if (source.empty()) return 2;

  const auto scenario = simulated::read_scenario();
  const std::string mode = simulated::setting(scenario, "curl", "ok");
  if (mode == "fail") return 22;
  if (mode == "hang") Sleep(INFINITE);
  const std::string ip = simulated::setting(scenario, "curl_ip", "203.0.113.7");
  simulated::print("fl=1\nh=one.one.one.one\n" +
                   (mode == "no-ip" ? std::string() : "ip=" + ip + "\n") +
                   "ts=1700000000.0\nvisit_scheme=https\nhttp=http/2\ntls=TLSv1.3\n");
  return 0;
}
