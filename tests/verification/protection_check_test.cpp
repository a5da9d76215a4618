#include "windows/engine/verification/protection_check.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace morvex {
namespace {

using namespace std::chrono_literals;

class FakeProbes : public ProtectionProbes {
 public:
  AdapterReadiness readiness(const Profile&) override { return ready; }
  Result<std::string> run_script(const std::string& input) override {
    ++script_runs;
    last_input = input;
    return script_output;
  }
  Result<std::string> run_trace(const std::string& source_address) override {
    ++trace_runs;
    last_source = source_address;
    return trace_output;
  }
  std::chrono::steady_clock::time_point now() override { return clock; }

  AdapterReadiness ready{AdapterReadiness::Kind::ready, "MorvexVPN"};
  Result<std::string> script_output = R"({"source":"10.64.0.2","destination":"1.1.1.1"})";
  Result<std::string> trace_output = "h=one.one.one.one\nip=203.0.113.7\n";
  std::chrono::steady_clock::time_point clock{std::chrono::hours(1)};
  int script_runs = 0;
  int trace_runs = 0;
  std::string last_input;
  std::string last_source;
};

class ProbeStatusTest : public ::testing::Test {
 protected:
  VpnStatus probe() { return probe_status(probes, profile, connected_at, kept); }

  FakeProbes probes;
  std::optional<Profile> profile =
      Profile{7,       "Oslo",      "wireguard", "[Interface]\nDNS = 9.9.9.9, 149.112.112.112\n",
              "quad9", "automatic", "",          ""};
  std::optional<std::uint64_t> connected_at = 1700000000000;
  KeptChecks kept;
};

TEST_F(ProbeStatusTest, IdleIsDisconnected) {
  profile.reset();
  EXPECT_EQ(probe(), disconnected_status());
  EXPECT_EQ(probes.script_runs, 0);
}

TEST_F(ProbeStatusTest, AVerifiedTunnelIsConnectedWithThePublicAddress) {
  const VpnStatus status = probe();
  EXPECT_EQ(write_reply(ReplyValue{status}),
            R"({"result":{"activeProfile":"WireGuard","connectedAt":1700000000000,)"
            R"("connection":{"dns":"quad9","location":"Oslo","protocol":"automatic","serverId":7},)"
            R"("message":"Checking VPN routes, DNS and internet access.","platform":"windows",)"
            R"("publicAddress":"203.0.113.7","state":"connected"}})");
  EXPECT_EQ(probes.last_input, R"({"adapter":"MorvexVPN","dns":["9.9.9.9","149.112.112.112"]})");
  EXPECT_EQ(probes.last_source, "10.64.0.2");
}

TEST_F(ProbeStatusTest, AStoppedEngineIsAnErrorThatNamesIt) {
  probes.ready = {AdapterReadiness::Kind::stopped, ""};
  const struct {
    const char* protocol;
    const char* message;
  } cases[] = {
      {"openvpn", "The OpenVPN connection stopped. Try reconnecting."},
      {"wireguard", "The WireGuard connection stopped. Try reconnecting."},
      {"WireGuard", "The OpenVPN connection stopped. Try reconnecting."},  // exact match only
  };
  for (const auto& c : cases) {
    profile->protocol = c.protocol;
    EXPECT_EQ(probe(), error_status(c.message)) << c.protocol;
  }
  EXPECT_EQ(probes.script_runs, 0);
}

TEST_F(ProbeStatusTest, ChecksAreKeptForTheirLifetimesInWholeSeconds) {
  probe();
  probes.clock += 8999ms;
  EXPECT_EQ(probe().state, ConnectionState::connected);
  EXPECT_EQ(probes.script_runs, 1);
  probes.clock += 1ms;  // 9 s after the route check
  probe();
  EXPECT_EQ(probes.script_runs, 2);
  EXPECT_EQ(probes.trace_runs, 1);  // same source, public address 9 s old
  probes.clock += 50999ms;          // 59.999 s after the trace
  probe();
  EXPECT_EQ(probes.trace_runs, 1);
  probes.clock += 1ms;
  probe();
  EXPECT_EQ(probes.trace_runs, 2);
}

TEST_F(ProbeStatusTest, ANewSourceAddressRunsTheTraceAtOnce) {
  probe();
  probes.clock += 10s;
  probes.script_output = R"({"source":"10.64.0.9","destination":"1.1.1.1"})";
  EXPECT_EQ(probe().state, ConnectionState::connected);
  EXPECT_EQ(probes.trace_runs, 2);
  EXPECT_EQ(probes.last_source, "10.64.0.9");
}

TEST_F(ProbeStatusTest, AnEngineNotReadyDropsTheSourceSoBothChecksRunAgain) {
  probe();
  probes.ready = {AdapterReadiness::Kind::not_ready, ""};
  const VpnStatus status = probe();
  EXPECT_EQ(status.state, ConnectionState::checking);
  EXPECT_EQ(status.public_address, std::nullopt);
  EXPECT_EQ(status.message, "Checking VPN routes, DNS and internet access.");
  EXPECT_FALSE(kept.source_address);
  probes.ready = {AdapterReadiness::Kind::ready, "MorvexVPN"};
  probes.clock += 1s;
  EXPECT_EQ(probe().state, ConnectionState::connected);
  EXPECT_EQ(probes.script_runs, 2);
  EXPECT_EQ(probes.trace_runs, 2);
}

TEST_F(ProbeStatusTest, AnIdleTunnelIsProvedByTrafficInTheSameCall) {
  probe();
  probes.ready = {AdapterReadiness::Kind::idle, "MorvexVPN"};
  probes.clock += 1s;  // both kept results still fresh
  EXPECT_EQ(probe().public_address, "203.0.113.7");
  EXPECT_EQ(probes.trace_runs, 2);
  probes.trace_output = fail("VPN component timed out. Please try again.");
  EXPECT_EQ(probe().state, ConnectionState::checking);
  EXPECT_EQ(probes.trace_runs, 3);
}

TEST_F(ProbeStatusTest, FailedChecksLeaveCheckingAndDropBothKeptValues) {
  struct Case {
    const char* name;
    Result<std::string> script;
    Result<std::string> trace;
  };
  const Case cases[] = {
      {"script failed", fail("VPN component timed out. Please try again."), "ip=203.0.113.7\n"},
      {"script output not JSON", "oops", "ip=203.0.113.7\n"},
      {"no IPv4 source", R"({"source":"fd00::2"})", "ip=203.0.113.7\n"},
      {"curl failed", R"({"source":"10.64.0.2"})", fail("Could not start the VPN component.")},
      {"no ip line", R"({"source":"10.64.0.2"})", "fl=1\n"},
      {"invalid ip", R"({"source":"10.64.0.2"})", "ip=999.1.1.1\n"},
  };
  for (const auto& c : cases) {
    KeptChecks fresh_kept;
    probe_status(probes, profile, connected_at, fresh_kept);  // a verified start
    probes.clock += 61s;
    probes.script_output = c.script;
    probes.trace_output = c.trace;
    const VpnStatus status = probe_status(probes, profile, connected_at, fresh_kept);
    EXPECT_EQ(status.state, ConnectionState::checking) << c.name;
    EXPECT_FALSE(fresh_kept.source_address) << c.name;
    EXPECT_FALSE(fresh_kept.public_address) << c.name;
    probes.script_output = R"({"source":"10.64.0.2","destination":"1.1.1.1"})";
    probes.trace_output = "ip=203.0.113.7\n";
  }
}

TEST_F(ProbeStatusTest, OpenvpnProfilesWithoutDnsLinesSendAnEmptyList) {
  profile = Profile{7, "Oslo", "openvpn", "client\ndev tun\n", "server", "", "u", "p"};
  probes.ready = {AdapterReadiness::Kind::ready, "MorvexOpenVPN"};
  const VpnStatus status = probe();
  EXPECT_EQ(probes.last_input, R"({"adapter":"MorvexOpenVPN","dns":[]})");
  EXPECT_EQ(status.active_profile, "OpenVPN");
  EXPECT_EQ(status.connection->protocol, "openvpn");
}

}  // namespace
}  // namespace morvex
