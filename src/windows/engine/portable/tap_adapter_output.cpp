#include "windows/engine/portable/tap_adapter_output.hpp"

#include <algorithm>
#include <vector>

#include "windows/engine/portable/engine_text.hpp"

namespace morvex {
namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The fields of one line, separated by tabs.
std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> result;
  for (std::size_t start = 0;;) {
    const auto tab = line.find('\t', start);
    result.push_back(line.substr(start, tab - start));
    if (tab == std::string_view::npos) return result;
    start = tab + 1;
  }
}

bool same_ignoring_ascii_case(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
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
  const auto parts = fields(engine_text::trim(output));
  if (parts.size() != 1 &&
      (parts.size() != 3 || parts[1] != tap_adapter_name || parts[2] != tap_hardware_id)) {
    return fail("Windows returned an unexpected VPN adapter.");
  }
  if (!is_adapter_identifier(parts[0])) {
    return fail("Windows returned an invalid VPN adapter identifier.");
  }
  return std::string(parts[0]);
}

std::optional<std::string> find_tap_adapter(std::string_view list_output) {
  for (auto line : engine_text::lines(list_output)) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    const auto parts = fields(line);
    if (parts.size() != 2 && parts.size() != 3) continue;
    if (parts.size() == 3 && !same_ignoring_ascii_case(parts[2], tap_hardware_id)) continue;
    if (parts[1] == tap_adapter_name && is_adapter_identifier(parts[0])) {
      return std::string(parts[0]);
    }
  }
  return std::nullopt;
}

}  // namespace morvex
