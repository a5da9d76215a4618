#pragma once

#include <cstddef>
#include <string_view>

#include "common/failure.hpp"

namespace morvex {

// The rule for free-text values from the back end (a location label, OpenVPN
// credentials, a WireGuard endpoint host). A value passes when it is at most
// `limit_bytes` long, holds something besides white space, and is well-formed
// UTF-8 without control characters. The value is checked, never changed.
// Failure: "Morvex returned an invalid value."
Result<void> check_value(std::string_view text, std::size_t limit_bytes);

}  // namespace morvex
