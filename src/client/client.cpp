#include "client/client.hpp"

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
// meanwhile shares.
struct StatusFlight {
  std::optional<Outcome<Status>> answer;
};

}  // namespace

// What copies of a Client share, under one lock; `changed` wakes the calls
// that wait for the turn or for a status answer.
struct Client::Shared {
  std::mutex lock;
  std::condition_variable changed;
  bool turn_taken = false;
  std::shared_ptr<StatusFlight> status_flight;
  std::stop_source abandon;

  bool abandoned() const { return abandon.stop_requested(); }

  // Waits for the one turn until `deadline`: busy when the deadline passes
  // first, abandoned when the client is abandoned meanwhile.
  Outcome<void> take_turn(Clock::time_point deadline) {
    std::unique_lock guard(lock);
    changed.wait_until(guard, deadline, [&] { return abandoned() || !turn_taken; });
    if (abandoned()) return failure(ErrorKind::abandoned);
    if (turn_taken) return failure(ErrorKind::busy);
    turn_taken = true;
    return {};
  }
  void give_turn_back() {
    {
      const std::lock_guard guard(lock);
      turn_taken = false;
    }
    changed.notify_all();
  }

  // One request and its reply; a call that `takes_turn` waits for the turn
  // first, within its deadline.
  template <typename Reader>
  auto call(const Exchange& exchange, const Outcome<std::string>& request,
            std::chrono::milliseconds timeout, Reader read, bool takes_turn)
      -> decltype(read(std::string_view())) {
    if (abandoned()) return failure(ErrorKind::abandoned);
    if (!request) return std::unexpected(request.error());
    const auto deadline = Clock::now() + timeout;
    if (takes_turn) {
      if (auto turn = take_turn(deadline); !turn) return std::unexpected(turn.error());
    }
    const auto reply = exchange(*request, remaining(deadline), abandon.get_token());
    if (takes_turn) give_turn_back();
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
  return shared_->call(exchange_, capabilities_request(), timeout, read_capabilities_reply, true);
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
      auto answer =
          shared_->call(exchange_, status_request(), remaining(deadline), read_status_reply, true);
      {
        const std::lock_guard guard(shared_->lock);
        shared_->status_flight.reset();
        flight->answer = answer;
      }
      shared_->changed.notify_all();
      return answer;
    }
    std::unique_lock wait(shared_->lock);
    const bool answered = shared_->changed.wait_until(
        wait, deadline, [&] { return flight->answer.has_value() || shared_->abandoned(); });
    if (shared_->abandoned()) return failure(ErrorKind::abandoned);
    if (!answered) return failure(ErrorKind::timed_out);
    // The leader's own deadline, not this call's, may have run out.
    const bool retry = !*flight->answer &&
                       (flight->answer->error().kind == ErrorKind::timed_out ||
                        flight->answer->error().kind == ErrorKind::busy) &&
                       Clock::now() < deadline;
    if (!retry) return *flight->answer;
  }
}

Outcome<std::optional<Traffic>> Client::traffic(std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, traffic_request(), timeout, read_traffic_reply, true);
}

Outcome<void> Client::cancel(std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, cancel_request(), timeout, read_cancel_reply, false);
}

Outcome<Status> Client::disconnect(std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, disconnect_request(), timeout, read_disconnect_reply, true);
}

Outcome<Status> Client::connect(const Profile& profile, std::chrono::milliseconds timeout) const {
  return shared_->call(exchange_, connect_request(profile), timeout, read_connect_reply, true);
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
