#include "windows/pipe/portable/admission.hpp"

#include <gtest/gtest.h>

#include <string>

#include "windows/pipe/portable/frame.hpp"

namespace morvex {
namespace {

TEST(SessionAdmission, OnlyTheConsoleSessionIsAdmitted) {
  struct Case {
    std::optional<std::uint32_t> client;
    std::uint32_t console;
    bool admitted;
  };
  const Case cases[] = {
      {1, 1, true},
      {0, 0, true},
      {2, 1, false},                   // remote desktop session
      {1, 2, false},                   // switched away from the console
      {std::nullopt, 1, false},        // client session unknown
      {1, no_console_session, false},  // no console session
      {no_console_session, no_console_session, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(session_admitted(c.client, c.console), c.admitted)
        << (c.client ? std::to_string(*c.client) : "none") << " vs " << c.console;
  }
}

TEST(ParentComponents, SplitsTheDirectoryExactly) {
  const auto parent = parent_components(L"\\\\?\\C:\\Program Files\\Morvex\\app.exe");
  ASSERT_TRUE(parent);
  const std::vector<std::wstring_view> expected{L"", L"", L"?", L"C:", L"Program Files", L"Morvex"};
  EXPECT_EQ(*parent, expected);

  EXPECT_EQ(parent_components(L"C:/dir/app.exe"), (std::vector<std::wstring_view>{L"C:", L"dir"}));
  EXPECT_EQ(parent_components(L"\\app.exe"), (std::vector<std::wstring_view>{L""}));
}

TEST(ParentComponents, NoDirectoryGivesNone) {
  for (const std::wstring_view path : {L"", L"app.exe", L"C:\\dir\\", L"C:\\dir/"}) {
    EXPECT_FALSE(parent_components(path)) << ::testing::PrintToString(std::wstring(path));
  }
}

TEST(ClientTrust, DecidedByTheCanonicalDirectories) {
  const std::wstring service = L"\\\\?\\C:\\Program Files\\Morvex VPN\\service.exe";
  struct Case {
    const wchar_t* client;
    bool trusted;
  };
  const Case cases[] = {
      {L"\\\\?\\C:\\Program Files\\Morvex VPN\\Morvex.exe", true},
      {L"\\\\?\\C:\\Program Files\\Morvex VPN\\service.exe", true},
      // Case differs in one component: a different directory.
      {L"\\\\?\\C:\\Program Files\\morvex VPN\\Morvex.exe", false},
      {L"\\\\?\\c:\\Program Files\\Morvex VPN\\Morvex.exe", false},
      // A copy elsewhere, above, below or beside.
      {L"\\\\?\\C:\\Users\\me\\Downloads\\Morvex.exe", false},
      {L"\\\\?\\C:\\Program Files\\Morvex.exe", false},
      {L"\\\\?\\C:\\Program Files\\Morvex VPN\\sub\\Morvex.exe", false},
      {L"\\\\?\\C:\\Program Files\\Morvex VPN2\\Morvex.exe", false},
      // The same directory written without the final-path prefix is not the
      // canonical form the service compares against.
      {L"C:\\Program Files\\Morvex VPN\\Morvex.exe", false},
      // A prefix of a component is not the component.
      {L"\\\\?\\C:\\Program Files\\Morvex\\Morvex.exe", false},
      {L"Morvex.exe", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(client_trusted(std::wstring(c.client), service), c.trusted)
        << ::testing::PrintToString(std::wstring(c.client));
  }
}

TEST(ClientTrust, AnUnknownPathIsNeverTrusted) {
  const std::wstring path = L"\\\\?\\C:\\Morvex\\app.exe";
  EXPECT_FALSE(client_trusted(fail("Cannot inspect VPN process identity."), path));
  EXPECT_FALSE(client_trusted(path, fail("Cannot verify VPN process path.")));
  EXPECT_FALSE(client_trusted(std::wstring(L"\\\\?\\C:\\"), std::wstring(L"\\\\?\\C:\\")));
}

TEST(Frame, LengthIsLittleEndian) {
  for (const std::uint32_t length : {0u, 1u, 57u, 0x20000u, 0x20001u, 0x01020304u, 0xFFFFFFFFu}) {
    const auto bytes = encode_frame_length(length);
    EXPECT_EQ(decode_frame_length(std::string_view(bytes.data(), bytes.size())), length);
  }
  const auto bytes = encode_frame_length(0x01020304u);
  EXPECT_EQ(std::string(bytes.data(), bytes.size()), std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(decode_frame_length(std::string("\x01\x00\x02\x00", 4)), 0x00020001u);
}

TEST(Frame, RefusalIsTheFixedErrorReply) {
  EXPECT_EQ(refusal_body, R"({"error":"Only the Morvex VPN app can use this service."})");
  EXPECT_EQ(refusal_body.size(), 57u);
}

}  // namespace
}  // namespace morvex
