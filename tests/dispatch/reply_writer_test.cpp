#include <gtest/gtest.h>

#include <string>

#include "dispatch/messages.hpp"

namespace morvex {
namespace {

TEST(WriteReply, DisconnectedStatusHasItsExactWireText) {
  EXPECT_EQ(write_reply(ReplyValue{disconnected_status()}),
            R"({"result":{"activeProfile":null,"connectedAt":null,"connection":null,)"
            R"("message":"VPN is disconnected.","platform":"windows","publicAddress":null,)"
            R"("state":"disconnected"}})");
}

TEST(WriteReply, NullResultAndErrorEnvelopes) {
  EXPECT_EQ(write_reply(ReplyValue{}), R"({"result":null})");
  EXPECT_EQ(write_reply(fail("VPN service timed out.")), R"({"error":"VPN service timed out."})");
}

TEST(WriteReply, ConnectedStatusWritesEveryMemberSorted) {
  Profile profile{42, "Oslo", "wireguard", "cfg", "quad9", "automatic", "u", "p"};
  VpnStatus status;
  status.connection = connection_info_from_profile(profile);
  status.state = ConnectionState::connected;
  status.active_profile = "WireGuard";
  status.public_address = "203.0.113.9";
  status.connected_at = 18446744073709551615ull;
  status.message = "VPN is connected.";
  EXPECT_EQ(
      write_reply(ReplyValue{status}),
      R"({"result":{"activeProfile":"WireGuard","connectedAt":18446744073709551615,)"
      R"("connection":{"dns":"quad9","location":"Oslo","protocol":"automatic","serverId":42},)"
      R"("message":"VPN is connected.","platform":"windows","publicAddress":"203.0.113.9",)"
      R"("state":"connected"}})");
}

TEST(WriteReply, CapabilitiesAndTraffic) {
  EXPECT_EQ(write_reply(ReplyValue{EngineCapabilities{true, false}}),
            R"({"result":{"openvpn":true,"wireguard":false,)"
            R"("wireguardMessage":"The installer supplies the Windows VPN engines."}})");
  EXPECT_EQ(write_reply(ReplyValue{TrafficTotals{0, 18446744073709551615ull}}),
            R"({"result":[0,18446744073709551615]})");
}

TEST(WriteReply, NegativeServerIdIsWrittenWithASign) {
  VpnStatus status = error_status("x");
  status.connection = ConnectionInfo{-2147483648, "l", "openvpn", "server"};
  const auto text = write_reply(ReplyValue{status});
  EXPECT_NE(text.find(R"("serverId":-2147483648})"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("state":"error")"), std::string::npos) << text;
}

TEST(WriteReply, StringsUseTheWireEscapes) {
  struct Case {
    std::string raw;
    std::string written;
  };
  const Case cases[] = {
      {"\"", R"(\")"},
      {"\\", R"(\\)"},
      {"/", "/"},
      {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
      {std::string("\x00\x01\x1f", 3), R"(\u0000\u0001\u001f)"},
      {"\x1b", R"(\u001b)"},
      {"\x7f", "\x7f"},
      {"Z\xC3\xBCrich \xE2\x80\xA8 \xF0\x9F\x98\x80",
       "Z\xC3\xBCrich \xE2\x80\xA8 \xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(write_reply(fail(c.raw)), R"({"error":")" + c.written + R"("})") << c.written;
  }
}

TEST(WriteReply, BytesThatAreNotUtf8AreReplacedNotFatal) {
  EXPECT_EQ(write_reply(fail("a\xFF"
                             "b")),
            "{\"error\":\"a\xEF\xBF\xBD"
            "b\"}");
}

TEST(StatusBuilders, ConnectionInfoReportsTheRecoveryProtocolWhenChosen) {
  Profile profile{3, "Rome", "wireguard", "c", "server", "", "", ""};
  EXPECT_EQ(connection_info_from_profile(profile),
            (ConnectionInfo{3, "Rome", "wireguard", "server"}));
  profile.recovery_protocol = "automatic";
  EXPECT_EQ(connection_info_from_profile(profile).protocol, "automatic");
}

TEST(StatusBuilders, ErrorStatusKeepsTheMessageAndNothingElse) {
  const auto status = error_status("The OpenVPN connection stopped. Try reconnecting.");
  EXPECT_EQ(status.state, ConnectionState::error);
  EXPECT_EQ(status.message, "The OpenVPN connection stopped. Try reconnecting.");
  EXPECT_EQ(status.platform, "windows");
  EXPECT_FALSE(status.connection || status.active_profile || status.public_address ||
               status.connected_at);
}

TEST(ConnectionStateNames, AllSevenInOrder) {
  const char* names[] = {"disconnected",  "connecting", "checking", "reconnecting",
                         "disconnecting", "connected",  "error"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(connection_state_name(static_cast<ConnectionState>(i)), names[i]);
  }
}

}  // namespace
}  // namespace morvex
