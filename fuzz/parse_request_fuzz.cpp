// Whatever bytes arrive, parse_request gives a request or one of its two
// sentences; a body it accepts is plain JSON text (no byte-order mark, no
// control byte other than white space between tokens), and the request,
// written back as JSON, parses to the same request again.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "dispatch/messages.hpp"

namespace {

using morvex::Request;
namespace request = morvex::request;

std::string action_name(const Request& value) {
  constexpr const char* names[] = {"capabilities", "status",     "traffic",
                                   "cancel",       "disconnect", "connect"};
  return names[value.index()];
}

std::string write_request(const Request& value) {
  nlohmann::json object = nlohmann::json::object();
  object["action"] = action_name(value);
  if (const auto* connect = std::get_if<request::Connect>(&value)) {
    const auto& profile = connect->profile;
    object["profile"] = {{"serverId", profile.server_id},
                         {"location", profile.location},
                         {"protocol", profile.protocol},
                         {"config", profile.config},
                         {"dns", profile.dns},
                         {"recoveryProtocol", profile.recovery_protocol},
                         {"username", profile.username},
                         {"password", profile.password}};
  }
  return object.dump();
}

// Whether the body is JSON text as the service takes it: it does not begin
// with a byte-order mark, no byte below 0x20 stands inside a string, and
// outside strings the only such bytes are tab, line feed and carriage return.
bool is_plain_json_text(std::string_view body) {
  if (body.starts_with("\xEF\xBB\xBF")) return false;
  bool in_string = false;
  bool escaped = false;
  for (const char c : body) {
    const auto byte = static_cast<unsigned char>(c);
    if (in_string) {
      if (byte < 0x20) return false;
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

bool same(const Request& a, const Request& b) {
  if (a.index() != b.index()) return false;
  const auto* ca = std::get_if<request::Connect>(&a);
  const auto* cb = std::get_if<request::Connect>(&b);
  return ca == nullptr || ca->profile == cb->profile;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const auto parsed = morvex::parse_request(body);
  if (!parsed) {
    const auto& message = parsed.error().message;
    const bool too_large = size > morvex::max_request_bytes;
    if (too_large && message != "VPN request is too large.") __builtin_trap();
    if (!too_large && message != "Invalid VPN request.") __builtin_trap();
    return 0;
  }
  if (!is_plain_json_text(body)) __builtin_trap();
  const std::string rewritten = write_request(*parsed);
  const auto reparsed = morvex::parse_request(rewritten);
  if (!reparsed || !same(*parsed, *reparsed)) __builtin_trap();
  return 0;
}
