#include "client/client.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "client/reply_reader.hpp"
#include "client/requests.hpp"

namespace morvex::client {

using Clock = std::chrono::steady_clock;

namespace {

std::chrono::milliseconds remaining(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

std::unexpected<Error> failure(ErrorKind kind) { return std::unexpected(make_error(kind)); }

// The status call in flight, whose answer every status call that arrives
// meanwhile shares. Ended without an answer when its call threw.
struct StatusFlight {
  std::optional<Outcome<Status>> answer;
  bool ended = false;
};

// Who holds the one turn.
enum class Turn { free, connect, other };

// How a call takes part in the turn: a cancel never waits for it; a connect
// or a disconnect first cancels a connect that holds it, as the service
// would once its request arrived, instead of waiting behind it.
enum class Role { cancel, ordinary, connect, disconnect };

// Runs `action` when it leaves its scope, however that is.
template <typename Action>
struct ScopeExit {
  Action action;
  ~ScopeExit() { action(); }
};
template <typename Action>
ScopeExit(Action) -> ScopeExit<Action>;

}  // namespace

// What copies of a Client share, under one lock; `changed` wakes the calls
// that wait for the turn or for a status answer.
struct Client::Shared {
  std::mutex lock;
  std::condition_variable changed;
  Turn turn = Turn::free;
  std::shared_ptr<StatusFlight> status_flight;
  std::stop_source abandon;

  bool abandoned() const { return abandon.stop_requested(); }

  bool connect_holds_turn() {
    const std::lock_guard guard(lock);
    return turn == Turn::connect;
  }

  // Waits for the one turn until `deadline`: busy when the deadline passes
  // first, abandoned when the client is abandoned meanwhile.
  Outcome<void> take_turn(Clock::time_point deadline, Turn holder) {
    std::unique_lock guard(lock);
    changed.wait_until(guard, deadline, [&] { return abandoned() || turn == Turn::free; });
    if (abandoned()) return failure(ErrorKind::abandoned);
    if (turn != Turn::free) return failure(ErrorKind::busy);
    turn = holder;
    return {};
  }
  void give_turn_back() {
    {
      const std::lock_guard guard(lock);
      turn = Turn::free;
    }
    changed.notify_all();
  }

  // One request and its reply; every role but a cancel waits for the turn
  // first, within its deadline. The turn is given back however the exchange
  // ends, a throw included.
  template <typename Reader>
  auto call(const Exchange& exchange, const Outcome<std::string>& request,
            std::chrono::milliseconds timeout, Reader read, Role role)
      -> decltype(read(std::string_view())) {
    if (abandoned()) return failure(ErrorKind::abandoned);
    if (!request) return std::unexpected(request.error());
    const auto deadline = Clock::now() + timeout;
    if ((role == Role::connect || role == Role::disconnect) && connect_holds_turn()) {
      // Its outcome does not matter: the turn is waited for all the same.
      (void)call(exchange, cancel_request(), std::min(timeout, cancel_timeout), read_cancel_reply,
                 Role::cancel);
    }
    if (role != Role::cancel) {
      const Turn holder = role == Role::connect ? Turn::connect : Turn::other;
      if (auto taken = take_turn(deadline, holder); !taken) return std::unexpected(taken.error());
    }
    const ScopeExit release{[&] {
      if (role != Role::cancel) give_turn_back();
    }};
    const auto reply = exchange(*request, remaining(deadline), abandon.get_token());
    // An exchange cut short by the abandon may end in any way.
    if (!reply)
      return std::unexpected(abandoned() ? make_error(ErrorKind::abandoned) : reply.error());
    return read(*reply);
  }
};

Client::Client(Exchange exchange)
    : exchange_(std::move(exchange)), shared_(std::make_shared<Shared>()) {}

Client::Client(PlainExchange exchange)
    : Client([exchange = std::move(exchange)](std::string_view request,
                                              std::chrono::milliseconds timeout, std::stop_token) {
        return exchange(request, timeout);
      }) {}

Outcome<Capabilities> Client::capabilities(std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, capabilities_request(), timeout, read_capabilities_reply,
                       Role::ordinary);
}

Outcome<Status> Client::status(std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    std::shared_ptr<StatusFlight> flight;
    bool leading = false;
    {
      const std::lock_guard guard(shared_->lock);
      if (!shared_->status_flight) {
        shared_->status_flight = std::make_shared<StatusFlight>();
        leading = true;
      }
      flight = shared_->status_flight;
    }
    if (leading) {
      // The flight ends however the call does, so that no call waits for
      // an answer that will never come.
      std::optional<Outcome<Status>> answer;
      const ScopeExit land{[&] {
        {
          const std::lock_guard guard(shared_->lock);
          shared_->status_flight.reset();
          flight->answer = answer;
          flight->ended = true;
        }
        shared_->changed.notify_all();
      }};
      answer = shared_->call(exchange_, status_request(), remaining(deadline), read_status_reply,
                             Role::ordinary);
      return *answer;
    }
    std::unique_lock wait(shared_->lock);
    const bool answered = shared_->changed.wait_until(
        wait, deadline, [&] { return flight->ended || shared_->abandoned(); });
    if (shared_->abandoned()) return failure(ErrorKind::abandoned);
    if (!answered) return failure(ErrorKind::timed_out);
    // The leader's call threw: this call asks for itself.
    if (!flight->answer) continue;
    // The leader's own deadline, not this call's, may have run out.
    const bool retry = !*flight->answer &&
                       (flight->answer->error().kind == ErrorKind::timed_out ||
                        flight->answer->error().kind == ErrorKind::busy) &&
                       Clock::now() < deadline;
    if (!retry) return *flight->answer;
  }
}

Outcome<std::optional<Traffic>> Client::traffic(std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, traffic_request(), timeout, read_traffic_reply, Role::ordinary);
}

Outcome<void> Client::cancel(std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, cancel_request(), timeout, read_cancel_reply, Role::cancel);
}

Outcome<Status> Client::disconnect(std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, disconnect_request(), timeout, read_disconnect_reply,
                       Role::disconnect);
}

Outcome<Status> Client::connect(const Profile& profile, std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, connect_request(profile), timeout, read_connect_reply,
                       Role::connect);
}

void Client::abandon() const {
  {
    // Under the lock, so that no waiter misses the wake-up between its
    // check and its wait.
    const std::lock_guard guard(shared_->lock);
    shared_->abandon.request_stop();
  }
  shared_->changed.notify_all();
}

}  // namespace morvex::client
