// Invariants: an accepted output yields a well-formed 38-character identifier,
// and white space around the whole output never changes the outcome. Read as
// a list, the adapter found is a well-formed identifier that the output holds.
#include <cstdint>
#include <string>
#include <string_view>

#include "windows/engine/portable/tap_adapter_output.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  const auto result = morvex::parse_tap_create_output(output);
  if (result) {
    if (result->size() != 38 || !morvex::is_adapter_identifier(*result)) __builtin_trap();
  } else if (result.error().message != "Windows returned an unexpected VPN adapter." &&
             result.error().message != "Windows returned an invalid VPN adapter identifier.") {
    __builtin_trap();
  }
  const auto padded = morvex::parse_tap_create_output(" \r\n" + std::string(output) + "\r\n");
  if (padded != result) __builtin_trap();
  const auto listed = morvex::find_tap_adapter(output);
  if (listed && (!morvex::is_adapter_identifier(*listed) || output.find(*listed) == output.npos)) {
    __builtin_trap();
  }
  return 0;
}
