// The input is read both as an OpenVPN log and as a status file. Invariants:
// a ready log holds the completion line, and appending a restart pause makes
// it not ready; totals read from a status file survive being written back as
// the two lines alone.
#include <cstdint>
#include <string>
#include <string_view>

#include "windows/engine/portable/openvpn_output.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (morvex::openvpn_log_ready(text)) {
    if (text.find("Initialization Sequence Completed") == std::string_view::npos) __builtin_trap();
    if (morvex::openvpn_log_ready(std::string(text) + "Restart pause, 5 second(s)\n")) {
      __builtin_trap();
    }
  }

  const auto totals = morvex::parse_openvpn_status(text);
  if (totals) {
    const std::string canonical = "TUN/TAP read bytes," + std::to_string(totals->sent) +
                                  "\nTUN/TAP write bytes," + std::to_string(totals->received) +
                                  "\n";
    if (morvex::parse_openvpn_status(canonical) != totals) __builtin_trap();
  }
  return 0;
}
