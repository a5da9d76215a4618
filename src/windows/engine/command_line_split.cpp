#include "windows/engine/command_line_split.hpp"

#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <memory>

#include "windows/engine/wide_text.hpp"

namespace morvex {
namespace {

struct LocalFreeDeleter {
  void operator()(LPWSTR* array) const { LocalFree(array); }
};

}  // namespace

Result<std::vector<std::string>> split_command_line(std::string_view command_line) {
  const auto wide = engines::wide_from_utf8(command_line);
  if (!wide) return fail("Cannot inspect VPN service arguments.");
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreeDeleter> array(CommandLineToArgvW(wide->c_str(), &count));
  if (!array || count < 0) return fail("Cannot inspect VPN service arguments.");
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto argument = engines::utf8_from_wide(array.get()[i]);
    if (!argument) return fail("Cannot inspect VPN service arguments.");
    arguments.push_back(std::move(*argument));
  }
  return arguments;
}

}  // namespace morvex
