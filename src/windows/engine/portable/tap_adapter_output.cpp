#include "windows/engine/portable/tap_adapter_output.hpp"

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
  const std::string_view identifier = engine_text::trim(output);
  if (!is_adapter_identifier(identifier)) {
    return fail("Windows returned an invalid VPN adapter identifier.");
  }
  return std::string(identifier);
}

std::optional<std::string> find_tap_adapter(std::string_view list_output) {
  for (const auto line : engine_text::lines(list_output)) {
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    const auto identifier = line.substr(0, tab);
    auto name = line.substr(tab + 1);
    if (name.ends_with('\r')) name.remove_suffix(1);
    if (name == tap_adapter_name && is_adapter_identifier(identifier)) {
      return std::string(identifier);
    }
  }
  return std::nullopt;
}

}  // namespace morvex
