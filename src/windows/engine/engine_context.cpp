#include "windows/engine/engine_context.hpp"

#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <array>
#include <chrono>

#include "windows/engine/engine_locations.hpp"

namespace morvex {
namespace {

using GenerateRandom = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);

// bcrypt.dll is not one of Windows' known libraries, which the loader takes
// from System32 whatever the search order. Imported, it would be looked for
// in the program's folder first when the service starts; loaded here, it
// comes from System32 only.
GenerateRandom system_random() {
  static const GenerateRandom generate = [] {
    const HMODULE library = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const FARPROC found = library != nullptr ? GetProcAddress(library, "BCryptGenRandom") : nullptr;
    return reinterpret_cast<GenerateRandom>(reinterpret_cast<void (*)()>(found));
  }();
  return generate;
}

}  // namespace

std::uint64_t system_unix_seconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

Result<std::wstring> random_exit_event_name(std::wstring_view prefix) {
  std::array<unsigned char, 16> random{};
  const auto generate = system_random();
  if (generate == nullptr ||
      !BCRYPT_SUCCESS(generate(nullptr, random.data(), static_cast<ULONG>(random.size()),
                               BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return fail("Cannot prepare VPN shutdown handling.");
  }
  constexpr wchar_t digits[] = L"0123456789ABCDEF";
  std::wstring name(prefix);
  for (const unsigned char byte : random) {
    name += digits[byte >> 4];
    name += digits[byte & 0x0F];
  }
  return name;
}

EngineContext default_engine_context(CommandRunner& runner) {
  EngineContext context(runner);
  context.program_path = program_files_path;
  context.unix_seconds = system_unix_seconds;
  return context;
}

}  // namespace morvex
