#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/failure.hpp"
#include "policy/profile.hpp"

namespace morvex {

// Largest request body the service reads and parses.
inline constexpr std::size_t max_request_bytes = 131072;

namespace request {
struct Capabilities {};
struct Status {};
struct Traffic {};
struct Cancel {};
struct Disconnect {};
struct Connect {
  Profile profile;
};
}  // namespace request

using Request = std::variant<request::Capabilities, request::Status, request::Traffic,
                             request::Cancel, request::Disconnect, request::Connect>;

enum class ConnectionState {
  disconnected,
  connecting,
  checking,
  reconnecting,
  disconnecting,
  connected,
  error,
};

std::string_view connection_state_name(ConnectionState state);

struct ConnectionInfo {
  std::int32_t server_id = 0;
  std::string location;
  std::string protocol;
  std::string dns;

  friend bool operator==(const ConnectionInfo&, const ConnectionInfo&) = default;
};

struct VpnStatus {
  std::optional<ConnectionInfo> connection;
  ConnectionState state = ConnectionState::disconnected;
  std::string platform = "windows";
  std::optional<std::string> active_profile;
  std::optional<std::string> public_address;
  std::optional<std::uint64_t> connected_at;
  std::string message;

  friend bool operator==(const VpnStatus&, const VpnStatus&) = default;
};

struct EngineCapabilities {
  bool openvpn = false;
  bool wireguard = false;
  std::string wireguard_message = "The installer supplies the Windows VPN engines.";

  friend bool operator==(const EngineCapabilities&, const EngineCapabilities&) = default;
};

// Bytes received through the tunnel, then bytes sent.
struct TrafficTotals {
  std::uint64_t received = 0;
  std::uint64_t sent = 0;

  friend bool operator==(const TrafficTotals&, const TrafficTotals&) = default;
};

// The result of a successful action: null, capabilities, a status, or
// traffic totals (where an absent total is written as null).
using ReplyValue = std::variant<std::monostate, EngineCapabilities, VpnStatus, TrafficTotals>;

Result<Request> parse_request(std::string_view body);

// Writes {"result":value} or {"error":message} as compact JSON with members
// sorted by name. Never fails.
std::string write_reply(const Result<ReplyValue>& reply);

VpnStatus disconnected_status();
VpnStatus error_status(std::string message);
ConnectionInfo connection_info_from_profile(const Profile& profile);

}  // namespace morvex
