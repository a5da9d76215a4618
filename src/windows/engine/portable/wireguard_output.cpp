#include "windows/engine/portable/wireguard_output.hpp"

#include <algorithm>

#include "windows/engine/portable/engine_text.hpp"

namespace morvex {

Handshakes latest_handshakes(std::string_view output, std::uint64_t now) {
  Handshakes seen = Handshakes::none;
  for (const auto line : engine_text::lines(output)) {
    const auto words = engine_text::words(line);
    if (words.size() < 2) continue;
    const auto handshake = engine_text::parse_unsigned(words[1]);
    if (!handshake || *handshake == 0) continue;
    if (now - std::min(*handshake, now) <= recent_handshake_seconds) return Handshakes::recent;
    seen = Handshakes::idle;
  }
  return seen;
}

std::optional<TrafficTotals> parse_wireguard_transfer(std::string_view output) {
  TrafficTotals totals;
  for (const auto line : engine_text::lines(output)) {
    const auto words = engine_text::words(line);
    if (words.size() < 3) return std::nullopt;
    const auto received = engine_text::parse_unsigned(words[1]);
    const auto sent = engine_text::parse_unsigned(words[2]);
    if (!received || !sent) return std::nullopt;
    if (*received > UINT64_MAX - totals.received || *sent > UINT64_MAX - totals.sent) {
      return std::nullopt;
    }
    totals.received += *received;
    totals.sent += *sent;
  }
  return totals;
}

}  // namespace morvex
