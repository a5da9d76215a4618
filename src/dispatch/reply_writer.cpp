// Replies are built as JSON values whose objects keep their members sorted by
// name, then written compactly. The library's string escaping is exactly the
// wire rule: the two-character escapes for \b \t \n \f \r, \u00xx with
// lowercase digits for other control characters, and raw UTF-8 for the rest
// (U+007F included). A byte sequence that is not UTF-8 is replaced rather than
// failing, so writing a reply cannot fail.
#include <nlohmann/json.hpp>

#include "dispatch/messages.hpp"

namespace morvex {
namespace {

using json = nlohmann::json;

json optional_text(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

json to_json(const ConnectionInfo& info) {
  json object = json::object();
  object["dns"] = info.dns;
  object["location"] = info.location;
  object["protocol"] = info.protocol;
  object["serverId"] = info.server_id;
  return object;
}

json to_json(const VpnStatus& status) {
  json object = json::object();
  object["activeProfile"] = optional_text(status.active_profile);
  object["connectedAt"] = status.connected_at ? json(*status.connected_at) : json(nullptr);
  object["connection"] = status.connection ? to_json(*status.connection) : json(nullptr);
  object["message"] = status.message;
  object["platform"] = status.platform;
  object["publicAddress"] = optional_text(status.public_address);
  object["state"] = std::string(connection_state_name(status.state));
  return object;
}

json to_json(const EngineCapabilities& capabilities) {
  json object = json::object();
  object["openvpn"] = capabilities.openvpn;
  object["wireguard"] = capabilities.wireguard;
  object["wireguardMessage"] = capabilities.wireguard_message;
  return object;
}

json to_json(const TrafficTotals& totals) { return json::array({totals.received, totals.sent}); }

json to_json(std::monostate) { return nullptr; }

}  // namespace

std::string write_reply(const Result<ReplyValue>& reply) {
  json envelope = json::object();
  if (reply) {
    envelope["result"] = std::visit([](const auto& value) { return to_json(value); }, *reply);
  } else {
    envelope["error"] = reply.error().message;
  }
  return envelope.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace morvex
