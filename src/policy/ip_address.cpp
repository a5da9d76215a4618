#include "policy/ip_address.hpp"

#include <cstddef>

namespace morvex {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_ipv4_part(std::string_view part) {
  if (part.empty() || part.size() > 3) return false;
  if (part.size() > 1 && part.front() == '0') return false;
  unsigned value = 0;
  for (const char c : part) {
    if (!is_digit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 255;
}

}  // namespace

bool is_ipv4_address(std::string_view text) {
  for (int part = 0; part < 4; ++part) {
    const auto dot = text.find('.');
    const bool last = part == 3;
    if (last != (dot == std::string_view::npos)) return false;
    if (!is_ipv4_part(text.substr(0, dot))) return false;
    if (!last) text.remove_prefix(dot + 1);
  }
  return true;
}

bool is_ipv6_address(std::string_view text) {
  constexpr int groups_in_address = 8;
  int groups = 0;
  bool compressed = false;
  std::size_t pos = 0;
  if (text.starts_with("::")) {
    compressed = true;
    pos = 2;
    if (pos == text.size()) return true;
  } else if (text.starts_with(':')) {
    return false;
  }
  while (true) {
    auto end = text.find(':', pos);
    if (end == std::string_view::npos) end = text.size();
    const auto group = text.substr(pos, end - pos);
    if (group.find('.') != std::string_view::npos) {
      // An IPv4 tail fills the last two groups and must end the text.
      if (end != text.size() || !is_ipv4_address(group)) return false;
      groups += 2;
      break;
    }
    if (group.empty() || group.size() > 4) return false;
    for (const char c : group) {
      if (!is_hex_digit(c)) return false;
    }
    ++groups;
    if (groups > groups_in_address) return false;
    if (end == text.size()) break;
    pos = end + 1;
    if (pos < text.size() && text[pos] == ':') {
      if (compressed) return false;
      compressed = true;
      ++pos;
      if (pos == text.size()) break;
    } else if (pos == text.size()) {
      return false;
    }
  }
  return compressed ? groups < groups_in_address : groups == groups_in_address;
}

std::optional<IpFamily> ip_address_family(std::string_view text) {
  if (is_ipv4_address(text)) return IpFamily::v4;
  if (is_ipv6_address(text)) return IpFamily::v6;
  return std::nullopt;
}

}  // namespace morvex
