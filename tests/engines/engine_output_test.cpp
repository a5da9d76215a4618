#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "windows/engine/portable/openvpn_output.hpp"
#include "windows/engine/portable/tap_adapter_output.hpp"
#include "windows/engine/portable/tunnel_path.hpp"
#include "windows/engine/portable/wireguard_output.hpp"

namespace morvex {
namespace {

constexpr std::uint64_t now = 1'700'000'000;
const std::string key = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";

TEST(WireguardHandshakes, RecentMeansAtMost179SecondsAgoOrLater) {
  struct Case {
    std::string output;
    bool ready;
  };
  const Case cases[] = {
      {"", false},
      {key + "\t0\n", false},  // never handshaken
      {key + "\t" + std::to_string(now - 180) + "\n", false},
      {key + "\t" + std::to_string(now - 179) + "\n", true},
      {key + "\t" + std::to_string(now) + "\n", true},
      {key + "\t" + std::to_string(now + 5000) + "\n", true},  // clock skew: future counts
      {key + "\t+" + std::to_string(now - 10), true},          // sign, no final line feed
      {key + " " + std::to_string(now - 10) + " extra\r\n", true},
      {key + "\t0\n" + key + "\t" + std::to_string(now - 3) + "\n", true},  // a later peer
      {key + "\t-5\n", false},
      {key + "\t12x\n", false},
      {key + "\t18446744073709551616\n", false},  // 2^64
      {key + "\n\n\t\n", false},
      {std::to_string(now), false},  // no second word
  };
  for (const auto& c : cases) {
    EXPECT_EQ(latest_handshakes(c.output, now) == Handshakes::recent, c.ready) << c.output;
  }
  // Seen, only not lately: the tunnel may be idle.
  EXPECT_EQ(latest_handshakes(key + "\t" + std::to_string(now - 200), now), Handshakes::idle);
  EXPECT_EQ(latest_handshakes(key + "\t0\n", now), Handshakes::none);
}

TEST(WireguardHandshakes, ClockBeforeAnyHandshakeStillCountsFutureTimes) {
  EXPECT_EQ(latest_handshakes(key + "\t18446744073709551615\n", 0), Handshakes::recent);
  EXPECT_EQ(latest_handshakes(key + "\t179\n", 0), Handshakes::recent);
  EXPECT_EQ(latest_handshakes(key + "\t1\n", 181), Handshakes::idle);
}

TEST(WireguardTransfer, SumsEveryPeerOrGivesNothing) {
  struct Case {
    std::string output;
    std::optional<TrafficTotals> totals;
  };
  const std::string max = "18446744073709551615";
  const Case cases[] = {
      {"", TrafficTotals{0, 0}},
      {"a\t10\t20\nb\t5\t7\n", TrafficTotals{15, 27}},
      {"a 10 20\r\nb +5 7", TrafficTotals{15, 27}},
      {"a\t" + max + "\t0\n", TrafficTotals{UINT64_MAX, 0}},
      {"a\t" + max + "\t0\nb\t1\t0\n", std::nullopt},  // received overflows
      {"a\t0\t" + max + "\nb\t0\t1\n", std::nullopt},  // sent overflows
      {"a\tten\t20\n", std::nullopt},
      {"a\t10\t20\nb\t5\n", std::nullopt},  // one malformed line spoils all
      {"a\t10\t20\n\nb\t5\t7\n", std::nullopt},
      {"a\t-1\t2\n", std::nullopt},
      {"a\t1.0\t2\n", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_wireguard_transfer(c.output), c.totals) << c.output;
  }
}

TEST(OpenvpnLog, LastCompletionMustFollowLastRestartPause) {
  struct Case {
    std::string log;
    bool ready;
  };
  const Case cases[] = {
      {"", false},
      {"TCP connection established\n", false},
      {"2026 Initialization Sequence Completed\n", true},
      {"Initialization Sequence Completed\nSIGUSR1[soft]\nRestart pause, 5 second(s)\n", false},
      {"Initialization Sequence Completed\nRestart pause, 5 second(s)\n"
       "Initialization Sequence Completed\n",
       true},
      {"Restart pause, 1 second(s)\nInitialization Sequence Completed", true},
      {"Initialization Sequence Complete\n", false},
      {"Initialization Sequence Completed With Errors ( see http://openvpn.net/faq.html )", false},
      {"Initialization Sequence Completed With Errors\nInitialization Sequence Completed", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(openvpn_log_ready(c.log), c.ready) << c.log;
  }
}

TEST(OpenvpnStatus, FirstMatchingLinesGiveTheTotals) {
  struct Case {
    std::string status;
    std::optional<TrafficTotals> totals;
  };
  const std::string head = "TITLE,OpenVPN 2.7.7\nTIME,2026-12-07 11:00:00,1796641200\n";
  const Case cases[] = {
      {head + "TUN/TAP read bytes,200\nTUN/TAP write bytes,100\nEND\n", TrafficTotals{100, 200}},
      {"TUN/TAP write bytes, 100 \r\nTUN/TAP read bytes,+200\r\n", TrafficTotals{100, 200}},
      {"TUN/TAP write bytes,1\nTUN/TAP read bytes,2\nTUN/TAP write bytes,x\n",
       TrafficTotals{1, 2}},  // later lines are never looked at
      {"TUN/TAP write bytes,x\nTUN/TAP write bytes,1\nTUN/TAP read bytes,2\n", std::nullopt},
      {"TUN/TAP write bytes,100\n", std::nullopt},  // no read line
      {"TUN/TAP read bytes,100\n", std::nullopt},
      {"TUN/TAP write bytes,18446744073709551615\nTUN/TAP read bytes,0\n",
       TrafficTotals{UINT64_MAX, 0}},
      {"TUN/TAP write bytes,18446744073709551616\nTUN/TAP read bytes,0\n", std::nullopt},
      {"TUN/TAP write bytes,\nTUN/TAP read bytes,0\n", std::nullopt},
      {" TUN/TAP write bytes,1\nTUN/TAP read bytes,0\n", std::nullopt},  // must begin the line
      {"TUN/TAP write bytes,1 2\nTUN/TAP read bytes,0\n", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_openvpn_status(c.status), c.totals) << c.status;
  }
}

TEST(TapAdapterOutput, CreateAndListPrintIdentifierNameAndHardwareId) {
  // tapctl 2.7 (src/tapctl/main.c at v2.7.6): fwprintf(stdout, L"%ls\t%ls\t%ls\n", ...)
  // in text mode; releases before it printed the identifier alone.
  const std::string id = "{0123ABCD-89ab-cdef-0123-456789ABCDEF}";
  const std::string line = id + "\tMorvexOpenVPN\troot\\tap0901";
  const std::string invalid = "Windows returned an invalid VPN adapter identifier.";
  const std::string unexpected = "Windows returned an unexpected VPN adapter.";
  struct Case {
    std::string output;
    std::string outcome;  // the identifier or the failure sentence
  };
  const Case cases[] = {
      {line + "\r\n", id},
      {id + "\r\n", id},
      {"  " + id, id},
      {line + "\tx", unexpected},
      {id + "\tmorvexopenvpn\troot\\tap0901", unexpected},
      {id + "\tMorvexOpenVPN\tovpn-dco", unexpected},
      {"", invalid},
      {"0123ABCD-89ab-cdef-0123-456789ABCDEF\tMorvexOpenVPN\troot\\tap0901", invalid},
      {"{0123ABCD-89ab-cdef-0123-456789ABCDEG}\tMorvexOpenVPN\troot\\tap0901", invalid},
      {"{0123ABCD-89ab-cdef-0123-456789ABCDE}\tMorvexOpenVPN\troot\\tap0901", invalid},
      {"{0123ABCD89ab-cdef-0123-456789ABCDEF0}\tMorvexOpenVPN\troot\\tap0901", invalid},
  };
  for (const auto& c : cases) {
    const auto result = parse_tap_create_output(c.output);
    EXPECT_EQ(result ? *result : result.error().message, c.outcome) << c.output;
  }
  const std::string other =
      "{11111111-2222-3333-4444-555555555555}\tOpenVPN TAP-Windows6\troot\\tap0901\r\n";
  EXPECT_EQ(find_tap_adapter(other + line + "\r\n"), id);
  EXPECT_EQ(find_tap_adapter(id + "\tMorvexOpenVPN\tROOT\\TAP0901\n"), id);
  EXPECT_EQ(find_tap_adapter(id + "\tMorvexOpenVPN\r\n"), id);  // before 2.7
  EXPECT_EQ(find_tap_adapter(id + "\tmorvexopenvpn\troot\\tap0901\r\n" + id + "\tMorvexOpenVPN2\n" +
                             id + "\tMorvexOpenVPN\tovpn-dco\n"),
            std::nullopt);
  EXPECT_EQ(find_tap_adapter("x\tMorvexOpenVPN\n" + id + " MorvexOpenVPN\n" + other), std::nullopt);
}

TEST(TunnelPath, ComparesComponentByComponent) {
  const std::string ours = "C:\\Program Files\\Morvex VPN\\private-runtime\\MorvexVPN.conf";
  struct Case {
    std::string candidate;
    bool same;
  };
  const Case cases[] = {
      {ours, true},
      {"C:/Program Files/Morvex VPN/private-runtime/MorvexVPN.conf", true},
      {"C:\\\\Program Files\\\\Morvex VPN\\private-runtime//MorvexVPN.conf", true},
      {"c:\\Program Files\\Morvex VPN\\private-runtime\\MorvexVPN.conf", true},
      {"C:\\Program Files\\.\\Morvex VPN\\.\\private-runtime\\MorvexVPN.conf\\", true},
      {"C:\\program files\\Morvex VPN\\private-runtime\\MorvexVPN.conf", false},
      {"C:\\Program Files\\Morvex VPN\\private-runtime\\morvexvpn.conf", false},
      {"D:\\Program Files\\Morvex VPN\\private-runtime\\MorvexVPN.conf", false},
      {"C:\\Program Files\\Morvex VPN\\MorvexVPN.conf", false},
      {"C:\\Program Files\\Morvex VPN\\x\\..\\private-runtime\\MorvexVPN.conf", false},
      {"C:Program Files\\Morvex VPN\\private-runtime\\MorvexVPN.conf", false},
      {"\\\\?\\C:\\Program Files\\Morvex VPN\\private-runtime\\MorvexVPN.conf", false},
      {"C:\\Program Files\\Morvex VPN\\private-runtime\\MorvexVPN.conf.bak", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(same_windows_path(c.candidate, ours), c.same) << c.candidate;
    EXPECT_EQ(same_windows_path(ours, c.candidate), c.same) << c.candidate;
  }
}

TEST(TunnelPath, OnlyTheDriveLetterIgnoresCase) {
  EXPECT_TRUE(same_windows_path("a:\\x", "A:/x"));
  EXPECT_FALSE(same_windows_path("a:\\x", "A:/X"));
  EXPECT_FALSE(same_windows_path("ab\\x", "AB\\x"));  // not a drive
  EXPECT_FALSE(same_windows_path("x\\a:", "x\\A:"));  // a drive only as the first component
}

TEST(TunnelPath, AnyArgumentMayNameTheConfiguration) {
  const std::string ours = "C:\\svc\\private-runtime\\MorvexVPN.conf";
  EXPECT_TRUE(names_configuration({"C:\\Program Files\\WireGuard\\wireguard.exe", "/tunnelservice",
                                   "c:/svc/private-runtime/MorvexVPN.conf"},
                                  ours));
  EXPECT_FALSE(names_configuration({"C:\\Program Files\\WireGuard\\wireguard.exe", "/tunnelservice",
                                    "C:\\other\\MorvexVPN.conf"},
                                   ours));
  EXPECT_FALSE(names_configuration({}, ours));
}

}  // namespace
}  // namespace morvex
