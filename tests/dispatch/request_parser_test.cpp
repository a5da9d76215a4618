#include <gtest/gtest.h>

#include <string>

#include "dispatch/messages.hpp"

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

TEST(ParseRequest, ServerIdMustBeASigned32BitIntegerLiteral) {
  const auto with_server_id = [](const std::string& value) {
    return connect_with(
        R"({"serverId":)" + value +
        R"(,"location":"l","protocol":"p","config":"c","username":"u","password":"p"})");
  };
  for (const char* accepted : {"7", "-3", "0", "-0", "2147483647", "-2147483648"}) {
    EXPECT_EQ(message_of(with_server_id(accepted)), "parsed") << accepted;
  }
  for (const char* refused : {"7.0", "\"7\"", "2147483648", "-2147483649", "7e0", "1E2", "07",
                              "18446744073709551616", "null", "true", "[7]", "+7"}) {
    EXPECT_EQ(message_of(with_server_id(refused)), "Invalid VPN request.") << refused;
  }
  auto parsed = parse_request(with_server_id("-2147483648"));
  EXPECT_EQ(std::get<request::Connect>(*parsed).profile.server_id, -2147483648);
}

TEST(ParseRequest, MalformedRequestsAreRefusedWithOneSentence) {
  const std::string invalid_bodies[] = {
      "",
      " ",
      "{}",
      "[]",
      "null",
      R"("status")",
      R"({"action":"Status"})",
      R"({"action":"reboot"})",
      R"({"action":7})",
      R"({"action":null})",
      R"({"action":"status","action":"status"})",
      R"({"action":"status","profile":{}})",
      R"({"action":"status","extra":1})",
      R"({"action":"cancel","x":null})",
      R"({"action":"connect"})",
      R"({"action":"connect","profile":null})",
      R"({"action":"connect","profile":[]})",
      connect_with(full_profile).substr(0, 40),
      R"({"action":"connect","profile":)" + full_profile + R"(,"profile":)" + full_profile + "}",
      R"({"action":"connect","profile":)" + full_profile + R"(,"extra":1})",
      "\xEF\xBB\xBF{\"action\":\"status\"}",
      R"({"action":"status"} x)",
      R"({"action":"status"}{})",
      R"({"action":"status",})",
      R"({'action':'status'})",
      R"({"action":"status"/**/})",
      "{\"action\":\"stat\x80us\"}",
      "{\"action\":\"status\"}\v",
      std::string(200, '[') + std::string(200, ']'),
  };
  for (const auto& body : invalid_bodies) {
    EXPECT_EQ(message_of(body), "Invalid VPN request.") << body;
  }
}

TEST(ParseRequest, ProfileMembersAreExactInNameCountAndType) {
  const std::string required[] = {"serverId", "location", "protocol",
                                  "config",   "username", "password"};
  const auto without = [](const std::string& member) {
    std::string profile = minimal_profile;
    const auto start = profile.find("\"" + member + "\"");
    auto end = profile.find(',', start);
    if (end == std::string::npos) end = profile.size() - 1;
    if (profile[start - 1] == ',') {
      profile.erase(start - 1, end - start + 1);
    } else {
      profile.erase(start, end - start + 1);
    }
    return profile;
  };
  for (const auto& member : required) {
    EXPECT_EQ(message_of(connect_with(without(member))), "Invalid VPN request.") << member;
  }
  const std::string refused_profiles[] = {
      R"({"serverId":1,"location":"l","protocol":"p","config":"c","username":"u","password":"p","dns":null})",
      R"({"serverId":1,"location":"l","protocol":"p","config":"c","username":"u","password":"p","recoveryProtocol":null})",
      R"({"serverId":1,"location":"l","protocol":"p","config":"c","username":"u","password":"p","port":1})",
      R"({"serverId":1,"location":"l","location":"l","protocol":"p","config":"c","username":"u","password":"p"})",
      R"({"serverId":1,"location":7,"protocol":"p","config":"c","username":"u","password":"p"})",
      R"({"serverId":1,"location":"l","protocol":"p","config":{},"username":"u","password":"p"})",
      R"({"serverId":1,"location":"l","protocol":"p","config":"c","username":true,"password":"p"})",
      R"({"serverId":1,"location":"l","protocol":"p","config":"c","username":"u","password":["p"]})",
      R"({"serverId":1,"Location":"l","protocol":"p","config":"c","username":"u","password":"p"})",
      // A raw line break inside a string is not JSON.
      "{\"serverId\":1,\"location\":\"l\",\"protocol\":\"p\",\"config\":\"a\nb\",\"username\":"
      "\"u\","
      "\"password\":\"p\"}",
  };
  for (const auto& profile : refused_profiles) {
    EXPECT_EQ(message_of(connect_with(profile)), "Invalid VPN request.") << profile;
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

TEST(ParseRequest, NulBytesAnywhereMakeTheRequestInvalid) {
  using namespace std::string_literals;
  const std::string bodies[] = {
      "{\"action\":\"status\"}\0"s,
      "{\"action\":\"status\"}\0\0\0"s,
      "{\"action\":\"status\"}\0{\"action\":\"disconnect\"}"s,
      "{\"action\":\"status\"} \0 garbage"s,
      "\0{\"action\":\"status\"}"s,
      "{\"action\":\"stat\0us\"}"s,
  };
  for (const auto& body : bodies) {
    EXPECT_EQ(message_of(body), "Invalid VPN request.") << body.size();
  }
}

TEST(ParseRequest, JsonWhitespaceMaySurroundTheValue) {
  EXPECT_EQ(message_of(" \t\r\n{\"action\" : \"status\"}\n\n"), "parsed");
}

}  // namespace
}  // namespace morvex
