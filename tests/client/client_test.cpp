#include "client/client.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace morvex::client {
namespace {

using namespace std::chrono_literals;

const std::string idle_reply =
    R"({"result":{"activeProfile":null,"connectedAt":null,"connection":null,)"
    R"("message":"VPN is disconnected.","platform":"windows","publicAddress":null,)"
    R"("state":"disconnected"}})";

// A simulated service: records the requests and holds every request but a
// cancel until released or abandoned, answering it with `answer`.
struct HeldService {
  std::mutex lock;
  std::condition_variable_any changed;
  std::vector<std::string> requests;
  bool released = false;
  Outcome<std::string> answer = idle_reply;

  Exchange exchange() {
    return [this](std::string_view request, std::chrono::milliseconds,
                  std::stop_token stop) -> Outcome<std::string> {
      std::unique_lock guard(lock);
      requests.emplace_back(request);
      changed.notify_all();
      if (request == R"({"action":"cancel"})") return R"({"result":null})";
      if (!changed.wait(guard, stop, [&] { return released; })) return std::unexpected(Error{});
      return answer;
    };
  }
  void wait_for_requests(std::size_t count) {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return requests.size() >= count; });
  }
  void release(Outcome<std::string> reply) {
    const std::lock_guard guard(lock);
    answer = std::move(reply);
    released = true;
    changed.notify_all();
  }
};

TEST(Client, StatusCallsMadeWhileOneRunsShareItsAnswer) {
  HeldService service;
  const Client client(service.exchange());
  std::vector<Outcome<Status>> answers(4);
  std::vector<std::thread> callers;
  callers.emplace_back([&] { answers[0] = client.status(); });
  service.wait_for_requests(1);
  const Client copy = client;  // copies share the call in flight
  for (std::size_t i = 1; i < answers.size(); ++i) {
    callers.emplace_back([&, i] { answers[i] = (i % 2 ? client : copy).status(); });
  }
  std::this_thread::sleep_for(100ms);
  service.release(idle_reply);
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(service.requests, std::vector<std::string>{R"({"action":"status"})"});
  for (const auto& answer : answers) {
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->state, State::disconnected);
  }
  // Once answered, the next status call asks anew.
  EXPECT_TRUE(client.status());
  EXPECT_EQ(service.requests.size(), 2u);
}

TEST(Client, AWaitingStatusCallKeepsItsOwnDeadline) {
  HeldService service;
  const Client client(service.exchange());
  std::thread leader([&] { (void)client.status(); });
  service.wait_for_requests(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.status(100ms).error(), make_error(ErrorKind::timed_out));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  service.release(idle_reply);
  leader.join();
}

TEST(Client, OneRequestInFlightBesidesACancelAndAbandonEndsThemAll) {
  HeldService service;
  const Client client(service.exchange());
  const Client copy = client;
  const Profile profile{7, "Oslo", "wireguard", "[Interface]", "quad9", "", "u", "p"};
  auto connect = std::async(std::launch::async, [&] { return client.connect(profile); });
  service.wait_for_requests(1);
  // The disconnect cancels the connect, then waits; status calls wait too.
  auto disconnect = std::async(std::launch::async, [&] { return copy.disconnect(); });
  service.wait_for_requests(2);
  EXPECT_EQ(service.requests[1], R"({"action":"cancel"})");
  auto status = std::async(std::launch::async, [&] { return client.status(); });
  auto shared = std::async(std::launch::async, [&] { return copy.status(); });
  EXPECT_EQ(copy.capabilities(200ms).error(), make_error(ErrorKind::busy));
  EXPECT_TRUE(client.cancel());  // never waits for the turn
  std::this_thread::sleep_for(100ms);
  copy.abandon();  // the calls below would otherwise wait for 330 s
  for (auto* call : {&connect, &disconnect, &status, &shared}) {
    EXPECT_EQ(call->get().error(), make_error(ErrorKind::abandoned));
  }
  EXPECT_EQ(client.cancel().error(), make_error(ErrorKind::abandoned));  // at once, never sent
  EXPECT_EQ(service.requests.size(), 3u);
  EXPECT_EQ(service.requests.back(), R"({"action":"cancel"})");
}

TEST(Client, AnExchangeThatThrowsLeavesTheTurnAndTheStatusFlightFree) {
  int calls = 0;
  const Client client(
      [&](std::string_view, std::chrono::milliseconds, std::stop_token) -> Outcome<std::string> {
        if (calls++ == 0) throw std::bad_alloc();
        return idle_reply;
      });
  EXPECT_THROW((void)client.status(), std::bad_alloc);
  EXPECT_TRUE(client.status(1s));
  EXPECT_TRUE(client.disconnect(1s));
}

}  // namespace
}  // namespace morvex::client
