#include "windows/engine/portable/tap_adapter_output.hpp"

#include <vector>

#include "windows/engine/portable/engine_text.hpp"

namespace morvex {
namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool is_adapter_identifier(std::string_view text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const bool dash_position = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash_position ? text[i] != '-' : !is_hex_digit(text[i])) return false;
  }
  return true;
}

Result<std::string> parse_tap_create_output(std::string_view output) {
  std::string_view rest = engine_text::trim(output);
  std::vector<std::string_view> fields;
  while (true) {
    const auto tab = rest.find('\t');
    fields.push_back(rest.substr(0, tab));
    if (tab == std::string_view::npos) break;
    rest.remove_prefix(tab + 1);
  }
  if (fields.size() != 3 || fields[1] != tap_adapter_name || fields[2] != tap_hardware_id) {
    return fail("Windows returned an unexpected VPN adapter.");
  }
  if (!is_adapter_identifier(fields[0])) {
    return fail("Windows returned an invalid VPN adapter identifier.");
  }
  return std::string(fields[0]);
}

}  // namespace morvex
