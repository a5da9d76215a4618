#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "dispatch/messages.hpp"
#include "protocol/request_shapes.hpp"

namespace morvex {
namespace {

const std::string full_profile =
    R"({"serverId":7,"location":"Oslo","protocol":"wireguard","config":"[Interface]\nA = B",)"
    R"("dns":"quad9","recoveryProtocol":"automatic","username":"u","password":"p"})";

const std::string minimal_profile =
    R"({"serverId":7,"location":"Oslo","protocol":"openvpn","config":"c","username":"u","password":"p"})";

std::string connect_with(const std::string& profile) {
  return R"({"action":"connect","profile":)" + profile + "}";
}

std::string message_of(std::string_view body) {
  auto request = parse_request(body);
  return request ? std::string("parsed") : request.error().message;
}

TEST(ParseRequest, ActionsWithoutDataParseToTheirVariant) {
  struct Case {
    const char* body;
    std::size_t index;
  };
  const Case cases[] = {
      {R"({"action":"capabilities"})", 0}, {R"({"action":"status"})", 1},
      {R"({"action":"traffic"})", 2},      {R"({"action":"cancel"})", 3},
      {R"({"action":"disconnect"})", 4},
  };
  for (const auto& c : cases) {
    auto request = parse_request(c.body);
    ASSERT_TRUE(request) << c.body;
    EXPECT_EQ(request->index(), c.index) << c.body;
  }
}

TEST(ParseRequest, ConnectCarriesEveryProfileMember) {
  auto request = parse_request(connect_with(full_profile));
  ASSERT_TRUE(request);
  const auto& profile = std::get<request::Connect>(*request).profile;
  EXPECT_EQ(profile, (Profile{7, "Oslo", "wireguard", "[Interface]\nA = B", "quad9", "automatic",
                              "u", "p"}));
}

TEST(ParseRequest, AbsentOptionalMembersTakeTheirDefaults) {
  auto request = parse_request(connect_with(minimal_profile));
  ASSERT_TRUE(request);
  const auto& profile = std::get<request::Connect>(*request).profile;
  EXPECT_EQ(profile.dns, "server");
  EXPECT_EQ(profile.recovery_protocol, "");
}

TEST(ParseRequest, MemberOrderDoesNotMatter) {
  const std::string profile_first = R"({"profile":)" + full_profile + R"(,"action":"connect"})";
  auto a = parse_request(profile_first);
  auto b = parse_request(connect_with(full_profile));
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  EXPECT_EQ(std::get<request::Connect>(*a).profile, std::get<request::Connect>(*b).profile);
}

TEST(ParseRequest, EscapesAreDecodedAndNonAsciiKept) {
  auto request = parse_request(connect_with(
      R"({"serverId":1,"location":"Z\u00fcrich \"1\"","protocol":"openvpn","config":"a\r\nb\\c",)"
      R"("username":"\u00e9","password":"\ud83d\ude00"})"));
  ASSERT_TRUE(request);
  const auto& profile = std::get<request::Connect>(*request).profile;
  EXPECT_EQ(profile.location, "Z\xC3\xBCrich \"1\"");
  EXPECT_EQ(profile.config, "a\r\nb\\c");
  EXPECT_EQ(profile.username, "\xC3\xA9");
  EXPECT_EQ(profile.password, "\xF0\x9F\x98\x80");
}

TEST(ParseRequest, ServerIdKeepsTheLowestSigned32BitValue) {
  auto parsed = parse_request(connect_with(
      R"({"serverId":-2147483648,"location":"l","protocol":"p","config":"c","username":"u",)"
      R"("password":"p"})"));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(std::get<request::Connect>(*parsed).profile.server_id, -2147483648);
}

// The request shapes live in one table that the schema check reads too, so
// the parser and the published request schema cannot drift apart.
TEST(ParseRequest, SharedRequestTable) {
  const auto rows = nlohmann::json::parse(testing::request_shapes_json);
  ASSERT_GT(rows.size(), 50u);
  for (const auto& row : rows) {
    const auto body = row.at("body").get<std::string>();
    const bool accepted = row.at("verdict") == "accepted";
    EXPECT_EQ(message_of(body), accepted ? "parsed" : "Invalid VPN request.")
        << row.at("why").get<std::string>();
  }
}

TEST(ParseRequest, BytesThatAreNotUtf8AreRefused) {
  for (const char* body : {"{\"action\":\"stat\x80us\"}", "{\"action\":\"status\"}\xFF",
                           "{\"action\":\"st\xC0\xAF"
                           "atus\"}"}) {
    EXPECT_EQ(message_of(body), "Invalid VPN request.") << body;
  }
}

TEST(ParseRequest, SizeLimitIsCheckedFirstAndCountsBytes) {
  const std::string head = R"({"action":"connect","profile":{"serverId":1,"location":"l",)"
                           R"("protocol":"p","username":"u","password":"p","config":")";
  const std::string tail = "\"}}";
  const auto body_of_size = [&](std::size_t size) {
    return head + std::string(size - head.size() - tail.size(), 'a') + tail;
  };
  EXPECT_EQ(message_of(body_of_size(131072)), "parsed");
  EXPECT_EQ(message_of(body_of_size(131073)), "VPN request is too large.");
  EXPECT_EQ(message_of(std::string(131073, '{')), "VPN request is too large.");
}

}  // namespace
}  // namespace morvex
