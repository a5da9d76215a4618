#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "dispatch/messages.hpp"

// Readers for the two `wg show <tunnel> ...` outputs the engine asks for.
namespace morvex {

// Oldest handshake, in seconds, that still counts as recent.
inline constexpr std::uint64_t recent_handshake_seconds = 179;

// What the `latest-handshakes` output shows at `now` (seconds since the Unix
// epoch): a peer whose last handshake is recent (a time in the future counts
// as recent), or else a peer that has shaken hands before (the tunnel may be
// idle: WireGuard shakes hands only when it sends), or no handshake at all. A
// line counts only when its second word is a non-zero handshake time.
enum class Handshakes { none, idle, recent };
Handshakes latest_handshakes(std::string_view output, std::uint64_t now);

// The sums of the received and sent columns of the `transfer` output. Every
// line must carry a peer key and the two counts; a malformed line or a sum
// beyond 64 bits gives nothing. No lines give (0, 0).
std::optional<TrafficTotals> parse_wireguard_transfer(std::string_view output);

}  // namespace morvex
