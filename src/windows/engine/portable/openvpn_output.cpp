#include "windows/engine/portable/openvpn_output.hpp"

#include <cstdint>

#include "windows/engine/portable/engine_text.hpp"

namespace morvex {
namespace {

constexpr std::string_view initialization_completed = "Initialization Sequence Completed";
constexpr std::string_view restart_pause = "Restart pause";

// The count on the first line that begins with `prefix`.
std::optional<std::uint64_t> first_count(std::string_view status, std::string_view prefix) {
  for (const auto line : engine_text::lines(status)) {
    if (line.starts_with(prefix)) {
      return engine_text::parse_unsigned(engine_text::trim(line.substr(prefix.size())));
    }
  }
  return std::nullopt;
}

}  // namespace

bool openvpn_log_ready(std::string_view log) {
  const auto completed = log.rfind(initialization_completed);
  if (completed == std::string_view::npos) return false;
  // On Windows a start whose adapter or routes did not come up ends with the
  // same words followed by " With Errors ( see ... )"; that tunnel is not up.
  if (log.substr(completed + initialization_completed.size()).starts_with(" With Errors")) {
    return false;
  }
  const auto pause = log.rfind(restart_pause);
  return pause == std::string_view::npos || pause < completed;
}

std::optional<TrafficTotals> parse_openvpn_status(std::string_view status) {
  const auto received = first_count(status, "TUN/TAP write bytes,");
  if (!received) return std::nullopt;
  const auto sent = first_count(status, "TUN/TAP read bytes,");
  if (!sent) return std::nullopt;
  return TrafficTotals{*received, *sent};
}

}  // namespace morvex
