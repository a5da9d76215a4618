#include "windows/engine/openvpn_exit_event.hpp"

#include <windows.h>

#include "windows/pipe/security_descriptor.hpp"

namespace morvex {
namespace {

constexpr const char* shutdown_failure = "Cannot prepare VPN shutdown handling.";

}  // namespace

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
