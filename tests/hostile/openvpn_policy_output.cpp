// Reads an OpenVPN profile on standard input and writes what the service's
// policy makes of it for the DNS provider named by the one argument: the
// sanitised profile on standard output (exit status 0), or the sentence the
// service would reply on standard error (exit status 1). With --log or --status
// it prints what the service's readers make of an OpenVPN log ("ready" or "not
// ready") or status file (bytes received and sent). Usage errors exit with 2.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "policy/connect_request.hpp"
#include "windows/engine/portable/openvpn_output.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DNS-PROVIDER|--log|--status < FILE\n", argv[0]);
    return 2;
  }
  const std::string text{std::istreambuf_iterator<char>(std::cin),
                         std::istreambuf_iterator<char>()};
  const std::string mode = argv[1];
  if (mode == "--log") std::cout << (morvex::openvpn_log_ready(text) ? "ready\n" : "not ready\n");
  const auto totals = morvex::parse_openvpn_status(text);
  if (mode == "--status" && totals) std::cout << totals->received << ' ' << totals->sent << '\n';
  if (mode == "--log" || mode == "--status") return std::cout.flush() ? 0 : 1;
  const auto sanitised = morvex::validate_profile(text, "openvpn", argv[1]);
  if (!sanitised) {
    std::fprintf(stderr, "%s\n", sanitised.error().message.c_str());
    return 1;
  }
  std::fwrite(sanitised->data(), 1, sanitised->size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
