#pragma once

#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "win32/unique_handle.hpp"
#include "windows/pipe/pipe_owner.hpp"

namespace morvex {

// The start of the name of OpenVPN's exit event.
inline constexpr std::wstring_view openvpn_exit_event_prefix = L"Global\\MorvexVPN.OpenVPN.Exit.";

// A name for OpenVPN's exit event, new for every start: `prefix` and 32
// hexadecimal digits from the system's random number generator. Events need
// no privilege in the global namespace, so a fixed name could be taken by
// any local program before the service, and every OpenVPN start would fail.
// Fails with "Cannot prepare VPN shutdown handling.".
Result<std::wstring> random_exit_event_name(std::wstring_view prefix);

// The access list of OpenVPN's exit event: protected, LocalSystem and
// Administrators all access, nobody else anything. No owner is named, so the
// event's owner is the one the service's token gives new objects.
inline constexpr std::wstring_view exit_event_sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// Creates the named manual-reset event that OpenVPN leaves on, not signalled,
// with that access list. The name lies in the global namespace, where any
// local program may create an event first (a start draws a random name, which
// leaves that to chance): an event of that name that already exists is used
// only when `owners` own it (one the service itself left, for instance while
// a handle outlived a teardown), and it is reset before use, so that a signal
// left on it cannot end the next OpenVPN at once. An event of another owner,
// or any failure, gives "Cannot prepare VPN shutdown handling.".
Result<UniqueHandle> create_exit_event(const std::wstring& name, const OwnAccounts& owners);

// The same, for the accounts of this process's token.
Result<UniqueHandle> create_exit_event(const std::wstring& name);

}  // namespace morvex
