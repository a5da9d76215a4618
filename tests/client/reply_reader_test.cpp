#include "client/reply_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/requests.hpp"

namespace morvex::client {
namespace {

std::string status_json(
    const std::string& state, const std::string& tunnel_members,
    const std::string& message = "Checking VPN routes, DNS and internet access.") {
  return R"({"result":{)" + tunnel_members + R"(,"message":")" + message +
         R"(","platform":"windows","state":")" + state + R"("}})";
}
const std::string idle_members =
    R"("activeProfile":null,"connectedAt":null,"connection":null,"publicAddress":null)";
const std::string oslo_members =
    R"("activeProfile":"WireGuard","connectedAt":1700000000000,)"
    R"("connection":{"dns":"quad9","location":"Oslo","protocol":"automatic","serverId":7})";
const std::string checking_members = oslo_members + R"(,"publicAddress":null)";
const std::string connected_members = oslo_members + R"(,"publicAddress":"203.0.113.7")";

Status status_of(State state, bool tunnel, bool verified, std::string message) {
  Status status;
  status.state = state;
  status.platform = "windows";
  status.message = std::move(message);
  if (tunnel) {
    status.connection = Connection{7, "Oslo", "automatic", "quad9"};
    status.active_profile = "WireGuard";
    status.connected_at = 1700000000000u;
  }
  if (verified) status.public_address = "203.0.113.7";
  return status;
}

TEST(ReplyReader, ReadsEveryState) {
  const std::string checking = "Checking VPN routes, DNS and internet access.";
  const struct {
    std::string body;
    Status expected;
  } rows[] = {
      {status_json("disconnected", idle_members, "VPN is disconnected."),
       status_of(State::disconnected, false, false, "VPN is disconnected.")},
      {status_json("checking", checking_members),
       status_of(State::checking, true, false, checking)},
      {status_json("connected", connected_members),
       status_of(State::connected, true, true, checking)},
      {status_json("error", idle_members, "The WireGuard connection stopped. Try reconnecting."),
       status_of(State::error, false, false,
                 "The WireGuard connection stopped. Try reconnecting.")},
      // The states that this service never writes still read.
      {status_json("connecting", idle_members, "x"),
       status_of(State::connecting, false, false, "x")},
      {status_json("reconnecting", connected_members, "x"),
       status_of(State::reconnecting, true, true, "x")},
      {status_json("disconnecting", checking_members, "x"),
       status_of(State::disconnecting, true, false, "x")},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(read_status_reply(row.body), row.expected) << row.body;
  }
  // Which states each action may give.
  EXPECT_TRUE(read_connect_reply(status_json("connected", connected_members)));
  EXPECT_TRUE(
      read_connect_reply(status_json("disconnected", idle_members, "VPN is disconnected.")));
  EXPECT_TRUE(
      read_disconnect_reply(status_json("disconnected", idle_members, "VPN is disconnected.")));
}

TEST(ReplyReader, ReadsTheOtherResults) {
  EXPECT_EQ(read_capabilities_reply(
                R"({"result":{"openvpn":false,"wireguard":true,"wireguardMessage":"m."}})"),
            (Capabilities{false, true, "m."}));
  EXPECT_EQ(read_traffic_reply(R"({"result":[1024,18446744073709551615]})").value(),
            (Traffic{1024, 18446744073709551615u}));
  EXPECT_EQ(read_traffic_reply(R"({"result":null})").value(), std::nullopt);
  EXPECT_TRUE(read_cancel_reply("{\"result\":null}\n"));
}

TEST(ReplyReader, GivesEachErrorItsKind) {
  const struct {
    std::string body;
    ErrorKind kind;
    std::string message;
  } rows[] = {
      {R"({"error":"VPN service is starting."})", ErrorKind::service, "VPN service is starting."},
      {R"({"error":"The new VPN connection failed; your previous connection has been restored."})",
       ErrorKind::service,
       "The new VPN connection failed; your previous connection has been restored."},
      {R"({"error":"Only the Morvex VPN app can use this service."})", ErrorKind::refused,
       "Only the Morvex VPN app can use this service."},
      {"not json", ErrorKind::malformed,
       "The Morvex VPN service sent a reply that this app cannot read."},
  };
  for (const auto& row : rows) {
    const Error expected{row.kind, row.message};
    EXPECT_EQ(read_status_reply(row.body).error(), expected) << row.body;
    EXPECT_EQ(read_capabilities_reply(row.body).error(), expected) << row.body;
    EXPECT_EQ(read_traffic_reply(row.body).error(), expected) << row.body;
    EXPECT_EQ(read_cancel_reply(row.body).error(), expected) << row.body;
    EXPECT_EQ(read_connect_reply(row.body).error(), expected) << row.body;
  }
}

enum class Reader { status, disconnect, connect, capabilities, traffic, cancel };

// The error of reading `body` as the reply of `reader`'s action, if any.
std::optional<Error> error_of(Reader reader, std::string_view body) {
  const auto error = [](const auto& outcome) {
    return outcome ? std::nullopt : std::optional<Error>(outcome.error());
  };
  switch (reader) {
    case Reader::status: return error(read_status_reply(body));
    case Reader::disconnect: return error(read_disconnect_reply(body));
    case Reader::connect: return error(read_connect_reply(body));
    case Reader::capabilities: return error(read_capabilities_reply(body));
    case Reader::traffic: return error(read_traffic_reply(body));
    case Reader::cancel: return error(read_cancel_reply(body));
  }
  return std::nullopt;
}

std::string connection_with(const std::string& connected_at, const std::string& server_id) {
  return R"("activeProfile":"WireGuard","connectedAt":)" + connected_at +
         R"(,"connection":{"dns":"quad9","location":"Oslo","protocol":"automatic","serverId":)" +
         server_id + R"(},"publicAddress":"203.0.113.7")";
}

TEST(ReplyReader, RefusesMalformedReplies) {
  const std::string idle = status_json("disconnected", idle_members, "VPN is disconnected.");
  std::string oversized = R"({"result":null})";
  oversized.resize(131073, ' ');
  const struct {
    const char* what;
    Reader reader;
    std::string body;
  } rows[] = {
      {"empty", Reader::status, ""},
      {"byte-order mark", Reader::status, "\xEF\xBB\xBF" + idle},
      {"text after the value", Reader::status, idle + " x"},
      {"invalid UTF-8", Reader::cancel, "{\"error\":\"VPN \xFF\"}"},
      {"above the largest body", Reader::cancel, oversized},
      {"result and error", Reader::cancel, R"({"result":null,"error":"x."})"},
      {"neither result nor error", Reader::cancel, R"({"value":null})"},
      {"envelope member repeated", Reader::cancel, R"({"result":null,"result":null})"},
      {"empty error", Reader::cancel, R"({"error":""})"},
      {"error that is not text", Reader::cancel, R"({"error":7})"},
      {"cancel with a value", Reader::cancel, R"({"result":[]})"},
      {"status member repeated", Reader::status,
       R"({"result":{"state":"error",)" + idle.substr(11)},
      {"unknown status member", Reader::status, R"({"result":{"extra":1,)" + idle.substr(11)},
      {"missing status member", Reader::status,
       R"({"result":{"activeProfile":null,"connectedAt":null,"connection":null,)"
       R"("message":"m.","platform":"windows","state":"disconnected"}})"},
      {"unknown state", Reader::status, status_json("paused", idle_members)},
      {"state in capitals", Reader::status, status_json("Connected", connected_members)},
      {"state as a number", Reader::status,
       R"({"result":{"activeProfile":null,"connectedAt":null,"connection":null,)"
       R"("message":"m.","platform":"windows","publicAddress":null,"state":5}})"},
      {"connected without a public address", Reader::status,
       status_json("connected", checking_members)},
      {"disconnected naming a connection", Reader::status,
       status_json("disconnected", connected_members)},
      {"connected time as a fraction", Reader::status,
       status_json("connected", connection_with("1.5", "7"))},
      {"negative connected time", Reader::status,
       status_json("connected", connection_with("-1", "7"))},
      {"server identifier beyond 32 bits", Reader::status,
       status_json("connected", connection_with("1", "2147483648"))},
      {"server identifier as text", Reader::status,
       status_json("connected", connection_with("1", "\"7\""))},
      {"disconnect that stayed connected", Reader::disconnect,
       status_json("connected", connected_members)},
      {"connect that ended checking", Reader::connect, status_json("checking", checking_members)},
      {"capabilities without the message", Reader::capabilities,
       R"({"result":{"openvpn":true,"wireguard":true}})"},
      {"capabilities flag as text", Reader::capabilities,
       R"({"result":{"openvpn":"yes","wireguard":true,"wireguardMessage":"m."}})"},
      {"three traffic totals", Reader::traffic, R"({"result":[1,2,3]})"},
      {"negative traffic total", Reader::traffic, R"({"result":[1,-2]})"},
      {"traffic total beyond 64 bits", Reader::traffic, R"({"result":[1,18446744073709551616]})"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(error_of(row.reader, row.body),
              (Error{ErrorKind::malformed,
                     "The Morvex VPN service sent a reply that this app cannot read."}))
        << row.what;
  }
}

TEST(Requests, ConnectCarriesTheWholeProfileOrIsNotSent) {
  const Profile profile{7, "Os\"lo\n", "wireguard", "[Interface]\r\n", "quad9", "", "u", "p"};
  EXPECT_EQ(connect_request(profile),
            R"({"action":"connect","profile":{"config":"[Interface]\r\n","dns":"quad9",)"
            R"("location":"Os\"lo\n","password":"p","protocol":"wireguard",)"
            R"("recoveryProtocol":"","serverId":7,"username":"u"}})");
  Profile broken = profile;
  broken.location = "Os\xC0lo";
  EXPECT_EQ(connect_request(broken).error(),
            (Error{ErrorKind::invalid_request, "Invalid VPN request."}));
  Profile large = profile;
  large.config.assign(131072, 'a');
  EXPECT_EQ(connect_request(large).error(),
            (Error{ErrorKind::invalid_request, "VPN request is too large."}));
}

}  // namespace
}  // namespace morvex::client
