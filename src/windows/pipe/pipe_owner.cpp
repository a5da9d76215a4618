#include "windows/pipe/pipe_owner.hpp"

#include <aclapi.h>

#include "win32/local_memory.hpp"
#include "win32/unique_handle.hpp"

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

}  // namespace morvex
