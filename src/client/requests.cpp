#include "client/requests.hpp"

#include <nlohmann/json.hpp>

namespace morvex::client {
namespace {

std::string action_only(const char* action) {
  return std::string(R"({"action":")") + action + R"("})";
}

}  // namespace

std::string capabilities_request() { return action_only("capabilities"); }
std::string status_request() { return action_only("status"); }
std::string traffic_request() { return action_only("traffic"); }
std::string cancel_request() { return action_only("cancel"); }
std::string disconnect_request() { return action_only("disconnect"); }

Outcome<std::string> connect_request(const Profile& profile) {
  const nlohmann::json body = {
      {"action", "connect"},
      {"profile",
       {
           {"serverId", profile.server_id},
           {"location", profile.location},
           {"protocol", profile.protocol},
           {"config", profile.config},
           {"dns", profile.dns},
           {"recoveryProtocol", profile.recovery_protocol},
           {"username", profile.username},
           {"password", profile.password},
       }},
  };
  std::string text;
  try {
    // The strict handler refuses invalid UTF-8 instead of altering the text.
    text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::unexpected(make_error(ErrorKind::invalid_request));
  }
  if (text.size() > max_body_bytes) {
    return std::unexpected(Error{ErrorKind::invalid_request, std::string(sentence::too_large)});
  }
  return text;
}

}  // namespace morvex::client
