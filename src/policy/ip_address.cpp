#include "policy/ip_address.hpp"

#include <cstddef>

namespace morvex {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool is_ipv4_address(std::string_view text) {
  int parts = 0;
  std::size_t pos = 0;
  while (true) {
    const auto start = pos;
    unsigned value = 0;
    while (pos < text.size() && pos - start < 4 && is_digit(text[pos])) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const auto digits = pos - start;
    if (digits == 0 || digits > 3 || value > 255) return false;
    if (digits > 1 && text[start] == '0') return false;
    if (++parts == 4) return pos == text.size();
    if (pos == text.size() || text[pos] != '.') return false;
    ++pos;
  }
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
