#pragma once

#include <optional>
#include <string_view>

#include "dispatch/messages.hpp"

// Readers for the files OpenVPN writes into private storage.
namespace morvex {

// Whether the log says the tunnel is up: its last "Initialization Sequence
// Completed" is not one "With Errors", and no "Restart pause" comes at or
// after it.
bool openvpn_log_ready(std::string_view log);

// Byte totals from a status file: the first "TUN/TAP write bytes," line gives
// the bytes received and the first "TUN/TAP read bytes," line the bytes sent.
// Either line missing or not carrying a 64-bit count gives nothing.
std::optional<TrafficTotals> parse_openvpn_status(std::string_view status);

}  // namespace morvex
