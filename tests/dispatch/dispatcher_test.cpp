#include "dispatch/dispatcher.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvex {

struct TunnelState {
  int teardowns = 0;
};

namespace {

using namespace std::chrono_literals;

constexpr const char* status_request = R"({"action":"status"})";
constexpr const char* cancel_request = R"({"action":"cancel"})";
constexpr const char* disconnect_request = R"({"action":"disconnect"})";
constexpr const char* null_result = R"({"result":null})";

std::string connect_request(const std::string& location = "Oslo") {
  return R"({"action":"connect","profile":{"serverId":1,"location":")" + location +
         R"(","protocol":"wireguard","config":"c","username":"","password":""}})";
}

std::string error_reply(const std::string& message) { return R"({"error":")" + message + "\"}"; }

// A scripted engine. A connect to "hold" keeps the lock until it is cancelled
// or released; every call is recorded in order.
class FakeEngine : public Engine {
 public:
  EngineCapabilities query_capabilities(TunnelState&) override {
    record("capabilities");
    return {true, true};
  }
  VpnStatus probe_status(TunnelState&) override {
    record("status");
    if (throw_in_status) throw std::runtime_error("broken invariant");
    return disconnected_status();
  }
  std::optional<TrafficTotals> read_traffic(TunnelState&) override {
    record("traffic");
    return traffic;
  }
  Result<void> teardown_tunnel(TunnelState& state) override {
    record("teardown");
    ++state.teardowns;
    if (!teardown_failure.empty()) return fail(teardown_failure);
    return {};
  }
  Result<Profile> validate_connect_request(Profile profile) override {
    if (profile.location == "invalid") return fail("Morvex returned an invalid value.");
    return profile;
  }
  Result<VpnStatus> connect_with_recovery(TunnelState&, Profile profile,
                                          const Attempt& attempt) override {
    record("connect " + profile.location + " begins");
    if (profile.location == "hold") {
      std::unique_lock lock(mutex_);
      holding_ = true;
      changed_.notify_all();
      const bool ended =
          changed_.wait_for(lock, 10s, [&] { return released_ || attempt.cancelled(); });
      holding_ = false;
      if (!ended) return fail("test engine gave up waiting");
      if (attempt.cancelled()) {
        lock.unlock();
        record("connect hold cancelled");
        return disconnected_status();
      }
    }
    record("connect " + profile.location + " ends");
    VpnStatus status = disconnected_status();
    status.state = ConnectionState::connected;
    status.message = "connected to " + profile.location;
    return status;
  }

  // Waits until a held connect is inside the engine, holding the lock.
  bool wait_until_holding() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return holding_; });
  }
  // Wakes a held connect so that it looks at its cancellation again.
  void poke() {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  bool throw_in_status = false;
  std::string teardown_failure;
  std::optional<TrafficTotals> traffic;

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
  bool released_ = false;
  std::vector<std::string> calls_;
};

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() { dispatcher.cell().fill(state); }

  std::future<std::string> send_async(std::string body) {
    return std::async(std::launch::async,
                      [this, body = std::move(body)] { return dispatcher.handle_request(body); });
  }

  // Sends a request that cancels, then wakes the held connect so it notices.
  std::string send_and_poke(const std::string& body) {
    auto reply = dispatcher.handle_request(body);
    engine.poke();
    return reply;
  }

  FakeEngine engine;
  TunnelState state;
  Dispatcher dispatcher{engine};
};

TEST_F(DispatcherTest, RoutesEachActionToItsOperation) {
  EXPECT_EQ(dispatcher.handle_request(R"({"action":"capabilities"})"),
            R"({"result":{"openvpn":true,"wireguard":true,)"
            R"("wireguardMessage":"The installer supplies the Windows VPN engines."}})");
  EXPECT_EQ(dispatcher.handle_request(R"({"action":"traffic"})"), null_result);
  engine.traffic = TrafficTotals{5, 6};
  EXPECT_EQ(dispatcher.handle_request(R"({"action":"traffic"})"), R"({"result":[5,6]})");
  EXPECT_EQ(dispatcher.handle_request(disconnect_request),
            write_reply(ReplyValue{disconnected_status()}));
  EXPECT_EQ(state.teardowns, 1);
  engine.teardown_failure = "Cannot clear private VPN files.";
  EXPECT_EQ(dispatcher.handle_request(disconnect_request),
            error_reply("Cannot clear private VPN files."));
  EXPECT_NE(dispatcher.handle_request(connect_request("Rome")).find("connected to Rome"),
            std::string::npos);
}

TEST_F(DispatcherTest, CountsTheGenerationOnlyForCancelConnectAndDisconnect) {
  dispatcher.handle_request(status_request);
  dispatcher.handle_request(R"({"action":"capabilities"})");
  dispatcher.handle_request(R"({"action":"traffic"})");
  dispatcher.handle_request("not json");
  EXPECT_EQ(dispatcher.attempt_generation(), 0u);
  EXPECT_EQ(dispatcher.handle_request(cancel_request), null_result);
  dispatcher.handle_request(disconnect_request);
  dispatcher.handle_request(connect_request("invalid"));
  EXPECT_EQ(dispatcher.attempt_generation(), 3u);
}

TEST_F(DispatcherTest, ParserRefusalsAreRepliedInEveryPhase) {
  EXPECT_EQ(dispatcher.handle_request("{}"), error_reply("Invalid VPN request."));
  EXPECT_EQ(dispatcher.handle_request(std::string(131073, ' ')),
            error_reply("VPN request is too large."));
  dispatcher.begin_stop();
  EXPECT_EQ(dispatcher.handle_request("{}"), error_reply("Invalid VPN request."));
}

TEST_F(DispatcherTest, CancelIsAnsweredAtOnceWhileAConnectHoldsTheLock) {
  auto held = send_async(connect_request("hold"));
  ASSERT_TRUE(engine.wait_until_holding());
  EXPECT_EQ(send_and_poke(cancel_request), null_result);
  ASSERT_EQ(held.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(held.get(), write_reply(ReplyValue{disconnected_status()}));
  EXPECT_EQ(engine.calls().back(), "connect hold cancelled");
}

TEST_F(DispatcherTest, ASecondConnectCancelsTheRunningOneThenRuns) {
  auto first = send_async(connect_request("hold"));
  ASSERT_TRUE(engine.wait_until_holding());
  auto second = send_async(connect_request("Rome"));
  // The second connect moves the counter before it waits for the lock.
  while (dispatcher.attempt_generation() < 2) std::this_thread::yield();
  engine.poke();
  ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(first.get(), write_reply(ReplyValue{disconnected_status()}));
  EXPECT_NE(second.get().find("connected to Rome"), std::string::npos);
  const std::vector<std::string> order = {"connect hold begins", "connect hold cancelled",
                                          "connect Rome begins", "connect Rome ends"};
  EXPECT_EQ(engine.calls(), order);
}

TEST_F(DispatcherTest, AnInvalidConnectStillCancelsTheRunningOne) {
  auto first = send_async(connect_request("hold"));
  ASSERT_TRUE(engine.wait_until_holding());
  auto invalid = send_async(connect_request("invalid"));
  while (dispatcher.attempt_generation() < 2) std::this_thread::yield();
  engine.poke();
  ASSERT_EQ(invalid.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(invalid.get(), error_reply("Morvex returned an invalid value."));
  EXPECT_EQ(engine.calls().back(), "connect hold cancelled");
  first.wait();
}

TEST_F(DispatcherTest, StatusWaitsBehindARunningConnect) {
  auto connect = send_async(connect_request("hold"));
  ASSERT_TRUE(engine.wait_until_holding());
  auto status = send_async(status_request);
  EXPECT_EQ(status.wait_for(100ms), std::future_status::timeout);
  engine.release();
  ASSERT_EQ(status.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(status.get(), write_reply(ReplyValue{disconnected_status()}));
  const std::vector<std::string> order = {"connect hold begins", "connect hold ends", "status"};
  EXPECT_EQ(engine.calls(), order);
  EXPECT_EQ(dispatcher.attempt_generation(), 1u);
  connect.wait();
}

TEST_F(DispatcherTest, StopCancelsARunningConnectAndRefusesEverything) {
  auto connect = send_async(connect_request("hold"));
  ASSERT_TRUE(engine.wait_until_holding());
  dispatcher.begin_stop();
  engine.poke();
  ASSERT_EQ(connect.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(engine.calls().back(), "connect hold cancelled");
  const auto generation = dispatcher.attempt_generation();
  for (const std::string& body :
       {std::string(status_request), std::string(cancel_request), std::string(disconnect_request),
        connect_request(), std::string(R"({"action":"capabilities"})"),
        std::string(R"({"action":"traffic"})")}) {
    EXPECT_EQ(dispatcher.handle_request(body), error_reply("VPN service is stopping.")) << body;
  }
  EXPECT_EQ(dispatcher.attempt_generation(), generation);
}

TEST_F(DispatcherTest, RequestsWaitingForTheLockWhenTheStopBeginsDoNoWork) {
  auto connect = send_async(connect_request("hold"));
  ASSERT_TRUE(engine.wait_until_holding());
  std::vector<std::future<std::string>> waiting;
  for (const char* body :
       {status_request, R"({"action":"traffic"})", R"({"action":"capabilities"})"}) {
    waiting.push_back(send_async(body));
  }
  // Past the first stop check, they wait for the lock that the connect holds.
  EXPECT_EQ(waiting.front().wait_for(100ms), std::future_status::timeout);
  dispatcher.begin_stop();
  engine.poke();
  ASSERT_EQ(connect.wait_for(10s), std::future_status::ready);
  for (auto& reply : waiting) {
    ASSERT_EQ(reply.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reply.get(), error_reply("VPN service is stopping."));
  }
  const std::vector<std::string> order = {"connect hold begins", "connect hold cancelled"};
  EXPECT_EQ(engine.calls(), order);
}

TEST_F(DispatcherTest, AFaultUnderTheLockMakesTheServiceUnavailable) {
  engine.throw_in_status = true;
  EXPECT_EQ(dispatcher.handle_request(status_request),
            error_reply("VPN service could not complete the request."));
  engine.throw_in_status = false;
  for (const std::string& body : {std::string(status_request), std::string(disconnect_request),
                                  connect_request(), std::string(R"({"action":"traffic"})")}) {
    EXPECT_EQ(dispatcher.handle_request(body), error_reply("VPN service is unavailable.")) << body;
  }
  EXPECT_EQ(dispatcher.handle_request(cancel_request), null_result);
  EXPECT_EQ(state.teardowns, 0);
  // The lock itself was released: a stop can still take it and see the bit.
  auto lock = dispatcher.cell().lock();
  EXPECT_TRUE(lock.unusable());
}

namespace {
// Every action, the lock-free cancel included, gets the stopping reply.
void expect_every_action_refused_as_stopping(Dispatcher& dispatcher) {
  for (const std::string& body : {std::string(status_request), std::string(disconnect_request),
                                  connect_request(), std::string(cancel_request)}) {
    EXPECT_EQ(dispatcher.handle_request(body), error_reply("VPN service is stopping.")) << body;
  }
}
}  // namespace

TEST_F(DispatcherTest, StoppingWinsOverUnusable) {
  engine.throw_in_status = true;
  dispatcher.handle_request(status_request);
  dispatcher.begin_stop();
  expect_every_action_refused_as_stopping(dispatcher);
}

TEST(DispatcherStarting, StoppingWinsOverStarting) {
  FakeEngine engine;
  Dispatcher dispatcher(engine);
  dispatcher.begin_stop();
  expect_every_action_refused_as_stopping(dispatcher);
}

TEST(DispatcherStarting, ConnectAndDisconnectMoveTheCounterBeforeTheStateExists) {
  FakeEngine engine;
  Dispatcher dispatcher(engine);
  EXPECT_EQ(dispatcher.handle_request(connect_request()), error_reply("VPN service is starting."));
  EXPECT_EQ(dispatcher.attempt_generation(), 1u);
  EXPECT_EQ(dispatcher.handle_request(disconnect_request), error_reply("VPN service is starting."));
  EXPECT_EQ(dispatcher.attempt_generation(), 2u);
  dispatcher.handle_request(status_request);
  EXPECT_EQ(dispatcher.attempt_generation(), 2u);
}

TEST(DispatcherStarting, OnlyCancelIsAnsweredBeforeTheStateExists) {
  FakeEngine engine;
  Dispatcher dispatcher(engine);
  EXPECT_EQ(dispatcher.handle_request(cancel_request), null_result);
  for (const std::string& body : {std::string(status_request), std::string(disconnect_request),
                                  connect_request(), std::string(R"({"action":"capabilities"})")}) {
    EXPECT_EQ(dispatcher.handle_request(body), error_reply("VPN service is starting.")) << body;
  }
  EXPECT_TRUE(engine.calls().empty());
  TunnelState first, second;
  EXPECT_TRUE(dispatcher.cell().fill(first));
  EXPECT_FALSE(dispatcher.cell().fill(second));
  dispatcher.handle_request(disconnect_request);
  EXPECT_EQ(first.teardowns, 1);
  EXPECT_EQ(second.teardowns, 0);
}

}  // namespace
}  // namespace morvex
