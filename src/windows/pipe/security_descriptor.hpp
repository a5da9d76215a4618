#pragma once

#include <windows.h>

#include <string_view>

#include "common/failure.hpp"
#include "windows/local_memory.hpp"

namespace morvex {

// A self-relative security descriptor that Windows allocated; released with
// LocalFree.
using UniqueSecurityDescriptor = UniqueLocal<void>;

// Converts SDDL text (revision 1) into a security descriptor that the caller
// owns. Fails with "Cannot secure the VPN service.".
Result<UniqueSecurityDescriptor> security_descriptor_from_sddl(std::wstring_view sddl);

}  // namespace morvex
