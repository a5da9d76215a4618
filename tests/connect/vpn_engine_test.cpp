// Connect, status, traffic and disconnect requests through the dispatcher and
// the service's engine, with real outside-program runs against the simulated
// engines, PowerShell and curl.
#include "windows/engine/vpn_engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <thread>

#include "../engines/engine_test_support.hpp"
#include "dispatch/dispatcher.hpp"
#include "policy/connect_request.hpp"
#include "win32/unique_handle.hpp"
#include "windows/pipe/security_descriptor.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using testing::install_simulated;
using testing::read_file;
using testing::TempFolder;
using testing::write_file;

const std::string wireguard_config =
    "[Interface]\\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\\n"
    "Address = 10.64.0.2/32\\n[Peer]\\nPublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\\n"
    "AllowedIPs = 0.0.0.0/0, ::/0\\nEndpoint = 198.51.100.7:51820\\n";
const std::string openvpn_config = "client\\nremote 198.51.100.7 1194 udp\\n";

std::string connect_request(const std::string& protocol, const std::string& config,
                            const std::string& location) {
  return R"({"action":"connect","profile":{"serverId":7,"location":")" + location +
         R"(","protocol":")" + protocol + R"(","config":")" + config +
         R"(","dns":"quad9","username":"user","password":"secret"}})";
}

std::size_t line_count(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class VpnEngineTest : public ::testing::Test {
 protected:
  VpnEngineTest() {
    install_simulated(L"wireguard", programs.path(), L"WireGuard\\wireguard.exe");
    install_simulated(L"wg", programs.path(), L"WireGuard\\wg.exe");
    install_simulated(L"openvpn", programs.path(), L"OpenVPN\\bin\\openvpn.exe");
    install_simulated(L"tapctl", programs.path(), L"OpenVPN\\bin\\tapctl.exe");
    install_simulated(L"powershell", system.path(), L"WindowsPowerShell\\v1.0\\powershell.exe");
    install_simulated(L"curl", system.path(), L"curl.exe");
    context.tunnel_name = L"MorvexVPN";
    context.openvpn_exit_wait = 3000ms;
    context.unix_seconds = system_unix_seconds;
    dispatcher.cell().fill(state);
  }
  ~VpnEngineTest() override { dispatcher.handle_request(R"({"action":"disconnect"})"); }

  VpnEngineParts parts() {
    return VpnEngineParts{
        .system_tool =
            [this](std::wstring_view relative) {
              return (system.path() / std::filesystem::path(std::wstring(relative))).wstring();
            },
        .check_openvpn_version = [] { return Result<void>(); },
        .query_capabilities =
            [] {
              return EngineCapabilities{true, true};
            },
        .validate_connect_request =
            [](Profile profile) { return morvex::validate_connect_request(std::move(profile)); },
    };
  }

  std::string send(const std::string& body) { return dispatcher.handle_request(body); }
  std::string powershell_runs() {
    return read_file(system.path() / L"WindowsPowerShell\\v1.0\\powershell-runs.txt");
  }
  std::string curl_runs() { return read_file(system.path() / L"curl-runs.txt"); }
  void scenario(const std::filesystem::path& folder, const std::string& text) {
    write_file(folder / L"scenario.txt", text);
  }
  std::filesystem::path powershell_folder() { return system.path() / L"WindowsPowerShell\\v1.0"; }

  TempFolder programs;
  TempFolder system;
  TempFolder runtime;
  BoundedRunner runner;
  EngineContext context = testing::test_context(runner, programs.path());
  SystemConnectClock clock;
  VpnEngine engine{context, parts(), clock, ConnectTiming{4000ms, 100ms}};
  Dispatcher dispatcher{engine};
  TunnelState state{runtime.path()};
};

TEST_F(VpnEngineTest, WireguardConnectsVerifiesAndKeepsItsChecks) {
  const std::string reply = send(connect_request("wireguard", wireguard_config, "Oslo"));
  EXPECT_EQ(reply,
            R"({"result":{"activeProfile":"WireGuard","connectedAt":)" +
                std::to_string(*state.connected_at) +
                R"(,"connection":{"dns":"quad9","location":"Oslo","protocol":"wireguard",)"
                R"("serverId":7},"message":"Checking VPN routes, DNS and internet access.",)"
                R"("platform":"windows","publicAddress":"203.0.113.7","state":"connected"}})");
  EXPECT_EQ(powershell_runs(),
            "{\"adapter\":\"MorvexVPN\",\"dns\":[\"9.9.9.9\",\"149.112.112.112\"]}\n");
  EXPECT_EQ(curl_runs(), "10.64.0.2\n");

  // Status requests within the kept checks' lifetimes run neither program.
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(send(R"({"action":"status"})").find(R"("state":"connected")"), std::string::npos);
  EXPECT_EQ(line_count(powershell_runs()), 1u);
  EXPECT_EQ(line_count(curl_runs()), 1u);

  EXPECT_EQ(send(R"({"action":"traffic"})"), R"({"result":[1024,2048]})");
  EXPECT_EQ(send(R"({"action":"disconnect"})"), write_reply(ReplyValue{disconnected_status()}));
  EXPECT_EQ(send(R"({"action":"traffic"})"), R"({"result":null})");
  EXPECT_EQ(send(R"({"action":"status"})"), write_reply(ReplyValue{disconnected_status()}));
}

TEST_F(VpnEngineTest, OpenvpnConnectsAndVerifies) {
  scenario(programs.path() / L"OpenVPN\\bin", "status_interval_ms=200\n");
  const std::string reply = send(connect_request("openvpn", openvpn_config, "Rome"));
  EXPECT_NE(reply.find(R"("activeProfile":"OpenVPN")"), std::string::npos) << reply;
  EXPECT_NE(reply.find(R"("state":"connected")"), std::string::npos) << reply;
  EXPECT_NE(powershell_runs().find(R"("adapter":"MorvexOpenVPN")"), std::string::npos);
  EXPECT_EQ(send(R"({"action":"disconnect"})"), write_reply(ReplyValue{disconnected_status()}));
  EXPECT_FALSE(std::filesystem::exists(runtime.path() / L"openvpn.auth"));
}

TEST_F(VpnEngineTest, ANewConnectThatNeverVerifiesRestoresThePreviousOne) {
  ASSERT_NE(send(connect_request("wireguard", wireguard_config, "Oslo")).find("connected"),
            std::string::npos);
  scenario(programs.path() / L"OpenVPN\\bin", "openvpn=never_ready\n");
  EXPECT_EQ(
      send(connect_request("openvpn", openvpn_config, "Rome")),
      R"({"error":"The new VPN connection failed; your previous connection has been restored."})");
  const std::string status = send(R"({"action":"status"})");
  EXPECT_NE(status.find(R"("location":"Oslo")"), std::string::npos) << status;
  EXPECT_NE(status.find(R"("state":"connected")"), std::string::npos) << status;
}

TEST_F(VpnEngineTest, WhenTheRestoreFailsTooNothingIsLeftUp) {
  ASSERT_NE(send(connect_request("wireguard", wireguard_config, "Oslo")).find("connected"),
            std::string::npos);
  scenario(powershell_folder(), "powershell=fail\n");
  EXPECT_EQ(
      send(connect_request("wireguard", wireguard_config, "Bergen")),
      R"({"error":"The new VPN connection and restoration failed. Select Connect to try again."})");
  EXPECT_EQ(send(R"({"action":"status"})"), write_reply(ReplyValue{disconnected_status()}));
}

TEST_F(VpnEngineTest, AnOpenvpnThatExitsDuringTheWaitEndsTheConnect) {
  scenario(programs.path() / L"OpenVPN\\bin", "openvpn=exit\n");
  EXPECT_EQ(send(connect_request("openvpn", openvpn_config, "Rome")),
            R"({"error":"The OpenVPN connection stopped. Try reconnecting."})");
  EXPECT_EQ(send(R"({"action":"status"})"), write_reply(ReplyValue{disconnected_status()}));
}

TEST_F(VpnEngineTest, ATunnelThatNeverVerifiesWithNothingToRestoreFails) {
  scenario(system.path(), "curl=fail\n");
  EXPECT_EQ(send(connect_request("wireguard", wireguard_config, "Oslo")),
            R"({"error":"The VPN could not verify protection. Try another location."})");
  EXPECT_EQ(send(R"({"action":"status"})"), write_reply(ReplyValue{disconnected_status()}));
}

TEST_F(VpnEngineTest, AFailedDisconnectNeverLeavesAStoppedEngineReportedAsConnected) {
  // Another program holds a private file open without delete sharing.
  const struct {
    const char* protocol;
    const std::string& config;
    const wchar_t* held;
    const char* stopped;
  } cases[] = {
      {"openvpn", openvpn_config, L"openvpn.log",
       "The OpenVPN connection stopped. Try reconnecting."},
      {"wireguard", wireguard_config, L"MorvexVPN.conf",
       "The WireGuard connection stopped. Try reconnecting."},
  };
  scenario(programs.path() / L"OpenVPN\\bin", "status_interval_ms=100\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.protocol);
    const std::string reply = send(connect_request(c.protocol, c.config, "Rome"));
    ASSERT_NE(reply.find(R"("state":"connected")"), std::string::npos) << reply;
    {
      const UniqueHandle held(CreateFileW((runtime.path() / c.held).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(held);
      EXPECT_EQ(send(R"({"action":"disconnect"})"),
                R"({"error":"Cannot clear private VPN files."})");
      EXPECT_EQ(send(R"({"action":"status"})"), write_reply(ReplyValue{error_status(c.stopped)}));
      EXPECT_EQ(send(R"({"action":"traffic"})"), R"({"result":null})");
    }
    // Once the file is free, a retried disconnect cleans up.
    EXPECT_EQ(send(R"({"action":"disconnect"})"), write_reply(ReplyValue{disconnected_status()}));
    EXPECT_EQ(send(R"({"action":"status"})"), write_reply(ReplyValue{disconnected_status()}));
    EXPECT_FALSE(std::filesystem::exists(runtime.path() / c.held));
  }
}

TEST_F(VpnEngineTest, AnExitEventLeftSignalledDoesNotStopTheNextOpenvpn) {
  // Another program's event, signalled and held open, under the one name that
  // the service once gave every OpenVPN.
  const auto descriptor = security_descriptor_from_sddl(L"O:WDD:(A;;GA;;;WD)");
  ASSERT_TRUE(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor->get(), FALSE};
  const UniqueHandle left(CreateEventW(&attributes, TRUE, TRUE, L"Global\\MorvexVPN.OpenVPN.Exit"));
  ASSERT_TRUE(left);
  scenario(programs.path() / L"OpenVPN\\bin", "status_interval_ms=100\n");
  const std::string reply = send(connect_request("openvpn", openvpn_config, "Rome"));
  EXPECT_NE(reply.find(R"("state":"connected")"), std::string::npos) << reply;
  EXPECT_NE(send(R"({"action":"traffic"})"), R"({"result":null})");
}

TEST_F(VpnEngineTest, ACancelDuringTheWaitTearsTheHalfBuiltTunnelDown) {
  scenario(programs.path() / L"OpenVPN\\bin", "openvpn=never_ready\n");
  auto connect = std::async(std::launch::async, [this] {
    return send(connect_request("openvpn", openvpn_config, "Rome"));
  });
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (!std::filesystem::exists(runtime.path() / L"openvpn.ovpn") &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(send(R"({"action":"cancel"})"), R"({"result":null})");
  ASSERT_EQ(connect.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(connect.get(), write_reply(ReplyValue{disconnected_status()}));
  EXPECT_FALSE(std::filesystem::exists(runtime.path() / L"openvpn.ovpn"));
  EXPECT_FALSE(std::filesystem::exists(runtime.path() / L"openvpn.auth"));
  EXPECT_EQ(send(R"({"action":"traffic"})"), R"({"result":null})");
}

}  // namespace
}  // namespace morvex
