// The first eight bytes are the clock (seconds, little-endian), the rest the
// output of `wg show`. Invariants: a recent handshake stays recent, and a
// handshake seen stays seen, when more peers follow; the transfer totals of an output given twice
// are twice the totals, or nothing when the doubled sum no longer fits.
#include <cstdint>
#include <string>
#include <string_view>

#include "windows/engine/portable/wireguard_output.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint64_t now = 0;
  for (int i = 7; i >= 0; --i) now = now << 8 | data[i];
  const std::string_view output(reinterpret_cast<const char*>(data) + 8, size - 8);

  const auto seen = morvex::latest_handshakes(output, now);
  std::string longer(output);
  longer += "\nsomeone 1 2\n";
  if (morvex::latest_handshakes(longer, now) < seen) __builtin_trap();

  const auto totals = morvex::parse_wireguard_transfer(output);
  std::string twice(output);
  if (!twice.empty() && twice.back() != '\n') twice += '\n';
  twice += twice;
  const auto doubled = morvex::parse_wireguard_transfer(twice);
  if (totals.has_value() != doubled.has_value()) {
    const bool overflow =
        totals && (totals->received > UINT64_MAX / 2 || totals->sent > UINT64_MAX / 2);
    if (!overflow) __builtin_trap();
  } else if (totals &&
             (doubled->received != 2 * totals->received || doubled->sent != 2 * totals->sent)) {
    __builtin_trap();
  }
  return 0;
}
