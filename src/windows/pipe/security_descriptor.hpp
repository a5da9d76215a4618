#pragma once

#include <windows.h>

#include <string_view>

#include "common/failure.hpp"
#include "win32/local_memory.hpp"

namespace morvex {

// A self-relative security descriptor that Windows allocated; released with
// LocalFree.
using UniqueSecurityDescriptor = UniqueLocal<void>;

// Converts SDDL text (revision 1) into a security descriptor that the caller
// owns. Fails with "Cannot secure the VPN service.".
Result<UniqueSecurityDescriptor> security_descriptor_from_sddl(std::wstring_view sddl);

// Whether two descriptors carry the same access list: both protected from
// inheritance or both not, and entry by entry the same kind, flags, account
// and rights, generic rights mapped with `mapping` on both sides (Windows may
// store an object's generic rights mapped, Wine keeps them as given). A
// descriptor without an access list, or with a null one, matches none.
bool same_access_list(PSECURITY_DESCRIPTOR actual, PSECURITY_DESCRIPTOR expected,
                      const GENERIC_MAPPING& mapping);

// Whether the object behind `instance` carries `expected`'s access list. For a
// pipe instance that is the pipe's, given by its first instance: an instance
// added to a pipe that another program created reports that pipe's list. A
// list that cannot be read counts as another.
bool carries_access_list(HANDLE instance, PSECURITY_DESCRIPTOR expected,
                         const GENERIC_MAPPING& mapping);

// The access list that Windows stores on a pipe made with `attributes`,
// read back from an anonymous pipe made with the same attributes (an
// anonymous pipe is a pipe of the same file system): a living pipe's list is
// compared with it, so that however Windows stores the list it was given,
// the service knows its own. Empty when that cannot be learnt.
UniqueSecurityDescriptor stored_descriptor(SECURITY_ATTRIBUTES& attributes);

}  // namespace morvex
