#include "windows/engine/engine_context.hpp"

#include <windows.h>

#include <chrono>

namespace morvex {

std::uint64_t system_unix_seconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

std::wstring engine_program_path(std::wstring_view relative) {
  std::wstring root = L"C:\\Program Files";
  const DWORD needed = GetEnvironmentVariableW(L"ProgramFiles", nullptr, 0);
  if (needed > 1) {
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", value.data(), needed);
    if (length > 0 && length < needed) root.assign(value.data(), length);
  }
  if (root.back() != L'\\' && root.back() != L'/') root += L'\\';
  return root + std::wstring(relative);
}

EngineContext default_engine_context(CommandRunner& runner) {
  EngineContext context(runner);
  context.program_path = engine_program_path;
  context.unix_seconds = system_unix_seconds;
  return context;
}

}  // namespace morvex
