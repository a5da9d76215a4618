#include "windows/service/service_host.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace morvex {
namespace {

using namespace std::chrono_literals;

// An engine with no tunnel: the lifecycle never reaches it except through
// the status request that shows the stop.
class IdleEngine final : public Engine {
 public:
  EngineCapabilities query_capabilities(TunnelState&) override { return {}; }
  VpnStatus probe_status(TunnelState&) override { return disconnected_status(); }
  std::optional<TrafficTotals> read_traffic(TunnelState&) override { return std::nullopt; }
  Result<void> teardown_tunnel(TunnelState&) override { return {}; }
  Result<Profile> validate_connect_request(Profile profile) override { return profile; }
  Result<VpnStatus> connect_with_recovery(TunnelState&, Profile, const Attempt&) override {
    return fail("VPN service is unavailable.");
  }
};

// Records the service's steps in order, from several threads.
class Journal {
 public:
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    changed_.notify_all();
  }
  std::vector<std::string> entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  bool wait_for(const std::string& entry, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> entries_;
};

std::string state_name(DWORD state) {
  switch (state) {
    case SERVICE_START_PENDING: return "start pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_STOP_PENDING: return "stop pending";
    case SERVICE_STOPPED: return "stopped";
    default: return "state " + std::to_string(state);
  }
}

class ServiceHostTest : public ::testing::Test {
 protected:
  ServiceHostTest() {
    lifecycle.report = [this](DWORD state, DWORD check_point) {
      journal.add(state_name(state) + (check_point ? " " + std::to_string(check_point) : ""));
    };
    lifecycle.prepare_storage = [this]() -> Result<std::unique_ptr<TunnelState>> {
      journal.add("prepare storage");
      return std::make_unique<TunnelState>(L"C:\\Morvex\\private-runtime");
    };
    lifecycle.run_pipe_server = [this]() -> Result<void> {
      journal.add(dispatcher.cell().filled() ? "pipe server, cell filled" : "pipe server");
      return {};
    };
    lifecycle.teardown = [this](TunnelState& state) -> Result<void> {
      journal.add("teardown " + state.directory.string() +
                  (dispatcher.stopping() ? ", stopping" : ""));
      return fail("Cannot stop WireGuard.");
    };
  }
  ~ServiceHostTest() override {
    // The service never frees its record; the test does.
    if (dispatcher.cell().filled()) delete &dispatcher.cell().lock().record();
  }

  IdleEngine engine;
  Dispatcher dispatcher{engine};
  Journal journal;
  ServiceLifecycle lifecycle;
};

TEST_F(ServiceHostTest, StatusReportsFollowTheLifecycle) {
  run_service(dispatcher, lifecycle);
  EXPECT_EQ(journal.entries(),
            (std::vector<std::string>{
                "start pending", "prepare storage", "running", "pipe server, cell filled",
                "stop pending", "teardown C:\\Morvex\\private-runtime, stopping", "stopped"}));
  // The service main marks the stop itself once the loop has returned.
  EXPECT_TRUE(dispatcher.stopping());
  EXPECT_EQ(dispatcher.attempt_generation(), 1u);
  EXPECT_EQ(dispatcher.handle_request(R"({"action":"status"})"),
            R"({"error":"VPN service is stopping."})");
}

TEST_F(ServiceHostTest, ALongTeardownAtStopReportsGrowingCheckPoints) {
  lifecycle.progress_interval = 50ms;
  lifecycle.teardown = [](TunnelState&) -> Result<void> {
    std::this_thread::sleep_for(400ms);
    return {};
  };
  run_service(dispatcher, lifecycle);
  const auto entries = journal.entries();
  const auto pending = std::find(entries.begin(), entries.end(), "stop pending");
  ASSERT_LT(pending + 3, entries.end());
  EXPECT_EQ(std::vector<std::string>(pending + 1, pending + 4),
            (std::vector<std::string>{"stop pending 1", "stop pending 2", "stop pending 3"}));
  EXPECT_EQ(entries.back(), "stopped");
}

TEST_F(ServiceHostTest, StorageFailureStopsAtOnce) {
  lifecycle.prepare_storage = [this]() -> Result<std::unique_ptr<TunnelState>> {
    journal.add("prepare storage");
    return fail("VPN storage must not be a reparse point.");
  };
  run_service(dispatcher, lifecycle);
  EXPECT_EQ(journal.entries(),
            (std::vector<std::string>{"start pending", "prepare storage", "stopped"}));
  EXPECT_FALSE(dispatcher.cell().filled());
}

TEST_F(ServiceHostTest, ChannelFailureGoesOnWithTheStop) {
  lifecycle.run_pipe_server = [this]() -> Result<void> {
    journal.add("pipe server");
    return fail("Cannot start the private VPN service channel.");
  };
  run_service(dispatcher, lifecycle);
  const auto entries = journal.entries();
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[4], "stop pending");
  EXPECT_EQ(entries[6], "stopped");
}

TEST_F(ServiceHostTest, StopWaitsForTheRequestHoldingTheLock) {
  std::thread request;
  lifecycle.run_pipe_server = [&]() -> Result<void> {
    std::mutex started_mutex;
    std::condition_variable started;
    bool holding = false;
    request = std::thread([&] {
      auto lock = dispatcher.cell().lock();
      {
        std::lock_guard guard(started_mutex);
        holding = true;
      }
      started.notify_all();
      std::this_thread::sleep_for(300ms);
      journal.add("request done");
    });
    std::unique_lock guard(started_mutex);
    started.wait(guard, [&] { return holding; });
    return {};
  };
  run_service(dispatcher, lifecycle);
  request.join();
  const auto entries = journal.entries();
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[3], "stop pending");
  EXPECT_EQ(entries[4], "request done");
  EXPECT_EQ(entries[5].rfind("teardown", 0), 0u);
}

TEST_F(ServiceHostTest, UnusableStateIsNotTornDownAtStop) {
  lifecycle.run_pipe_server = [this]() -> Result<void> {
    dispatcher.cell().lock().mark_unusable();
    return {};
  };
  run_service(dispatcher, lifecycle);
  EXPECT_EQ(journal.entries(), (std::vector<std::string>{"start pending", "prepare storage",
                                                         "running", "stop pending", "stopped"}));
}

TEST_F(ServiceHostTest, StopBeforeTheLoopStillRunsTheStopSequence) {
  lifecycle.prepare_storage = [this]() -> Result<std::unique_ptr<TunnelState>> {
    EXPECT_EQ(handle_service_control(SERVICE_CONTROL_STOP, dispatcher, [] {}),
              static_cast<DWORD>(NO_ERROR));
    return std::make_unique<TunnelState>(L"C:\\Morvex\\private-runtime");
  };
  run_service(dispatcher, lifecycle);
  const auto entries = journal.entries();
  EXPECT_EQ(entries[1], "running");
  EXPECT_EQ(entries.back(), "stopped");
  EXPECT_EQ(dispatcher.attempt_generation(), 2u);
}

TEST(ServiceStatus, EveryReportCarriesTheFixedFields) {
  for (const DWORD state : {DWORD{SERVICE_START_PENDING}, DWORD{SERVICE_RUNNING},
                            DWORD{SERVICE_STOP_PENDING}, DWORD{SERVICE_STOPPED}}) {
    const SERVICE_STATUS status = service_status(state);
    EXPECT_EQ(status.dwServiceType, 0x10u);
    EXPECT_EQ(status.dwCurrentState, state);
    EXPECT_EQ(status.dwControlsAccepted, 5u);
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 15000u);
  }
}

TEST(ServiceControl, StopAndShutdownMarkTheStopAndWakeTheLoop) {
  for (const DWORD control : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
    IdleEngine engine;
    Dispatcher dispatcher(engine);
    Journal journal;
    const auto wake = [&] {
      journal.add("wake stopping=" + std::to_string(dispatcher.stopping()) +
                  " generation=" + std::to_string(dispatcher.attempt_generation()));
    };
    EXPECT_EQ(handle_service_control(control, dispatcher, wake), 0u) << control;
    EXPECT_TRUE(dispatcher.stopping());
    EXPECT_EQ(dispatcher.attempt_generation(), 1u);
    EXPECT_TRUE(journal.wait_for("wake stopping=1 generation=1", 20s)) << control;
    // A second control starts a second wake-up and moves the counter again.
    EXPECT_EQ(handle_service_control(control, dispatcher, wake), 0u);
    EXPECT_TRUE(journal.wait_for("wake stopping=1 generation=2", 20s)) << control;
  }
}

TEST(ServiceControl, OtherControlsChangeNothing) {
  struct Case {
    DWORD control;
    DWORD answer;
  };
  const Case cases[] = {
      {SERVICE_CONTROL_INTERROGATE, 0},
      {SERVICE_CONTROL_PAUSE, 120},
      {SERVICE_CONTROL_CONTINUE, 120},
      {SERVICE_CONTROL_PARAMCHANGE, 120},
      {SERVICE_CONTROL_PRESHUTDOWN, 120},
      {SERVICE_CONTROL_SESSIONCHANGE, 120},
      {0, 120},
      {0xDEADBEEF, 120},
  };
  for (const auto& c : cases) {
    IdleEngine engine;
    Dispatcher dispatcher(engine);
    bool woken = false;
    EXPECT_EQ(handle_service_control(c.control, dispatcher, [&] { woken = true; }), c.answer)
        << c.control;
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(dispatcher.stopping()) << c.control;
    EXPECT_EQ(dispatcher.attempt_generation(), 0u) << c.control;
    EXPECT_FALSE(woken) << c.control;
  }
}

}  // namespace
}  // namespace morvex
