#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

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
}  // namespace sentence

Error make_error(ErrorKind kind);

// The tunnel states of the shared vocabulary; the service reports
// disconnected, checking, connected and error.
enum class State {
  disconnected,
  connecting,
  checking,
  reconnecting,
  disconnecting,
  connected,
  error,
};

std::string_view state_name(State state);
std::optional<State> state_from_name(std::string_view name);

// What the active tunnel was asked to be.
struct Connection {
  std::int32_t server_id = 0;
  std::string location;
  std::string protocol;
  std::string dns;

  friend bool operator==(const Connection&, const Connection&) = default;
};

struct Status {
  std::optional<Connection> connection;
  State state = State::disconnected;
  std::string platform;
  std::optional<std::string> active_profile;
  std::optional<std::string> public_address;
  // Milliseconds since 1970-01-01 UTC when the engine was started.
  std::optional<std::uint64_t> connected_at;
  std::string message;

  friend bool operator==(const Status&, const Status&) = default;
};

struct Capabilities {
  bool openvpn = false;
  bool wireguard = false;
  std::string wireguard_message;

  friend bool operator==(const Capabilities&, const Capabilities&) = default;
};

// Bytes received through the tunnel, then bytes sent.
struct Traffic {
  std::uint64_t received = 0;
  std::uint64_t sent = 0;

  friend bool operator==(const Traffic&, const Traffic&) = default;
};

}  // namespace morvex::client
