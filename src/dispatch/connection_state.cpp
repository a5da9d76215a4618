#include "dispatch/messages.hpp"

namespace morvex {

std::string_view connection_state_name(ConnectionState state) {
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

}  // namespace morvex
