#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvex {

// The reply values that the service writes and the desktop app reads: the
// vocabulary the two share. Header-only, so that the client library can ship
// it without the service.

enum class ConnectionState {
  disconnected,
  connecting,
  checking,
  reconnecting,
  disconnecting,
  connected,
  error,
};

// The text of each state, and the state of a text (exact match).
constexpr std::string_view connection_state_name(ConnectionState state) {
  switch (state) {
    case ConnectionState::disconnected: return "disconnected";
    case ConnectionState::connecting: return "connecting";
    case ConnectionState::checking: return "checking";
    case ConnectionState::reconnecting: return "reconnecting";
    case ConnectionState::disconnecting: return "disconnecting";
    case ConnectionState::connected: return "connected";
    case ConnectionState::error: return "error";
  }
  return "error";
}

constexpr std::optional<ConnectionState> connection_state_from_name(std::string_view name) {
  for (int i = 0; i <= static_cast<int>(ConnectionState::error); ++i) {
    const auto state = static_cast<ConnectionState>(i);
    if (connection_state_name(state) == name) return state;
  }
  return std::nullopt;
}

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

}  // namespace morvex
