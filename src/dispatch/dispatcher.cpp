#include "dispatch/dispatcher.hpp"

#include <stdexcept>
#include <type_traits>

namespace morvex {
namespace {

constexpr const char* service_stopping_message = "VPN service is stopping.";
constexpr const char* service_starting_message = "VPN service is starting.";
constexpr const char* service_unavailable_message = "VPN service is unavailable.";
constexpr const char* request_fault_message = "VPN service could not complete the request.";

std::string error_reply(const char* message) { return write_reply(fail(message)); }

}  // namespace

std::string Dispatcher::handle_request(std::string_view body) {
  // The fault barrier: anything thrown below is an internal fault. A fault
  // while the lock is held leaves the record in an unknown state, so the lock
  // is marked unusable before it is released.
  try {
    auto request = parse_request(body);
    if (!request) return write_reply(std::unexpected(request.error()));

    if (service_stopping_.load()) return error_reply(service_stopping_message);

    std::uint64_t generation = 0;
    if (std::holds_alternative<request::Cancel>(*request)) {
      attempt_generation_.fetch_add(1);
      return write_reply(ReplyValue{});
    }
    if (std::holds_alternative<request::Connect>(*request) ||
        std::holds_alternative<request::Disconnect>(*request)) {
      generation = attempt_generation_.fetch_add(1) + 1;
    }

    if (!cell_.filled()) return error_reply(service_starting_message);

    auto lock = cell_.lock();
    if (lock.unusable()) return error_reply(service_unavailable_message);
    // A request that waited for the lock while the stop began would otherwise
    // run after the stop's last teardown, starting programs in a process that
    // is about to end.
    if (service_stopping_.load()) return error_reply(service_stopping_message);

    Result<ReplyValue> outcome;
    try {
      outcome = run_locked(lock.record(), *request, generation);
    } catch (...) {
      lock.mark_unusable();
      throw;
    }
    lock.release();
    return write_reply(outcome);
  } catch (...) {
    return error_reply(request_fault_message);
  }
}

Result<ReplyValue> Dispatcher::run_locked(TunnelState& state, Request& request,
                                          std::uint64_t generation) {
  return std::visit(
      [&](auto& action) -> Result<ReplyValue> {
        using Action = std::decay_t<decltype(action)>;
        if constexpr (std::is_same_v<Action, request::Capabilities>) {
          return engine_.query_capabilities(state);
        } else if constexpr (std::is_same_v<Action, request::Status>) {
          return engine_.probe_status(state);
        } else if constexpr (std::is_same_v<Action, request::Traffic>) {
          auto totals = engine_.read_traffic(state);
          if (!totals) return ReplyValue{};
          return *totals;
        } else if constexpr (std::is_same_v<Action, request::Disconnect>) {
          auto torn_down = engine_.teardown_tunnel(state);
          if (!torn_down) return std::unexpected(torn_down.error());
          return disconnected_status();
        } else if constexpr (std::is_same_v<Action, request::Connect>) {
          auto profile = engine_.validate_connect_request(std::move(action.profile));
          if (!profile) return std::unexpected(profile.error());
          const Attempt attempt(service_stopping_, attempt_generation_, generation);
          auto status = engine_.connect_with_recovery(state, std::move(*profile), attempt);
          if (!status) return std::unexpected(status.error());
          return std::move(*status);
        } else {
          // Cancel never reaches the lock; reaching here is a broken invariant.
          static_assert(std::is_same_v<Action, request::Cancel>);
          throw std::logic_error("cancel under the tunnel-state lock");
        }
      },
      request);
}

}  // namespace morvex
