// Reads reply bodies into typed values. The body is parsed into a document
// (replies are small and bounded), with a parse callback that refuses a
// member given twice, which a plain document would silently keep once.
#include "client/reply_reader.hpp"

#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace morvex::client {
namespace {

using json = nlohmann::json;

std::unexpected<Error> malformed() { return std::unexpected(make_error(ErrorKind::malformed)); }

std::optional<json> parse_strictly(std::string_view body) {
  if (body.size() > max_body_bytes || body.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  std::vector<std::set<std::string>> open_objects;
  bool repeated = false;
  const json::parser_callback_t note_members = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) {
      open_objects.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      if (!open_objects.empty()) open_objects.pop_back();
    } else if (event == json::parse_event_t::key && !open_objects.empty() &&
               !open_objects.back().insert(parsed.get<std::string>()).second) {
      repeated = true;
    }
    return true;
  };
  json document = json::parse(body.begin(), body.end(), note_members, false);
  if (document.is_discarded() || repeated) return std::nullopt;
  return document;
}

// An object with exactly the members `names`.
bool has_exactly(const json& value, std::initializer_list<const char*> names) {
  if (!value.is_object() || value.size() != names.size()) return false;
  for (const char* name : names) {
    if (!value.contains(name)) return false;
  }
  return true;
}

std::optional<std::uint64_t> unsigned_value(const json& value) {
  if (!value.is_number_integer()) return std::nullopt;
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  return std::nullopt;  // a negative integer
}

std::optional<std::string> optional_text(const json& value, bool& ok) {
  if (value.is_null()) return std::nullopt;
  if (!value.is_string()) ok = false;
  return ok ? std::optional<std::string>(value.get<std::string>()) : std::nullopt;
}

std::optional<Connection> read_connection(const json& value, bool& ok) {
  if (value.is_null()) return std::nullopt;
  if (!has_exactly(value, {"dns", "location", "protocol", "serverId"}) ||
      !value["dns"].is_string() || !value["location"].is_string() ||
      !value["protocol"].is_string() || !value["serverId"].is_number_integer()) {
    ok = false;
    return std::nullopt;
  }
  const json& id = value["serverId"];
  const bool in_range =
      id.is_number_unsigned()
          ? id.get<std::uint64_t>() <=
                static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())
          : id.get<std::int64_t>() >= std::numeric_limits<std::int32_t>::min();
  if (!in_range) {
    ok = false;
    return std::nullopt;
  }
  return Connection{static_cast<std::int32_t>(id.get<std::int64_t>()),
                    value["location"].get<std::string>(), value["protocol"].get<std::string>(),
                    value["dns"].get<std::string>()};
}

// The members that each state fills or leaves null must agree with it, so
// that the app can trust, for example, a connected status to name its
// connection and public address.
bool coherent(const Status& status) {
  const bool tunnel = status.connection && status.active_profile && status.connected_at;
  const bool none = !status.connection && !status.active_profile && !status.connected_at &&
                    !status.public_address;
  switch (status.state) {
    case State::disconnected:
    case State::error: return none;
    case State::checking: return tunnel && !status.public_address;
    case State::connected: return tunnel && status.public_address.has_value();
    case State::connecting:
    case State::reconnecting:
    case State::disconnecting: return true;
  }
  return false;
}

std::optional<Status> read_status(const json& value) {
  if (!has_exactly(value, {"activeProfile", "connectedAt", "connection", "message", "platform",
                           "publicAddress", "state"}) ||
      !value["message"].is_string() || !value["platform"].is_string() ||
      !value["state"].is_string()) {
    return std::nullopt;
  }
  const auto state = connection_state_from_name(value["state"].get<std::string>());
  if (!state) return std::nullopt;
  bool ok = true;
  Status status;
  status.state = *state;
  status.connection = read_connection(value["connection"], ok);
  status.active_profile = optional_text(value["activeProfile"], ok);
  status.public_address = optional_text(value["publicAddress"], ok);
  if (!value["connectedAt"].is_null()) {
    status.connected_at = unsigned_value(value["connectedAt"]);
    ok = ok && status.connected_at.has_value();
  }
  status.platform = value["platform"].get<std::string>();
  status.message = value["message"].get<std::string>();
  if (!ok || !coherent(status)) return std::nullopt;
  return status;
}

// The envelope: the result's value, or the service's sentence as an Error.
Outcome<json> read_envelope(std::string_view body) {
  auto document = parse_strictly(body);
  if (!document || !document->is_object() || document->size() != 1) return malformed();
  if (document->contains("result")) return std::move((*document)["result"]);
  const auto error = document->find("error");
  if (error == document->end() || !error->is_string() || error->get<std::string>().empty()) {
    return malformed();
  }
  std::string message = error->get<std::string>();
  const ErrorKind kind = message == sentence::refused ? ErrorKind::refused : ErrorKind::service;
  return std::unexpected(Error{kind, std::move(message)});
}

Outcome<Status> read_status_in(std::string_view body, bool (*allowed)(State)) {
  auto result = read_envelope(body);
  if (!result) return std::unexpected(std::move(result.error()));
  auto status = read_status(*result);
  if (!status || !allowed(status->state)) return malformed();
  return std::move(*status);
}

}  // namespace

Outcome<Capabilities> read_capabilities_reply(std::string_view body) {
  auto result = read_envelope(body);
  if (!result) return std::unexpected(std::move(result.error()));
  const json& value = *result;
  if (!has_exactly(value, {"openvpn", "wireguard", "wireguardMessage"}) ||
      !value["openvpn"].is_boolean() || !value["wireguard"].is_boolean() ||
      !value["wireguardMessage"].is_string()) {
    return malformed();
  }
  return Capabilities{value["openvpn"].get<bool>(), value["wireguard"].get<bool>(),
                      value["wireguardMessage"].get<std::string>()};
}

Outcome<Status> read_status_reply(std::string_view body) {
  return read_status_in(body, [](State) { return true; });
}

Outcome<std::optional<Traffic>> read_traffic_reply(std::string_view body) {
  auto result = read_envelope(body);
  if (!result) return std::unexpected(std::move(result.error()));
  const json& value = *result;
  if (value.is_null()) return std::optional<Traffic>();
  if (!value.is_array() || value.size() != 2) return malformed();
  const auto received = unsigned_value(value[0]);
  const auto sent = unsigned_value(value[1]);
  if (!received || !sent) return malformed();
  return std::optional<Traffic>(Traffic{*received, *sent});
}

Outcome<void> read_cancel_reply(std::string_view body) {
  auto result = read_envelope(body);
  if (!result) return std::unexpected(std::move(result.error()));
  if (!result->is_null()) return malformed();
  return {};
}

Outcome<Status> read_disconnect_reply(std::string_view body) {
  return read_status_in(body, [](State state) { return state == State::disconnected; });
}

Outcome<Status> read_connect_reply(std::string_view body) {
  return read_status_in(
      body, [](State state) { return state == State::connected || state == State::disconnected; });
}

}  // namespace morvex::client
