// The readers of the verification script's output and of the trace body take
// outside text. Whatever arrives, an address they give is a valid address of
// the right family, taken from the place the rules name; the script input
// built from any profile's DNS servers is JSON that reads back the same.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "policy/ip_address.hpp"
#include "windows/engine/verification/verification_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto source = morvex::script_source_address(text)) {
    if (!morvex::is_ipv4_address(*source)) __builtin_trap();
  }

  if (const auto address = morvex::trace_public_address(text)) {
    if (!morvex::ip_address_family(*address)) __builtin_trap();
    // It is the rest of the first line that begins with "ip=".
    const bool at_start = text.starts_with("ip=");
    const auto first = at_start ? 0 : text.find("\nip=");
    if (first == std::string_view::npos) __builtin_trap();
    const auto start = at_start ? 3 : first + 4;
    if (text.substr(start, address->size()) != *address) __builtin_trap();
  }

  const auto servers = morvex::expected_dns_servers(text);
  for (const auto& server : servers) {
    if (!morvex::ip_address_family(server)) __builtin_trap();
  }
  const auto input = nlohmann::json::parse(morvex::script_input("MorvexVPN", servers));
  if (input["adapter"] != "MorvexVPN" || input["dns"].size() != servers.size()) __builtin_trap();
  return 0;
}
