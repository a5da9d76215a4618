#include "windows/pipe/security_descriptor.hpp"

#include <sddl.h>

#include <string>

namespace morvex {

Result<UniqueSecurityDescriptor> security_descriptor_from_sddl(std::wstring_view sddl) {
  const std::wstring text(sddl);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr) ||
      descriptor == nullptr) {
    return fail("Cannot secure the VPN service.");
  }
  return UniqueSecurityDescriptor(descriptor);
}

}  // namespace morvex
