#include "windows/engine/portable/program_paths.hpp"

#include <gtest/gtest.h>

#include <string>

namespace morvex {
namespace {

TEST(ProgramRoot, FallsBackWhenTheVariableIsUnusable) {
  const std::wstring fallback = L"C:\\Program Files";
  EXPECT_EQ(program_root(std::nullopt, fallback), fallback);
  EXPECT_EQ(program_root(L"", fallback), fallback);
  EXPECT_EQ(program_root(std::wstring(1, static_cast<wchar_t>(0xD800)), fallback), fallback);
  EXPECT_EQ(program_root(L"D:\\Apps" + std::wstring(1, static_cast<wchar_t>(0xDC00)), fallback),
            fallback);
  EXPECT_EQ(program_root(std::wstring(L"D:\\") + static_cast<wchar_t>(0xD83D) + L"x", fallback),
            fallback);
  // A set value is used unchanged, also with a surrogate pair or spaces.
  const std::wstring pair =
      std::wstring(L"D:\\") + static_cast<wchar_t>(0xD83D) + static_cast<wchar_t>(0xDE00);
  EXPECT_EQ(program_root(pair, fallback), pair);
  EXPECT_EQ(program_root(L" D:\\Apps ", fallback), L" D:\\Apps ");
}

TEST(JoinPath, PutsOneSeparatorBetweenTheParts) {
  EXPECT_EQ(join_path(L"C:\\Program Files", L"WireGuard\\wireguard.exe"),
            L"C:\\Program Files\\WireGuard\\wireguard.exe");
  EXPECT_EQ(join_path(L"C:\\Program Files\\", L"WireGuard\\wg.exe"),
            L"C:\\Program Files\\WireGuard\\wg.exe");
  EXPECT_EQ(join_path(L"D:/Apps/", L"curl.exe"), L"D:/Apps/curl.exe");
  EXPECT_EQ(
      join_path(join_path(L"D:\\Win", L"System32"), L"WindowsPowerShell\\v1.0\\powershell.exe"),
      L"D:\\Win\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
}

}  // namespace
}  // namespace morvex
