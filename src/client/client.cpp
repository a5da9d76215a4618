#include "client/client.hpp"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "client/reply_reader.hpp"
#include "client/requests.hpp"

namespace morvex::client {

using Clock = std::chrono::steady_clock;

// The status call in flight, whose answer every status call that arrives
// meanwhile shares.
struct StatusFlight {
  std::mutex lock;
  std::condition_variable answered;
  std::optional<Outcome<Status>> answer;
};

struct Client::Shared {
  std::mutex lock;
  std::shared_ptr<StatusFlight> status_flight;
};

namespace {

template <typename Reader>
auto call(const Exchange& exchange, const Outcome<std::string>& request,
          std::chrono::milliseconds timeout, Reader read) -> decltype(read(std::string_view())) {
  if (!request) return std::unexpected(request.error());
  const auto reply = exchange(*request, timeout);
  if (!reply) return std::unexpected(reply.error());
  return read(*reply);
}

std::chrono::milliseconds remaining(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

}  // namespace

Client::Client(Exchange exchange)
    : exchange_(std::move(exchange)), shared_(std::make_shared<Shared>()) {}

Outcome<Capabilities> Client::capabilities(std::chrono::milliseconds timeout) const {
  return call(exchange_, capabilities_request(), timeout, read_capabilities_reply);
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
      auto answer = call(exchange_, status_request(), remaining(deadline), read_status_reply);
      {
        const std::lock_guard guard(shared_->lock);
        shared_->status_flight.reset();
      }
      {
        const std::lock_guard guard(flight->lock);
        flight->answer = answer;
      }
      flight->answered.notify_all();
      return answer;
    }
    std::unique_lock wait(flight->lock);
    if (!flight->answered.wait_until(wait, deadline, [&] { return flight->answer.has_value(); })) {
      return std::unexpected(make_error(ErrorKind::timed_out));
    }
    const bool retry = !*flight->answer && flight->answer->error().kind == ErrorKind::timed_out &&
                       Clock::now() < deadline;
    if (!retry) return *flight->answer;
  }
}

Outcome<std::optional<Traffic>> Client::traffic(std::chrono::milliseconds timeout) const {
  return call(exchange_, traffic_request(), timeout, read_traffic_reply);
}

Outcome<void> Client::cancel(std::chrono::milliseconds timeout) const {
  return call(exchange_, cancel_request(), timeout, read_cancel_reply);
}

Outcome<Status> Client::disconnect(std::chrono::milliseconds timeout) const {
  return call(exchange_, disconnect_request(), timeout, read_disconnect_reply);
}

Outcome<Status> Client::connect(const Profile& profile, std::chrono::milliseconds timeout) const {
  return call(exchange_, connect_request(profile), timeout, read_connect_reply);
}

}  // namespace morvex::client
