#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "common/failure.hpp"

namespace morvex {

// The accounts that own the named objects this process creates (its pipe, the
// OpenVPN exit event): its token's user and the owner that the token gives new
// objects. A process of another user can make neither of them the owner of an
// object it creates.
struct OwnAccounts {
  std::vector<std::vector<std::uint8_t>> sids;
};

// Reads both from the process token. Fails with "Cannot secure the VPN
// service.".
Result<OwnAccounts> own_accounts();

// The owner that `descriptor` names, as the one account of the set. Fails
// with "Cannot secure the VPN service." when it names none.
Result<OwnAccounts> named_owner(PSECURITY_DESCRIPTOR descriptor);

// Whether the object behind `instance` is owned by one of `owners`. For a
// pipe instance that is the pipe's owner.
// The owner is the pipe's, set when its first instance was created: an
// instance added to a pipe that another process created reports that
// process's owner. An owner that cannot be read counts as foreign.
bool owned_by(HANDLE instance, const OwnAccounts& owners);

}  // namespace morvex
