#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "dispatch/reply_values.hpp"

namespace morvex::client {

// Largest body in either direction of an exchange.
inline constexpr std::size_t max_body_bytes = 131072;

// What went wrong with a call, so that the app can react to the kind and
// show the message as it stands.
enum class ErrorKind {
  service,          // the service's own sentence for the user
  refused,          // the service does not serve this program
  no_service,       // the pipe is absent: the service is not running
  busy,             // every pipe instance stayed busy until the deadline
  timed_out,        // no complete reply before the deadline
  broken,           // the connection ended before a complete reply
  malformed,        // a reply that the reply rules refuse
  invalid_request,  // the request cannot be sent as it stands
  impostor,         // the pipe is served by a program other than the running service
  abandoned,        // Client::abandon() ended the call, or came before it
};

struct Error {
  ErrorKind kind = ErrorKind::broken;
  std::string message;

  friend bool operator==(const Error&, const Error&) = default;
};

template <typename T>
using Outcome = std::expected<T, Error>;

// The sentences of the errors that the library itself reports.
namespace sentence {
inline constexpr std::string_view refused = "Only the Morvex VPN app can use this service.";
inline constexpr std::string_view no_service = "The Morvex VPN service is not running.";
inline constexpr std::string_view busy = "The Morvex VPN service is busy. Try again.";
inline constexpr std::string_view timed_out = "The Morvex VPN service did not answer in time.";
inline constexpr std::string_view broken =
    "The connection to the Morvex VPN service was interrupted.";
inline constexpr std::string_view malformed =
    "The Morvex VPN service sent a reply that this app cannot read.";
inline constexpr std::string_view too_large = "VPN request is too large.";
inline constexpr std::string_view invalid_request = "Invalid VPN request.";
inline constexpr std::string_view impostor =
    "Another program is answering in place of the Morvex VPN service. Restart the computer.";
inline constexpr std::string_view abandoned =
    "The request to the Morvex VPN service was abandoned.";
}  // namespace sentence

Error make_error(ErrorKind kind);

// The reply values, shared with the service: a status with its state and
// connection, the engines' capabilities, the traffic totals.
using State = ConnectionState;
using Connection = ConnectionInfo;
using Status = VpnStatus;
using Capabilities = EngineCapabilities;
using Traffic = TrafficTotals;

}  // namespace morvex::client
