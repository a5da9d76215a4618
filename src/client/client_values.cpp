#include "client/client_values.hpp"

#include <array>
#include <utility>

namespace morvex::client {
namespace {

constexpr std::array<std::pair<State, std::string_view>, 7> state_names = {{
    {State::disconnected, "disconnected"},
    {State::connecting, "connecting"},
    {State::checking, "checking"},
    {State::reconnecting, "reconnecting"},
    {State::disconnecting, "disconnecting"},
    {State::connected, "connected"},
    {State::error, "error"},
}};

}  // namespace

Error make_error(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::refused: return {kind, std::string(sentence::refused)};
    case ErrorKind::no_service: return {kind, std::string(sentence::no_service)};
    case ErrorKind::busy: return {kind, std::string(sentence::busy)};
    case ErrorKind::timed_out: return {kind, std::string(sentence::timed_out)};
    case ErrorKind::malformed: return {kind, std::string(sentence::malformed)};
    case ErrorKind::invalid_request: return {kind, std::string(sentence::invalid_request)};
    case ErrorKind::broken:
    case ErrorKind::service: break;
  }
  return {ErrorKind::broken, std::string(sentence::broken)};
}

std::string_view state_name(State state) {
  for (const auto& [value, name] : state_names) {
    if (value == state) return name;
  }
  return "error";
}

std::optional<State> state_from_name(std::string_view name) {
  for (const auto& [value, text] : state_names) {
    if (text == name) return value;
  }
  return std::nullopt;
}

}  // namespace morvex::client
