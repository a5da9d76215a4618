// The input is two paths separated by the first NUL byte. Invariants: the
// comparison is symmetric and reflexive, and neither the separator style nor
// doubled separators nor "." components change its outcome.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "windows/engine/portable/tunnel_path.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto nul = input.find('\0');
  const std::string_view a = input.substr(0, nul);
  const std::string_view b = nul == std::string_view::npos ? a : input.substr(nul + 1);

  const bool same = morvex::same_windows_path(a, b);
  if (same != morvex::same_windows_path(b, a)) __builtin_trap();
  if (!morvex::same_windows_path(a, a)) __builtin_trap();

  std::string forward(a);
  std::replace(forward.begin(), forward.end(), '\\', '/');
  std::string doubled;
  for (const char c : a) {
    doubled += c;
    if (c == '\\' || c == '/') doubled += "/./";
  }
  if (morvex::same_windows_path(forward, b) != same) __builtin_trap();
  if (morvex::same_windows_path(doubled, b) != same) __builtin_trap();
  return 0;
}
