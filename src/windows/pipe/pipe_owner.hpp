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

}  // namespace morvex
