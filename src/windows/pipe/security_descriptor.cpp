#include "windows/pipe/security_descriptor.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <optional>
#include <string>

#include "win32/unique_handle.hpp"

namespace morvex {
namespace {

struct AccessList {
  PACL entries = nullptr;
  bool protected_list = false;
};

std::optional<AccessList> access_list_of(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL entries = nullptr;
  if (descriptor == nullptr || !GetSecurityDescriptorControl(descriptor, &control, &revision) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &entries, &defaulted) || !present ||
      entries == nullptr) {
    return std::nullopt;
  }
  return AccessList{entries, (control & SE_DACL_PROTECTED) != 0};
}

// Allow and deny entries share one layout (header, mask, account); any other
// kind must match byte for byte.
bool same_entry(void* first, void* second, GENERIC_MAPPING mapping) {
  const auto* a = static_cast<const ACE_HEADER*>(first);
  const auto* b = static_cast<const ACE_HEADER*>(second);
  if (a->AceType != b->AceType || a->AceFlags != b->AceFlags) return false;
  if (a->AceType != ACCESS_ALLOWED_ACE_TYPE && a->AceType != ACCESS_DENIED_ACE_TYPE) {
    return a->AceSize == b->AceSize && std::memcmp(first, second, a->AceSize) == 0;
  }
  auto* x = static_cast<ACCESS_ALLOWED_ACE*>(first);
  auto* y = static_cast<ACCESS_ALLOWED_ACE*>(second);
  ACCESS_MASK x_rights = x->Mask;
  ACCESS_MASK y_rights = y->Mask;
  MapGenericMask(&x_rights, &mapping);
  MapGenericMask(&y_rights, &mapping);
  return x_rights == y_rights && EqualSid(&x->SidStart, &y->SidStart);
}

}  // namespace

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

bool same_access_list(PSECURITY_DESCRIPTOR actual, PSECURITY_DESCRIPTOR expected,
                      const GENERIC_MAPPING& mapping) {
  const auto found = access_list_of(actual);
  const auto wanted = access_list_of(expected);
  if (!found || !wanted || found->protected_list != wanted->protected_list ||
      found->entries->AceCount != wanted->entries->AceCount) {
    return false;
  }
  for (DWORD i = 0; i < wanted->entries->AceCount; ++i) {
    void* entry = nullptr;
    void* wanted_entry = nullptr;
    if (!GetAce(found->entries, i, &entry) || !GetAce(wanted->entries, i, &wanted_entry) ||
        !same_entry(entry, wanted_entry, mapping)) {
      return false;
    }
  }
  return true;
}

bool carries_access_list(HANDLE instance, PSECURITY_DESCRIPTOR expected,
                         const GENERIC_MAPPING& mapping) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(instance, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &raw) != ERROR_SUCCESS) {
    return false;
  }
  const UniqueLocal<void> descriptor(raw);
  return same_access_list(raw, expected, mapping);
}

UniqueSecurityDescriptor stored_descriptor(SECURITY_ATTRIBUTES& attributes) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, &attributes, 0)) return {};
  const UniqueHandle read_end(read);
  const UniqueHandle write_end(write);
  PSECURITY_DESCRIPTOR stored = nullptr;
  if (GetSecurityInfo(read, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                      nullptr, &stored) != ERROR_SUCCESS) {
    return {};
  }
  return UniqueSecurityDescriptor(stored);
}

}  // namespace morvex
