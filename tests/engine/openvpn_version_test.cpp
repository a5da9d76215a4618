#include "windows/engine/portable/openvpn_version.hpp"

#include <gtest/gtest.h>

#include <string>

namespace morvex {
namespace {

using namespace std::string_literals;

TEST(ParseVersionNumber, TakesExactlyThreeDecimalParts) {
  struct Case {
    std::string text;
    std::optional<VersionNumber> expected;
  };
  const Case cases[] = {
      {"2.6.12", VersionNumber{2, 6, 12}},
      {"0.0.0", VersionNumber{0, 0, 0}},
      {"4294967295.4294967295.4294967295", VersionNumber{4294967295u, 4294967295u, 4294967295u}},
      {"007.00.000000000000000000009", VersionNumber{7, 0, 9}},
      {"4294967296.0.0", std::nullopt},
      {"1.4294967296.0", std::nullopt},
      {"1.2.99999999999999999999", std::nullopt},
      {"2.6", std::nullopt},
      {"2.6.12.1", std::nullopt},
      {"2.7_rc1", std::nullopt},
      {"2.7.7_rc1", std::nullopt},
      {"2..1", std::nullopt},
      {".2.1", std::nullopt},
      {"2.1.", std::nullopt},
      {"", std::nullopt},
      {"..", std::nullopt},
      {"+2.7.7", std::nullopt},
      {"2.-7.7", std::nullopt},
      {"2.7.7 ", std::nullopt},
      {"２.7.7", std::nullopt},  // full-width digit
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(parse_version_number(text), expected) << text;
}

TEST(ReleaseTables, AcceptOnlyThePatchedReleases) {
  struct Case {
    VersionNumber version;
    bool openvpn;
    bool openssl;
  };
  const Case cases[] = {
      {{1, 9, 99}, false, false}, {{2, 6, 99}, false, false},        {{2, 7, 0}, false, false},
      {{2, 7, 6}, false, false},  {{2, 7, 7}, true, false},          {{2, 7, 100}, true, false},
      {{2, 8, 0}, true, false},   {{3, 0, 0}, true, false},          {{3, 0, 22}, true, false},
      {{3, 0, 23}, true, true},   {{3, 0, 4294967295u}, true, true}, {{3, 1, 99}, true, false},
      {{3, 2, 99}, true, false},  {{3, 3, 99}, true, false},         {{3, 4, 7}, true, false},
      {{3, 4, 8}, true, true},    {{3, 5, 8}, true, false},          {{3, 5, 9}, true, true},
      {{3, 6, 4}, true, false},   {{3, 6, 5}, true, true},           {{3, 7, 0}, true, false},
      {{4, 0, 2}, true, false},   {{4, 0, 3}, true, true},           {{4, 1, 0}, true, false},
      {{5, 0, 0}, true, false},
  };
  for (const auto& [version, openvpn, openssl] : cases) {
    SCOPED_TRACE(std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
                 std::to_string(version.patch));
    EXPECT_EQ(openvpn_release_accepted(version), openvpn);
    EXPECT_EQ(openssl_release_accepted(version), openssl);
  }
}

std::string banner(const std::string& openvpn, const std::string& openssl) {
  return "OpenVPN " + openvpn +
         " x86_64-w64-mingw32 [SSL (OpenSSL)] [LZO] [LZ4] [PKCS11] [AEAD] built on Jan  1 2026\n"
         "library versions: OpenSSL " +
         openssl +
         " 1 Jan 2026, LZO 2.10\n"
         "Windows version 10.0 (Windows 10 or greater), amd64 executable\n";
}

TEST(OpenvpnBannerPasses, DecidesOnBothReleases) {
  struct Case {
    std::string output;
    bool passes;
  };
  const Case cases[] = {
      {banner("2.7.7", "3.5.9"), true},
      {banner("2.7.6", "3.5.9"), false},
      {banner("2.7.7", "3.5.8"), false},
      {banner("3.0.0", "4.0.3"), true},
      {banner("2.8.0", "3.3.9"), false},
      {banner("2.7.7", "3.0.23"), true},
      {banner("2.7.7", "3.0.22"), false},
      {banner("2.7.7", "3.4.8"), true},
      {banner("2.7.7", "3.6.5"), true},
      {banner("2.7.7", "3.6.4"), false},
      {banner("2.7.7", "4.0.2"), false},
      {banner("2.7.7", "1.1.1"), false},
      {banner("2.7", "3.5.9"), false},
      {banner("2.7.7.1", "3.5.9"), false},
      {banner("2.7.7", "3.5"), false},
      {banner("2.7.7", "3.5.9.1"), false},
      {banner("4294967296.0.0", "3.5.9"), false},
      {banner("2.7.7", "3.5.4294967296"), false},
      {banner("2.7_rc1", "3.5.9"), false},
      // The version must stand alone as the first word.
      {"OpenVPN 2.7.7-I001 x86_64\nlibrary versions: OpenSSL 3.5.9 x\n", false},
      {"OpenVPN 2.7.7\nlibrary versions: OpenSSL 3.5.9\n", true},
      {"OpenVPN 2.7.7\r\nlibrary versions: OpenSSL 3.5.9\r\n", true},
      {"OpenVPN   \t2.7.7\nlibrary versions: OpenSSL \t 3.5.9", true},
      {"OpenVPN \xC2\xA0"
       "2.7.7\nlibrary versions: OpenSSL 3.5.9\n",
       true},  // no-break space
      {"OpenVPN \nlibrary versions: OpenSSL 3.5.9\n", false},
      {"OpenVPN ", false},
      {"OpenVPN 2.7.7", false},
      {"", false},
  };
  for (const auto& [output, passes] : cases)
    EXPECT_EQ(openvpn_banner_passes(output), passes) << output;
}

TEST(OpenvpnBannerPasses, NeedsTheExactBannerStart) {
  const std::string good = banner("2.7.7", "3.5.9");
  EXPECT_FALSE(openvpn_banner_passes("openvpn" + good.substr(7)));
  EXPECT_FALSE(openvpn_banner_passes("OPENVPN" + good.substr(7)));
  EXPECT_FALSE(openvpn_banner_passes(" " + good));
  EXPECT_FALSE(openvpn_banner_passes("\n" + good));
  EXPECT_FALSE(openvpn_banner_passes("\xEF\xBB\xBF" + good));  // byte order mark
  EXPECT_FALSE(openvpn_banner_passes("OpenVPN\t2.7.7\nlibrary versions: OpenSSL 3.5.9\n"));
}

TEST(OpenvpnBannerPasses, TheFirstOpensslLineDecides) {
  const std::string start = "OpenVPN 2.7.7 x86_64\n";
  EXPECT_FALSE(openvpn_banner_passes(start + "library versions: OpenSSL 3.0 1 Jan\n" +
                                     "library versions: OpenSSL 3.5.9 1 Jan\n"));
  EXPECT_FALSE(openvpn_banner_passes(start + "library versions: OpenSSL 3.5.8\n" +
                                     "library versions: OpenSSL 3.5.9\n"));
  EXPECT_TRUE(openvpn_banner_passes(start + "library versions: OpenSSL 3.5.9\n" +
                                    "library versions: OpenSSL 1.0.2\n"));
  // An empty version after the prefix is a failed first line, not a skipped one.
  EXPECT_FALSE(openvpn_banner_passes(start + "library versions: OpenSSL \n" +
                                     "library versions: OpenSSL 3.5.9\n"));
  // Lines that only resemble the prefix are skipped.
  EXPECT_TRUE(openvpn_banner_passes(
      start + "Library versions: OpenSSL 1.0.0\n" + " library versions: OpenSSL 1.0.0\n" +
      "library versions: OpenSSL\n" + "library versions:  OpenSSL 1.0.0\n" +
      "library versions: OpenSSL 3.5.9\n"));
}

TEST(OpenvpnBannerPasses, FailsWithoutAnOpensslLine) {
  EXPECT_FALSE(openvpn_banner_passes("OpenVPN 2.7.7 x86_64\nlibrary versions: LZO 2.10\n"));
  EXPECT_FALSE(openvpn_banner_passes("OpenVPN 2.7.7 library versions: OpenSSL 3.5.9\n"));
  EXPECT_FALSE(openvpn_banner_passes("OpenVPN 2.7.7\n\0library versions: OpenSSL 3.5.9\n"s));
}

}  // namespace
}  // namespace morvex
