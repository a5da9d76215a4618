#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/runner.hpp"
#include "command/runner_text.hpp"

namespace morvex {
namespace {

using namespace std::string_literals;

TEST(EngineCommand, StartsWithoutWindowAndWithTheCLocale) {
  const auto command = engine_command(LR"(C:\Program Files\OpenVPN\bin\openvpn.exe)");
  EXPECT_EQ(command.program, LR"(C:\Program Files\OpenVPN\bin\openvpn.exe)");
  EXPECT_TRUE(command.arguments.empty());
  EXPECT_EQ(command.creation_flags, 0x08000000u);
  const std::vector<std::pair<std::wstring, std::wstring>> expected = {{L"LC_ALL", L"C"},
                                                                       {L"LANG", L"C"}};
  EXPECT_EQ(command.environment_overrides, expected);
}

struct QuotingCase {
  std::wstring argument;
  std::wstring quoted;
};

class ArgumentQuoting : public testing::TestWithParam<QuotingCase> {};

TEST_P(ArgumentQuoting, FollowsTheWindowsSplittingRules) {
  auto command = engine_command(LR"(C:\Tools\x.exe)");
  command.arguments.push_back(GetParam().argument);
  EXPECT_EQ(command_line(command), LR"("C:\Tools\x.exe" )" + GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(Cases, ArgumentQuoting,
                         testing::Values(QuotingCase{L"plain", L"plain"},
                                         QuotingCase{L"", LR"("")"},
                                         QuotingCase{L"two words", LR"("two words")"},
                                         QuotingCase{L"tab\there", L"\"tab\there\""},
                                         QuotingCase{LR"(say"hi")", LR"(say\"hi\")"},
                                         QuotingCase{LR"(back\"quote)", LR"(back\\\"quote)"},
                                         QuotingCase{LR"(two\\"quote)", LR"(two\\\\\"quote)"},
                                         QuotingCase{LR"(trailing\)", LR"(trailing\)"},
                                         QuotingCase{LR"(with space\)", LR"("with space\\")"},
                                         QuotingCase{LR"(with space\\)", LR"("with space\\\\")"},
                                         QuotingCase{LR"(\\server\share\)", LR"(\\server\share\)"},
                                         QuotingCase{LR"(root\tap0901)", LR"(root\tap0901)"},
                                         QuotingCase{L"line1\nline2", L"line1\nline2"},
                                         QuotingCase{L"$a = 1\n$b = 2\n", L"\"$a = 1\n$b = 2\n\""},
                                         QuotingCase{L"\"", LR"(\")"},
                                         QuotingCase{L"\" \"", LR"("\" \"")"}));

TEST(CommandLine, QuotesTheProgramAlwaysAndJoinsArgumentsWithSpaces) {
  auto command = engine_command(LR"(C:\Windows\System32\curl.exe)");
  EXPECT_EQ(command_line(command), LR"("C:\Windows\System32\curl.exe")");
  command.arguments = {L"--version", L"", L"a b"};
  EXPECT_EQ(command_line(command), LR"("C:\Windows\System32\curl.exe" --version "" "a b")");
}

TEST(IsStartable, AcceptsAbsolutePathsAndRefusesWhatCouldBeMisread) {
  struct Case {
    std::wstring program;
    bool startable;
  };
  const Case cases[] = {
      {LR"(C:\Program Files\WireGuard\wg.exe)", true},
      {LR"(d:/tools/wg.exe)", true},
      {LR"(\\server\share\wg.exe)", true},
      {LR"(\\?\C:\wg.exe)", true},
      {L"wg.exe", false},
      {LR"(WireGuard\wg.exe)", false},
      {LR"(\WireGuard\wg.exe)", false},
      {LR"(C:WireGuard\wg.exe)", false},
      {LR"(C:\Program Files\"quoted"\wg.exe)", false},
      {L"C:\\wg.exe\0.txt"s, false},
      {L"", false},
  };
  for (const auto& [program, startable] : cases) {
    EXPECT_EQ(is_startable(engine_command(program)), startable)
        << std::string(program.begin(), program.end());
  }
}

TEST(IsStartable, RefusesNulInArgumentsAndMalformedOverrides) {
  auto command = engine_command(LR"(C:\x.exe)");
  command.arguments = {L"ok", L"bad\0tail"s};
  EXPECT_FALSE(is_startable(command));

  for (const auto& override : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"", L"C"}, {L"A=B", L"C"}, {L"A", L"C\0D"s}, {L"A\0B"s, L"C"}}) {
    auto bad = engine_command(LR"(C:\x.exe)");
    bad.environment_overrides.push_back(override);
    EXPECT_FALSE(is_startable(bad));
  }
}

std::vector<std::wstring> entries_of(const std::wstring& block) {
  return split_environment_block(block.c_str());
}

TEST(EnvironmentBlock, ReplacesTheOverriddenNamesWhateverTheirCase) {
  const std::vector<std::wstring> current = {
      L"=C:=C:\\service",  L"Path=C:\\Windows",
      L"lang=de_DE.UTF-8", L"LC_ALL=en_US",
      L"Lc_All=fr_FR",     L"LANGUAGE=de",
      L"LC_ALLX=keep",     L"SystemRoot=C:\\Windows",
      L"EMPTY=",           L"ProgramFiles=C:\\Program Files"};
  const auto block = environment_block(current, engine_command(L"C:\\x.exe").environment_overrides);
  const std::vector<std::wstring> expected = {L"=C:=C:\\service",
                                              L"EMPTY=",
                                              L"LANG=C",
                                              L"LANGUAGE=de",
                                              L"LC_ALL=C",
                                              L"LC_ALLX=keep",
                                              L"Path=C:\\Windows",
                                              L"ProgramFiles=C:\\Program Files",
                                              L"SystemRoot=C:\\Windows"};
  EXPECT_EQ(entries_of(block), expected);
  ASSERT_GE(block.size(), 2u);
  EXPECT_EQ(block.substr(block.size() - 2), L"\0\0"s);
}

TEST(EnvironmentBlock, IsWellFormedWhenEmptyAndLetsALaterOverrideWin) {
  EXPECT_EQ(environment_block({}, {}), L"\0\0"s);
  EXPECT_EQ(environment_block({}, {{L"A", L"1"}, {L"a", L"2"}}), L"a=2\0\0"s);
  EXPECT_EQ(environment_block({L"B=1", L"a=2"}, {}), L"a=2\0B=1\0\0"s);
}

TEST(IsValidUtf8, AcceptsWellFormedTextOnly) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"OpenVPN 2.7.7\n", true},
      {"\0 nul is fine"s, true},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},  // é € 😀
      {"\xEF\xBF\xBF", true},                          // U+FFFF
      {"\xF4\x8F\xBF\xBF", true},                      // U+10FFFF
      {"\x80", false},                                 // stray continuation
      {"\xC0\xAF", false},                             // overlong
      {"\xC1\xBF", false},                             // overlong
      {"\xE0\x9F\xBF", false},                         // overlong
      {"\xF0\x8F\xBF\xBF", false},                     // overlong
      {"\xED\xA0\x80", false},                         // surrogate
      {"\xF4\x90\x80\x80", false},                     // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xC3", false},          // truncated
      {"\xE2\x82", false},      // truncated
      {"\xE2\x28\xA1", false},  // bad continuation
      {"ok \xFF", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(is_valid_utf8(text), valid) << text;
}

}  // namespace
}  // namespace morvex
