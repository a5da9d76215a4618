#include "windows/pipe/pipe_owner.hpp"

#include <aclapi.h>

#include <cstring>
#include <optional>

#include "windows/local_memory.hpp"
#include "windows/unique_handle.hpp"

namespace morvex {
namespace {

// One fixed-size token record; both records asked for here hold one SID.
Result<std::vector<std::uint8_t>> token_record(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  (void)GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return fail("Cannot secure the VPN service.");
  std::vector<std::uint8_t> record(size);
  if (!GetTokenInformation(token, kind, record.data(), size, &size)) {
    return fail("Cannot secure the VPN service.");
  }
  return record;
}

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

Result<std::vector<std::uint8_t>> copy_sid(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return fail("Cannot secure the VPN service.");
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return std::vector<std::uint8_t>(bytes, bytes + GetLengthSid(sid));
}

}  // namespace

Result<OwnAccounts> own_accounts() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return fail("Cannot secure the VPN service.");
  }
  const UniqueHandle token(raw);

  const auto user = token_record(token.get(), TokenUser);
  if (!user) return std::unexpected(user.error());
  const auto owner = token_record(token.get(), TokenOwner);
  if (!owner) return std::unexpected(owner.error());

  OwnAccounts owners;
  for (PSID sid : {reinterpret_cast<const TOKEN_USER*>(user->data())->User.Sid,
                   reinterpret_cast<const TOKEN_OWNER*>(owner->data())->Owner}) {
    auto copy = copy_sid(sid);
    if (!copy) return std::unexpected(copy.error());
    owners.sids.push_back(std::move(*copy));
  }
  return owners;
}

Result<OwnAccounts> named_owner(PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) {
    return fail("Cannot secure the VPN service.");
  }
  auto copy = copy_sid(owner);
  if (!copy) return std::unexpected(copy.error());
  OwnAccounts owners;
  owners.sids.push_back(std::move(*copy));
  return owners;
}

bool owned_by(HANDLE instance, const OwnAccounts& owners) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(instance, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &raw) != ERROR_SUCCESS) {
    return false;
  }
  const UniqueLocal<void> descriptor(raw);
  if (owner == nullptr || !IsValidSid(owner)) return false;
  for (const auto& sid : owners.sids) {
    if (EqualSid(owner, const_cast<std::uint8_t*>(sid.data()))) return true;
  }
  return false;
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

}  // namespace morvex
