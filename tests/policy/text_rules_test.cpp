#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "policy/ip_address.hpp"
#include "policy/policy_test_support.hpp"
#include "policy/profile_lines.hpp"
#include "policy/value_rule.hpp"
#include "policy/whole_number.hpp"

namespace morvex {
namespace {

using testing::outcome;

const std::string euro = "\xE2\x82\xAC";               // three bytes
const std::string nel = "\xC2\x85";                    // U+0085, a C1 control and white space
const std::string nbsp = "\xC2\xA0";                   // U+00A0
const std::string ideographic_space = "\xE3\x80\x80";  // U+3000

std::string repeated(const std::string& part, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += part;
  return text;
}

TEST(CheckValue, LimitCountsBytesAndContentRulesHold) {
  struct Case {
    std::string text;
    std::size_t limit;
    bool passes;
  };
  const Case cases[] = {
      {std::string(320, 'a'), 320, true},
      {std::string(321, 'a'), 320, false},
      {repeated(euro, 107), 320, false},  // 107 characters, 321 bytes
      {repeated(euro, 106) + "ab", 320, true},
      {"", 320, false},
      {"   ", 320, false},
      {" Oslo ", 320, true},
      {"Os\tlo", 320, false},
      {"Os\nlo", 320, false},
      {"Os\x7Flo", 320, false},
      {"Os" + nel + "lo", 320, false},
      {"Os" + nbsp + "lo", 320, true},
      {nbsp, 320, false},
      {ideographic_space + " " + ideographic_space, 320, false},
      {"S" + ideographic_space + "o", 320, true},
      {"S\xC2\x9Fo", 320, false},  // U+009F, last C1 control
      {"Z\xC3\xBCrich", 320, true},
      // Malformed UTF-8: stray continuation, overlong line feed, surrogate,
      // truncated sequence, value above U+10FFFF.
      {"a\x80", 320, false},
      {"a\xC0\x8A", 320, false},
      {"a\xED\xA0\x80", 320, false},
      {"a\xE2\x82", 320, false},
      {"a\xF4\x90\x80\x80", 320, false},
      {"\xF0\x9F\x99\x82", 4, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(check_value(c.text, c.limit)),
              c.passes ? "passes" : "Morvex returned an invalid value.")
        << c.text;
  }
}

TEST(ProfileLineReader, SplitsAtLineFeedsAndTrimsUnicodeWhiteSpace) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a\r\nb\nc", {"a", "b", "c"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"  x = y \t\r\n", {"x = y"}},
      {nbsp + ideographic_space + "a b" + nel + "\xE2\x80\xA8\xE2\x80\x8A", {"a b"}},
      {"a\rb\r\r\n", {"a\rb"}},
      {"\xE2\x80 a \x80", {"\xE2\x80 a \x80"}},  // malformed bytes are not white space
      {"", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines;
    ProfileLineReader reader(c.text);
    while (const auto line = reader.next()) lines.emplace_back(*line);
    EXPECT_EQ(lines, c.lines) << c.text;
  }
}

TEST(IpAddressFamily, AcceptsOnlyStandardTextForms) {
  struct Case {
    const char* text;
    std::optional<IpFamily> family;
  };
  const auto v4 = IpFamily::v4;
  const auto v6 = IpFamily::v6;
  const Case cases[] = {
      {"0.0.0.0", v4},
      {"255.255.255.255", v4},
      {"198.51.100.7", v4},
      {"256.1.1.1", {}},
      {"1.2.3", {}},
      {"1.2.3.4.5", {}},
      {"01.2.3.4", {}},
      {"1..3.4", {}},
      {"1.2.3.4 ", {}},
      {"+1.2.3.4", {}},
      {"", {}},
      {"::", v6},
      {"::1", v6},
      {"fd00::2", v6},
      {"2001:DB8::1", v6},
      {"1:2:3:4:5:6:7:8", v6},
      {"1::", v6},
      {"::ffff:1.2.3.4", v6},
      {"1:2:3:4:5:6:1.2.3.4", v6},
      {"1:2:3:4:5:6:7::", v6},
      {"1:2:3:4:5:6:7:8:9", {}},
      {"1:2:3:4:5:6:7:8::", {}},
      {"::1:2:3:4:5:6:7:8", {}},
      {"1::2::3", {}},
      {":::", {}},
      {":1::", {}},
      {"1:", {}},
      {"12345::", {}},
      {"fe80::1%1", {}},
      {"[::1]", {}},
      {"::1.2.3.4:5", {}},
      {"1:2:3:4:5:6:7:1.2.3.4", {}},
      {"g::", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ip_address_family(c.text), c.family) << c.text;
}

TEST(ParseWholeNumber, DigitsWithOneOptionalPlusWithinTheLimit) {
  struct Case {
    std::string text;
    std::uint32_t max;
    std::optional<std::uint32_t> value;
  };
  const Case cases[] = {
      {"24", 255, 24},
      {"+24", 255, 24},
      {"0024", 255, 24},
      {"255", 255, 255},
      {"256", 255, {}},
      {"", 255, {}},
      {"+", 255, {}},
      {"++1", 255, {}},
      {"-1", 255, {}},
      {"1 ", 255, {}},
      {"4294967295", UINT32_MAX, UINT32_MAX},
      {"4294967296", UINT32_MAX, {}},
      {std::string(500, '9'), UINT32_MAX, {}},
      {std::string(500, '0') + "7", 10, 7},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_whole_number(c.text, c.max), c.value) << c.text;
}

}  // namespace
}  // namespace morvex
