#include "windows/pipe/portable/admission.hpp"

#include <gtest/gtest.h>

#include <string>

#include "windows/pipe/portable/frame.hpp"

namespace morvex {
namespace {

using namespace std::string_view_literals;

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

TEST(ClientImagePath, OnlyPathsOnADriveLetterAreOpened) {
  struct Case {
    std::wstring reported;
    const wchar_t* root;  // none: the path is refused without being opened
    const wchar_t* verbatim;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\Morvex VPN\\Morvex.exe", L"C:\\",
       L"\\\\?\\C:\\Program Files\\Morvex VPN\\Morvex.exe"},
      {L"\\\\?\\D:\\apps\\Morvex.exe", L"D:\\", L"\\\\?\\D:\\apps\\Morvex.exe"},
      {L"\\\\.\\z:\\apps\\Morvex.exe", L"z:\\", L"\\\\?\\z:\\apps\\Morvex.exe"},
      {L"C:\\x", L"C:\\", L"\\\\?\\C:\\x"},
      // Opened verbatim: a reserved device name or a trailing dot stays part
      // of the file's name instead of naming a device or being dropped.
      {L"C:\\dir\\LPT1.exe", L"C:\\", L"\\\\?\\C:\\dir\\LPT1.exe"},
      {L"C:\\dir\\app.exe.", L"C:\\", L"\\\\?\\C:\\dir\\app.exe."},
      // Another machine, however it is written.
      {L"\\\\host\\share\\Morvex.exe", nullptr, nullptr},
      {L"\\\\host@SSL\\DavWWWRoot\\Morvex.exe", nullptr, nullptr},
      {L"\\\\?\\UNC\\host\\share\\Morvex.exe", nullptr, nullptr},
      {L"\\\\.\\UNC\\host\\share\\Morvex.exe", nullptr, nullptr},
      {L"//host/share/Morvex.exe", nullptr, nullptr},
      {L"//?/UNC/host/share/Morvex.exe", nullptr, nullptr},
      {L"\\\\?\\GLOBALROOT\\Device\\Mup\\host\\share\\Morvex.exe", nullptr, nullptr},
      {L"\\Device\\Mup\\host\\share\\Morvex.exe", nullptr, nullptr},
      {L"\\??\\UNC\\host\\share\\Morvex.exe", nullptr, nullptr},
      // Device and NT paths other than a drive letter, even local ones.
      {L"\\??\\C:\\Morvex.exe", nullptr, nullptr},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\Morvex.exe", nullptr, nullptr},
      {L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\Morvex.exe", nullptr, nullptr},
      {L"\\\\.\\pipe\\MorvexVPN.Service.v1", nullptr, nullptr},
      {L"\\\\?\\\\C:\\Morvex.exe", nullptr, nullptr},
      // Components that Win32 rewriting resolves: "\\.\C:\..\" climbs out of
      // the drive to "\\.\UNC\".
      {L"\\\\.\\C:\\..\\UNC\\host\\share\\Morvex.exe", nullptr, nullptr},
      {L"C:\\dir\\..\\Morvex.exe", nullptr, nullptr},
      {L"C:\\.\\Morvex.exe", nullptr, nullptr},
      {L"C:\\dir\\. .\\Morvex.exe", nullptr, nullptr},
      {L"C:\\dir\\\\Morvex.exe", nullptr, nullptr},
      // Forward slashes, an embedded NUL, and paths without a file on a drive.
      {L"C:/dir/Morvex.exe", nullptr, nullptr},
      {L"C:\\dir/..\\Morvex.exe", nullptr, nullptr},
      {std::wstring(L"C:\\dir\0\\\\host\\x.exe", 19), nullptr, nullptr},
      {L"C:\\dir\\", nullptr, nullptr},
      {L"C:\\", nullptr, nullptr},
      {L"\\\\?\\C:", nullptr, nullptr},
      {L"C:Morvex.exe", nullptr, nullptr},
      {L"\\Morvex.exe", nullptr, nullptr},
      {L"Morvex.exe", nullptr, nullptr},
      {L"1:\\Morvex.exe", nullptr, nullptr},
      {L"CC:\\Morvex.exe", nullptr, nullptr},
      {L"", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const auto path = local_drive_path(c.reported);
    const auto shown = ::testing::PrintToString(c.reported);
    if (c.root == nullptr) {
      EXPECT_FALSE(path) << shown;
      // Nor is such a path trusted once it is canonical.
      EXPECT_FALSE(client_trusted(c.reported, c.reported)) << shown;
      continue;
    }
    ASSERT_TRUE(path) << shown;
    EXPECT_EQ(path->root, c.root) << shown;
    EXPECT_EQ(path->verbatim, c.verbatim) << shown;
  }
}

TEST(ClientImagePath, OnlyPathsInTheServiceFolderAreOpened) {
  const std::wstring service = L"\\\\?\\C:\\Program Files\\Morvex VPN\\service.exe";
  struct Case {
    std::wstring reported;
    bool opened;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\Morvex VPN\\Morvex.exe", true},
      {L"\\\\?\\C:\\Program Files\\Morvex VPN\\Morvex.exe", true},
      {L"c:\\PROGRAM FILES\\morvex vpn\\Morvex.exe", true},
      // A short name, a link placed elsewhere, a subfolder, a trailing dot.
      {L"C:\\PROGRA~1\\MORVEX~1\\Morvex.exe", false},
      {L"C:\\Users\\me\\AppData\\Local\\Temp\\Morvex.exe", false},
      {L"C:\\Program Files\\Morvex VPN\\sub\\Morvex.exe", false},
      {L"C:\\Program Files\\Morvex VPN.\\Morvex.exe", false},
      // Spellings that Win32 would resolve, and names that climb out or end early.
      {L"\\\\.\\C:\\Program Files\\Morvex VPN\\Morvex.exe", false},
      {L"\\\\host\\C$\\Program Files\\Morvex VPN\\Morvex.exe", false},
      {L"C:\\Program Files\\Morvex VPN\\. .", false},
      {L"C:\\Program Files\\Morvex VPN\\x/../../Morvex.exe", false},
      {std::wstring(L"C:\\Program Files\\Morvex VPN\\Morvex.exe\0.txt"sv), false},
      {L"C:\\Program Files\\Morvex VPN\\", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reported_in_service_folder(c.reported, service), c.opened)
        << ::testing::PrintToString(c.reported);
  }
  // Letters beyond ASCII must match exactly.
  const std::wstring accented = L"C:\\\u00C9quipe\\service.exe";
  EXPECT_TRUE(reported_in_service_folder(L"c:\\\u00C9quipe\\app.exe", accented));
  EXPECT_FALSE(reported_in_service_folder(L"C:\\\u00E9quipe\\app.exe", accented));
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
