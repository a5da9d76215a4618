// Measures, under Wine with the simulated engines, how long a WireGuard
// connect takes from the moment its tunnel is ready (the install run has
// returned and the tunnel service runs) to the connect's result, against one
// poll interval plus the readiness query, the verification script and the
// trace request run times measured during the same connect.
//   connect_latency [CONNECTS]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "../tests/engines/engine_test_support.hpp"
#include "client/reply_reader.hpp"
#include "client/requests.hpp"
#include "dispatch/dispatcher.hpp"
#include "policy/connect_request.hpp"
#include "windows/engine/vpn_engine.hpp"

namespace morvex {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Times every run, by program.
class TimingRunner final : public CommandRunner {
 public:
  Result<std::string> run(const EngineCommand& command, const std::optional<std::string>& input,
                          std::chrono::nanoseconds timeout) override {
    const auto start = Clock::now();
    auto result = inner_.run(command, input, timeout);
    const auto end = Clock::now();
    const auto name = command.program.substr(command.program.find_last_of(L"\\/") + 1);
    if (name == L"wireguard.exe" && !command.arguments.empty() &&
        command.arguments[0] == L"/installtunnelservice") {
      installed_at = end;
    } else if (name == L"wg.exe") {
      readiness += end - start;
    } else if (name == L"powershell.exe") {
      script += end - start;
    } else if (name == L"curl.exe") {
      trace += end - start;
    }
    return result;
  }
  void reset() {
    installed_at = {};
    readiness = script = trace = {};
  }

  Clock::time_point installed_at;
  Clock::duration readiness{}, script{}, trace{};

 private:
  BoundedRunner inner_;
};

double milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int run(int connects) {
  testing::TempFolder programs, system, runtime;
  testing::install_simulated(L"wireguard", programs.path(), L"WireGuard\\wireguard.exe");
  testing::install_simulated(L"wg", programs.path(), L"WireGuard\\wg.exe");
  testing::install_simulated(L"powershell", system.path(),
                             L"WindowsPowerShell\\v1.0\\powershell.exe");
  testing::install_simulated(L"curl", system.path(), L"curl.exe");

  TimingRunner runner;
  EngineContext context = testing::test_context(runner, programs.path());
  context.tunnel_name = L"MorvexVPN";
  context.unix_seconds = system_unix_seconds;
  SystemConnectClock clock;
  VpnEngine engine(
      context,
      VpnEngineParts{
          .system_tool =
              [&](std::wstring_view relative) {
                return (system.path() / std::filesystem::path(std::wstring(relative))).wstring();
              },
          .check_openvpn_version = [] { return Result<void>(); },
          .query_capabilities = [] { return EngineCapabilities{}; },
          .validate_connect_request =
              [](Profile profile) { return validate_connect_request(std::move(profile)); },
      },
      clock);
  Dispatcher dispatcher(engine);
  TunnelState state(runtime.path());
  dispatcher.cell().fill(state);

  // The app's own request and reply reading, with the dispatcher in place of
  // the pipe.
  const auto request = client::connect_request(
      Profile{7, "Oslo", "wireguard",
              "[Interface]\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\n"
              "Address = 10.64.0.2/32\n[Peer]\n"
              "PublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n"
              "AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 198.51.100.7:51820\n",
              "quad9", "", "", ""});
  if (!request) return 1;

  std::vector<double> latencies, baselines, ratios;
  for (int i = 0; i < connects; ++i) {
    runner.reset();
    const std::string reply = dispatcher.handle_request(*request);
    const auto replied = Clock::now();
    const auto status = client::read_connect_reply(reply);
    if (!status || status->state != client::State::connected) {
      std::printf("connect %d did not verify: %s\n", i, reply.c_str());
      return 1;
    }
    const double latency = milliseconds(replied - runner.installed_at);
    const double baseline = 300.0 + milliseconds(runner.readiness) + milliseconds(runner.script) +
                            milliseconds(runner.trace);
    latencies.push_back(latency);
    baselines.push_back(baseline);
    ratios.push_back(latency / baseline);
    dispatcher.handle_request(client::disconnect_request());
  }
  std::printf("connects: %d\n", connects);
  std::printf("ready to reply, median:                         %8.1f ms\n", median(latencies));
  std::printf("poll interval + query + script + trace, median: %8.1f ms\n", median(baselines));
  std::printf("ratio, median (target <= 1.5):                  %8.2f\n", median(ratios));
  return 0;
}

}  // namespace
}  // namespace morvex

int wmain(int argc, wchar_t** argv) { return morvex::run(argc > 1 ? _wtoi(argv[1]) : 9); }
