#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "dispatch/connect_engine.hpp"
#include "dispatch/connect_recovery.hpp"

namespace morvex {

struct TunnelState {
  std::optional<Profile> active;
};

namespace {

using namespace std::chrono_literals;

Profile profile_named(const std::string& location, const std::string& protocol = "wireguard") {
  return Profile{1, location, protocol, "config", "server", "", "u", "p"};
}

VpnStatus status_in(ConnectionState state, const std::string& message) {
  VpnStatus status = disconnected_status();
  status.state = state;
  status.message = message;
  return status;
}

// Counter and flag for attempts, as the dispatcher keeps them.
struct Generations {
  std::atomic<bool> stopping{false};
  std::atomic<std::uint64_t> counter{1};
  Attempt attempt() const { return Attempt(stopping, counter, 1); }
  void cancel() { counter.fetch_add(1); }
};

// A scripted engine layer for the recovery flow: each connect_engine call
// takes the next scripted outcome; a hook can cancel at any call.
class ScriptedOperations : public ConnectOperations {
 public:
  explicit ScriptedOperations(Generations& generations) : generations_(generations) {}

  Result<void> check_openvpn_version() override {
    calls.push_back("version");
    maybe_cancel();
    if (!version_failure.empty()) return fail(version_failure);
    return {};
  }
  std::optional<Profile> previous_profile(TunnelState&) override {
    calls.push_back("previous");
    maybe_cancel();
    return previous;
  }
  Result<void> teardown_tunnel(TunnelState& state) override {
    calls.push_back("teardown");
    maybe_cancel();
    if (!teardown_failures.empty()) {
      auto failure = teardown_failures.front();
      teardown_failures.pop_front();
      if (!failure.empty()) return fail(failure);
    }
    state.active.reset();
    return {};
  }
  Result<VpnStatus> connect_engine(TunnelState& state, const Profile& profile,
                                   const Attempt&) override {
    calls.push_back("connect " + profile.location);
    maybe_cancel();
    if (outcomes.empty()) return fail("unscripted connect");
    auto outcome = outcomes.front();
    outcomes.pop_front();
    state.active = profile;
    return outcome;
  }

  std::optional<Profile> previous;
  std::string version_failure;
  // An empty entry means that teardown succeeds.
  std::deque<std::string> teardown_failures;
  std::deque<Result<VpnStatus>> outcomes;
  // Cancels the attempt when the call with this index is made.
  std::optional<std::size_t> cancel_at_call;
  std::vector<std::string> calls;

 private:
  void maybe_cancel() {
    if (cancel_at_call && *cancel_at_call == calls.size() - 1) generations_.cancel();
  }
  Generations& generations_;
};

const Result<VpnStatus> connected = status_in(ConnectionState::connected, "VPN is connected.");
const Result<VpnStatus> never_verified =
    fail("The VPN could not verify protection. Try another location.");

struct RecoveryCase {
  const char* name;
  std::string protocol;
  std::optional<Profile> previous;
  std::string version_failure;
  std::deque<std::string> teardown_failures;
  std::deque<Result<VpnStatus>> outcomes;
  std::optional<std::size_t> cancel_at_call;
  Result<VpnStatus> expected;
  std::vector<std::string> expected_calls;
  bool tunnel_left;
};

class ConnectWithRecovery : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(ConnectWithRecovery, OrdersTheStepsAndReportsTheOutcome) {
  const auto& c = GetParam();
  Generations generations;
  ScriptedOperations operations(generations);
  operations.previous = c.previous;
  operations.version_failure = c.version_failure;
  operations.teardown_failures = c.teardown_failures;
  operations.outcomes = c.outcomes;
  operations.cancel_at_call = c.cancel_at_call;
  TunnelState state;
  state.active = profile_named("Old");

  const auto outcome = connect_with_recovery(operations, state, profile_named("New", c.protocol),
                                             generations.attempt());
  EXPECT_EQ(outcome, c.expected);
  EXPECT_EQ(operations.calls, c.expected_calls);
  EXPECT_EQ(state.active.has_value(), c.tunnel_left);
}

const Profile old_profile = profile_named("Old");

INSTANTIATE_TEST_SUITE_P(
    Paths, ConnectWithRecovery,
    ::testing::Values(
        RecoveryCase{"version_gate_refuses_and_leaves_the_tunnel",
                     "openvpn",
                     old_profile,
                     "Install a supported OpenVPN engine.",
                     {},
                     {},
                     {},
                     fail("Install a supported OpenVPN engine."),
                     {"version"},
                     true},
        RecoveryCase{"cancelled_before_anything_is_touched",
                     "openvpn",
                     old_profile,
                     "",
                     {},
                     {},
                     0,
                     disconnected_status(),
                     {"version"},
                     true},
        RecoveryCase{"first_teardown_fails_and_nothing_is_restored",
                     "wireguard",
                     old_profile,
                     "",
                     {"Cannot clear private VPN files."},
                     {},
                     {},
                     fail("Cannot clear private VPN files."),
                     {"previous", "teardown"},
                     true},
        RecoveryCase{"new_tunnel_connects",
                     "wireguard",
                     old_profile,
                     "",
                     {},
                     {connected},
                     {},
                     connected,
                     {"previous", "teardown", "connect New"},
                     true},
        RecoveryCase{"new_tunnel_fails_with_nothing_to_restore",
                     "wireguard",
                     std::nullopt,
                     "",
                     {},
                     {never_verified},
                     {},
                     never_verified,
                     {"previous", "teardown", "connect New", "teardown"},
                     false},
        RecoveryCase{"a_status_in_another_state_gives_its_message",
                     "wireguard",
                     std::nullopt,
                     "",
                     {},
                     {status_in(ConnectionState::checking, "Checking VPN protection.")},
                     {},
                     fail("Checking VPN protection."),
                     {"previous", "teardown", "connect New", "teardown"},
                     false},
        RecoveryCase{"previous_connection_restored",
                     "wireguard",
                     old_profile,
                     "",
                     {},
                     {never_verified, connected},
                     {},
                     fail("The new VPN connection failed; your previous connection has been "
                          "restored."),
                     {"previous", "teardown", "connect New", "teardown", "connect Old"},
                     true},
        RecoveryCase{"restore_fails_too",
                     "openvpn",
                     old_profile,
                     "",
                     {},
                     {never_verified, never_verified},
                     {},
                     fail("The new VPN connection and restoration failed. Select Connect to try "
                          "again."),
                     {"version", "previous", "teardown", "connect New", "teardown", "connect Old",
                      "teardown"},
                     false},
        RecoveryCase{"cancel_while_the_new_engine_comes_up",
                     "wireguard",
                     old_profile,
                     "",
                     {},
                     {connected},
                     2,
                     disconnected_status(),
                     {"previous", "teardown", "connect New", "teardown"},
                     false},
        RecoveryCase{"cancel_during_the_restore",
                     "wireguard",
                     old_profile,
                     "",
                     {},
                     {never_verified, connected},
                     4,
                     disconnected_status(),
                     {"previous", "teardown", "connect New", "teardown", "connect Old", "teardown"},
                     false},
        RecoveryCase{"teardown_after_a_cancel_fails",
                     "wireguard",
                     old_profile,
                     "",
                     {"", "Cannot clear private VPN files."},
                     {connected},
                     2,
                     fail("Cannot clear private VPN files."),
                     {"previous", "teardown", "connect New", "teardown"},
                     true},
        RecoveryCase{"cancel_right_after_the_first_teardown",
                     "wireguard",
                     old_profile,
                     "",
                     {},
                     {connected},
                     1,
                     disconnected_status(),
                     {"previous", "teardown"},
                     false},
        RecoveryCase{"cancel_during_the_teardown_before_the_restore",
                     "wireguard",
                     old_profile,
                     "",
                     {},
                     {never_verified, connected},
                     3,
                     disconnected_status(),
                     {"previous", "teardown", "connect New", "teardown"},
                     false},
        RecoveryCase{"teardown_after_a_failed_restore_fails",
                     "wireguard",
                     old_profile,
                     "",
                     {"", "", "Cannot clear private VPN files."},
                     {never_verified, never_verified},
                     {},
                     fail("Cannot clear private VPN files."),
                     {"previous", "teardown", "connect New", "teardown", "connect Old", "teardown"},
                     true},
        RecoveryCase{"teardown_before_the_restore_fails",
                     "wireguard",
                     old_profile,
                     "",
                     {"", "Cannot clear private VPN files."},
                     {never_verified},
                     {},
                     fail("Cannot clear private VPN files."),
                     {"previous", "teardown", "connect New", "teardown"},
                     true}),
    [](const auto& info) { return std::string(info.param.name); });

// A clock that only moves when the flow sleeps, or when a probe takes time.
class SteppedClock : public ConnectClock {
 public:
  std::chrono::steady_clock::time_point now() override { return now_; }
  void sleep_for(std::chrono::milliseconds duration) override {
    sleeps.push_back(duration);
    now_ += duration;
  }
  std::uint64_t system_milliseconds() override { return 1700000000000; }
  void advance(std::chrono::milliseconds duration) { now_ += duration; }

  std::vector<std::chrono::milliseconds> sleeps;

 private:
  std::chrono::steady_clock::time_point now_{};
};

class ScriptedStarter : public EngineStarter {
 public:
  ScriptedStarter(Generations& generations, SteppedClock& clock)
      : generations_(generations), clock_(clock) {}

  Result<void> teardown_tunnel(TunnelState& state) override {
    calls.push_back("teardown");
    state.active.reset();
    if (++teardowns == cancel_at_teardown) generations_.cancel();
    if (!teardown_failures.empty()) {
      const auto failure = teardown_failures.front();
      teardown_failures.pop_front();
      if (!failure.empty()) return fail(failure);
    }
    return {};
  }
  Result<void> install_wireguard_tunnel(TunnelState&, const Profile&) override {
    calls.push_back("wireguard");
    if (!start_failure.empty()) return fail(start_failure);
    return {};
  }
  Result<void> start_openvpn(TunnelState&, const Profile&) override {
    calls.push_back("openvpn");
    if (!start_failure.empty()) return fail(start_failure);
    return {};
  }
  void set_active_profile(TunnelState& state, const Profile& profile,
                          std::uint64_t connected_at) override {
    state.active = profile;
    this->connected_at = connected_at;
  }
  VpnStatus probe_status(TunnelState&) override {
    ++probes;
    clock_.advance(probe_time);
    if (probes == cancel_at_probe) generations_.cancel();
    if (probes == ready_at_probe) return status_in(ConnectionState::connected, "VPN is connected.");
    if (probes == error_at_probe) {
      return status_in(ConnectionState::error, "The OpenVPN connection stopped. Try reconnecting.");
    }
    return status_in(ConnectionState::checking, "Checking VPN protection.");
  }

  std::vector<std::string> calls;
  // One entry for each teardown in turn; an empty entry means that it succeeds.
  std::deque<std::string> teardown_failures;
  std::string start_failure;
  int teardowns = 0;
  int cancel_at_teardown = -1;
  int probes = 0;
  int ready_at_probe = -1;
  int error_at_probe = -1;
  int cancel_at_probe = -1;
  std::chrono::milliseconds probe_time{0};
  std::optional<std::uint64_t> connected_at;

 private:
  Generations& generations_;
  SteppedClock& clock_;
};

class ConnectEngineTest : public ::testing::Test {
 protected:
  Result<VpnStatus> connect(const std::string& protocol = "wireguard") {
    return connect_engine(starter, clock, state, profile_named("New", protocol),
                          generations.attempt());
  }

  Generations generations;
  SteppedClock clock;
  ScriptedStarter starter{generations, clock};
  TunnelState state;
};

TEST_F(ConnectEngineTest, WaitsUntilTheTunnelIsVerified) {
  starter.ready_at_probe = 4;
  const auto outcome = connect();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->state, ConnectionState::connected);
  EXPECT_EQ(starter.calls, (std::vector<std::string>{"teardown", "wireguard"}));
  EXPECT_EQ(clock.sleeps, std::vector<std::chrono::milliseconds>(3, 300ms));
  ASSERT_TRUE(state.active);
  EXPECT_EQ(state.active->location, "New");
  EXPECT_EQ(starter.connected_at, 1700000000000u);
}

TEST_F(ConnectEngineTest, AnyProtocolOtherThanWireguardTakesTheOpenvpnPath) {
  starter.ready_at_probe = 1;
  for (const char* protocol : {"openvpn", "WireGuard"}) {
    starter.calls.clear();
    starter.probes = 0;
    ASSERT_TRUE(connect(protocol));
    EXPECT_EQ(starter.calls, (std::vector<std::string>{"teardown", "openvpn"})) << protocol;
  }
}

TEST_F(ConnectEngineTest, GivesUpAfterThirtySecondsAndTearsDown) {
  starter.probe_time = 100ms;
  const auto outcome = connect();
  EXPECT_EQ(outcome, fail("The VPN could not verify protection. Try another location."));
  // Each round is a 100 ms probe plus a 300 ms pause: 75 rounds fill 30 s.
  EXPECT_EQ(starter.probes, 75);
  EXPECT_EQ(starter.calls.back(), "teardown");
  EXPECT_FALSE(state.active);
}

TEST_F(ConnectEngineTest, AnErrorStatusEndsTheWaitAtOnce) {
  starter.error_at_probe = 2;
  EXPECT_EQ(connect("openvpn"), fail("The OpenVPN connection stopped. Try reconnecting."));
  EXPECT_EQ(starter.probes, 2);
  EXPECT_EQ(starter.calls, (std::vector<std::string>{"teardown", "openvpn", "teardown"}));
}

TEST_F(ConnectEngineTest, ATeardownFailureReplacesTheMessage) {
  const std::string cleared = "Cannot clear private VPN files.";
  const struct {
    const char* when;
    std::deque<std::string> teardown_failures;
    std::string start_failure;
    int error_at_probe;
    int cancel_at_probe;
    std::vector<std::string> calls;
  } cases[] = {
      {"before the start", {cleared}, "", 1, -1, {"teardown"}},
      {"after an error status", {"", cleared}, "", 2, -1, {"teardown", "wireguard", "teardown"}},
      {"after the deadline", {"", cleared}, "", -1, -1, {"teardown", "wireguard", "teardown"}},
      {"after a failed start",
       {"", cleared},
       "Could not start the VPN component.",
       -1,
       -1,
       {"teardown", "wireguard", "teardown"}},
      {"after a cancel", {"", cleared}, "", -1, 2, {"teardown", "wireguard", "teardown"}},
  };
  for (const auto& c : cases) {
    Generations generations;
    SteppedClock clock;
    ScriptedStarter starter(generations, clock);
    starter.teardown_failures = c.teardown_failures;
    starter.start_failure = c.start_failure;
    starter.error_at_probe = c.error_at_probe;
    starter.cancel_at_probe = c.cancel_at_probe;
    TunnelState state;
    EXPECT_EQ(connect_engine(starter, clock, state, profile_named("New"), generations.attempt()),
              fail(cleared))
        << c.when;
    EXPECT_EQ(starter.calls, c.calls) << c.when;
  }
}

TEST_F(ConnectEngineTest, ACancelDuringTheFirstTeardownStartsNothing) {
  starter.cancel_at_teardown = 1;
  EXPECT_EQ(connect(), disconnected_status());
  EXPECT_EQ(starter.calls, (std::vector<std::string>{"teardown"}));
  EXPECT_EQ(starter.probes, 0);
}

TEST_F(ConnectEngineTest, AFailedStartIsTornDownAndReported) {
  starter.start_failure = "Could not start the VPN component.";
  EXPECT_EQ(connect(), fail("Could not start the VPN component."));
  EXPECT_EQ(starter.calls, (std::vector<std::string>{"teardown", "wireguard", "teardown"}));
  EXPECT_EQ(starter.probes, 0);
  EXPECT_FALSE(state.active);
}

TEST_F(ConnectEngineTest, ACancelDuringTheWaitEndsDisconnectedAfterATeardown) {
  starter.cancel_at_probe = 3;
  const auto outcome = connect();
  EXPECT_EQ(outcome, disconnected_status());
  EXPECT_EQ(starter.probes, 3);
  EXPECT_EQ(starter.calls.back(), "teardown");
  EXPECT_FALSE(state.active);
}

TEST_F(ConnectEngineTest, AStaleAttemptChangesNothingAndReportsTheCurrentStatus) {
  generations.cancel();
  state.active = profile_named("Old");
  const auto outcome = connect();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->state, ConnectionState::checking);
  EXPECT_TRUE(starter.calls.empty());
  EXPECT_EQ(state.active->location, "Old");
}

TEST_F(ConnectEngineTest, AStopCountsAsACancel) {
  generations.stopping = true;
  connect();
  EXPECT_TRUE(starter.calls.empty());
}

}  // namespace
}  // namespace morvex
