#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/client_values.hpp"
#include "policy/profile.hpp"

namespace morvex::client {

// One exchange with the service: sends a request body and gives the reply
// body, both within `timeout` in all. The pipe transport is one; tests and
// tools may wrap it.
using Exchange = std::function<Outcome<std::string>(std::string_view request,
                                                    std::chrono::milliseconds timeout)>;

// Default deadlines, each covering a whole call: finding a free pipe
// instance, sending, the service's work and the reply.
//
// A connect may remember the running tunnel (a status probe of up to 19 s),
// tear it down (up to 25 s), bring the new one up (a teardown, an engine
// start of up to 15 s, 30 s of waiting with a last probe of up to 19 s, a
// teardown when it fails) and then restore the old one the same way: about
// 275 s at the very worst.
inline constexpr std::chrono::milliseconds connect_timeout = std::chrono::seconds(300);
// Status, traffic, capabilities and disconnect wait behind a running
// connect, then do their own work (a probe or a teardown).
inline constexpr std::chrono::milliseconds queued_timeout = std::chrono::seconds(330);
// A cancel never waits behind other work.
inline constexpr std::chrono::milliseconds cancel_timeout = std::chrono::seconds(10);

// The service's client: one call per action, each on a connection of its
// own. Calls may run on any threads at once; copies share the state of the
// one status call in flight. No call throws.
class Client {
 public:
  explicit Client(Exchange exchange);

  Outcome<Capabilities> capabilities(std::chrono::milliseconds timeout = queued_timeout) const;
  // At most one status request of this client is in flight: a status call
  // made while another runs takes that call's answer instead of sending a
  // request of its own (it starts one itself only if that call timed out
  // and its own deadline has not passed yet).
  Outcome<Status> status(std::chrono::milliseconds timeout = queued_timeout) const;
  Outcome<std::optional<Traffic>> traffic(std::chrono::milliseconds timeout = queued_timeout) const;
  // Makes a running connect end as cancelled (its own call then gives the
  // disconnected status); safe to call from another thread while that
  // connect waits.
  Outcome<void> cancel(std::chrono::milliseconds timeout = cancel_timeout) const;
  Outcome<Status> disconnect(std::chrono::milliseconds timeout = queued_timeout) const;
  Outcome<Status> connect(const Profile& profile,
                          std::chrono::milliseconds timeout = connect_timeout) const;

 private:
  struct Shared;
  Exchange exchange_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace morvex::client
