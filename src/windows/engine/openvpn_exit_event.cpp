#include "windows/engine/openvpn_exit_event.hpp"

#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <array>

#include "windows/pipe/security_descriptor.hpp"

namespace morvex {
namespace {

constexpr const char* shutdown_failure = "Cannot prepare VPN shutdown handling.";

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

Result<std::wstring> random_exit_event_name(std::wstring_view prefix) {
  std::array<unsigned char, 16> random{};
  const auto generate = system_random();
  if (generate == nullptr ||
      !BCRYPT_SUCCESS(generate(nullptr, random.data(), static_cast<ULONG>(random.size()),
                               BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return fail(shutdown_failure);
  }
  constexpr wchar_t digits[] = L"0123456789ABCDEF";
  std::wstring name(prefix);
  for (const unsigned char byte : random) {
    name += digits[byte >> 4];
    name += digits[byte & 0x0F];
  }
  return name;
}

Result<UniqueHandle> create_exit_event(const std::wstring& name, const OwnAccounts& owners) {
  const auto descriptor = security_descriptor_from_sddl(exit_event_sddl);
  if (!descriptor) return fail(shutdown_failure);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor->get(), FALSE};
  SetLastError(ERROR_SUCCESS);
  UniqueHandle event(CreateEventW(&attributes, TRUE, FALSE, name.c_str()));
  if (!event) return fail(shutdown_failure);
  // An existing event keeps its own owner and access list; ours are applied
  // only to an event this call creates.
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (existed && !owned_by(event.get(), owners)) return fail(shutdown_failure);
  if (existed && !ResetEvent(event.get())) return fail(shutdown_failure);
  return event;
}

Result<UniqueHandle> create_exit_event(const std::wstring& name) {
  const auto owners = own_accounts();
  if (!owners) return fail(shutdown_failure);
  return create_exit_event(name, *owners);
}

}  // namespace morvex
