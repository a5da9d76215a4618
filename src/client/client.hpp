#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "client/client_values.hpp"
#include "policy/profile.hpp"

namespace morvex::client {

// One exchange with the service: sends a request body and gives the reply
// body, both within `timeout` in all; once `stop` is requested it ends
// promptly with abandoned. The pipe transport is one; tests and tools may
// wrap it.
using Exchange = std::function<Outcome<std::string>(
    std::string_view request, std::chrono::milliseconds timeout, std::stop_token stop)>;
// An exchange that cannot be abandoned while it runs: Client::abandon ends
// only the calls that wait for it.
using PlainExchange = std::function<Outcome<std::string>(std::string_view request,
                                                         std::chrono::milliseconds timeout)>;

// Default deadlines, each covering a whole call: finding a free pipe
// instance, sending, the service's work and the reply.
//
// The service's worst case for a connect that fails and restores the
// previous tunnel, which fails too, step by step: the OpenVPN version query
// 3 s; the status probe of the running tunnel 19 s (the query tool 3 s, the
// route and DNS script 10 s, the trace 6 s); its teardown 30 s (OpenVPN 10 s
// to leave and 5 s to end once terminated, WireGuard 15 s for the wait for a
// starting tunnel, the uninstall and the wait for it to go); then twice, for
// the new tunnel and the old one, a teardown with nothing left to stop (1 s),
// an engine start of 15 s (the install, or the adapter tool's create and list
// together), 30 s of waiting whose last probe may take 19 s more, and a
// teardown of 30 s; and a last teardown with nothing to stop (1 s):
// 3 + 19 + 30 + 2 x (1 + 15 + 49 + 30) + 1 = 243 s. The deadline leaves a
// minute beyond that for process starts on a loaded machine.
inline constexpr std::chrono::milliseconds connect_timeout = std::chrono::seconds(300);
// Status, traffic, capabilities and disconnect wait behind a running
// connect, then do their own work (a probe or a teardown).
inline constexpr std::chrono::milliseconds queued_timeout = std::chrono::seconds(330);
// A cancel never waits behind other work.
inline constexpr std::chrono::milliseconds cancel_timeout = std::chrono::seconds(10);

// The service's client: one call per action, each on a connection of its
// own. Calls may be made from any threads at once, but at most one request
// is in flight besides cancels: a call waits for the one before it within
// its own deadline and fails with busy when that passes first. Copies share
// that turn, the status call in flight and the abandon. No call throws.
class Client {
 public:
  explicit Client(Exchange exchange);
  explicit Client(PlainExchange exchange);

  Outcome<Capabilities> capabilities(std::chrono::milliseconds timeout = queued_timeout) const;
  // A status call made while another runs takes that call's answer instead
  // of sending a request of its own (it starts one itself only if that call
  // timed out or found no turn, and its own deadline has not passed yet).
  Outcome<Status> status(std::chrono::milliseconds timeout = queued_timeout) const;
  Outcome<std::optional<Traffic>> traffic(std::chrono::milliseconds timeout = queued_timeout) const;
  // Makes a running connect end as cancelled (its own call then gives the
  // disconnected status); safe to call from another thread while that
  // connect waits, and never waits for a turn.
  Outcome<void> cancel(std::chrono::milliseconds timeout = cancel_timeout) const;
  Outcome<Status> disconnect(std::chrono::milliseconds timeout = queued_timeout) const;
  Outcome<Status> connect(const Profile& profile,
                          std::chrono::milliseconds timeout = connect_timeout) const;

  // For the app's exit: every call in flight ends promptly with abandoned
  // (its connection is closed, whatever the service was doing goes on: a
  // connect keeps running unless cancelled first), and every later call fails
  // with abandoned at once. For this client and all its copies; for good.
  void abandon() const;

 private:
  struct Shared;
  Exchange exchange_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace morvex::client
