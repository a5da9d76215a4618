#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "dispatch/messages.hpp"

// Readers for the two `wg show <tunnel> ...` outputs the engine asks for.
namespace morvex {

// Oldest handshake, in seconds, that still counts as recent.
inline constexpr std::uint64_t recent_handshake_seconds = 179;

// Whether the `latest-handshakes` output shows a peer whose last handshake is
// recent at `now` (seconds since the Unix epoch). A line counts only when its
// second word is a non-zero handshake time; a time in the future is recent.
bool has_recent_handshake(std::string_view output, std::uint64_t now);

// The sums of the received and sent columns of the `transfer` output. Every
// line must carry a peer key and the two counts; a malformed line or a sum
// beyond 64 bits gives nothing. No lines give (0, 0).
std::optional<TrafficTotals> parse_wireguard_transfer(std::string_view output);

}  // namespace morvex
