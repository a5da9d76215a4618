#pragma once

#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "policy/profile.hpp"

namespace morvex {

// Checks the profile text (1 to 65535 bytes, no NUL byte), looks up the DNS
// provider and hands the text with the provider's servers to the validator of
// the protocol ("wireguard" or "openvpn"). Returns that validator's text or
// message unchanged.
Result<std::string> validate_profile(std::string_view config, std::string_view protocol,
                                     std::string_view dns);

// Checks every field of a connect request's profile in a fixed order (the
// first failure wins) and returns the profile with `config` replaced by the
// rewritten profile text; nothing else changes.
Result<Profile> validate_connect_request(Profile profile);

}  // namespace morvex
