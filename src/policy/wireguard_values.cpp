#include "policy/wireguard_values.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <string>

#include "policy/ip_address.hpp"
#include "policy/policy_messages.hpp"
#include "policy/value_rule.hpp"
#include "policy/whole_number.hpp"

namespace morvex {
namespace {

constexpr std::size_t key_bytes = 32;
constexpr std::size_t max_host_bytes = 253;
constexpr std::uint32_t max_prefix_field = 255;
constexpr std::uint32_t max_ipv4_prefix = 32;
constexpr std::uint32_t max_ipv6_prefix = 128;
constexpr std::uint32_t max_port = 65535;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_base64_digit(char c) { return is_letter(c) || is_digit(c) || c == '+' || c == '/'; }

bool is_name_character(char c) { return is_letter(c) || is_digit(c) || c == '-' || c == '.'; }

std::string_view strip_brackets(std::string_view host) {
  while (!host.empty() && (host.front() == '[' || host.front() == ']')) host.remove_prefix(1);
  while (!host.empty() && (host.back() == '[' || host.back() == ']')) host.remove_suffix(1);
  return host;
}

// WireGuard takes a host with a bracket or a colon only as an IPv6 address in
// brackets; any other such host is refused there, so it is refused here too.
// A host name never ends in a label that starts with a digit (RFC 1123 2.1):
// such a host must be a plain dotted-decimal IPv4 address, as forms like
// `10.1` or `010.0.0.1` are read by address parsers as other addresses.
bool is_endpoint_host(std::string_view host) {
  if (host.find_first_of("[]:") != std::string_view::npos) {
    return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
           is_ipv6_address(host.substr(1, host.size() - 2));
  }
  if (host.front() == '-' || !std::ranges::all_of(host, is_name_character)) return false;
  auto name = host;
  if (name.ends_with('.')) name.remove_suffix(1);
  const auto last_label = name.substr(name.rfind('.') + 1);
  return last_label.empty() || !is_digit(last_label.front()) || is_ipv4_address(host);
}

}  // namespace

bool is_wireguard_key(std::string_view value) {
  // The decoder takes some bytes outside the alphabet (those above 0x7F) as
  // digits, so the alphabet and the place of the padding are checked first.
  const auto digits = value.substr(0, value.find('='));
  if (!std::ranges::all_of(digits, is_base64_digit) ||
      !std::ranges::all_of(value.substr(digits.size()), [](char c) { return c == '='; })) {
    return false;
  }
  // One byte of room beyond a key, so that a longer value is told apart by its
  // length rather than only by the decoder running out of space.
  std::array<unsigned char, key_bytes + 1> bytes{};
  std::size_t decoded = 0;
  const char* end = nullptr;
  const int status = sodium_base642bin(bytes.data(), bytes.size(), value.data(), value.size(),
                                       nullptr, &decoded, &end, sodium_base64_VARIANT_ORIGINAL);
  const bool valid = status == 0 && end == value.data() + value.size() && decoded == key_bytes;
  sodium_memzero(bytes.data(), bytes.size());
  return valid;
}

Result<std::string> address_prefix_item(std::string_view item) {
  const auto slash = item.find('/');
  if (slash == std::string_view::npos) return fail(std::string(policy_message::invalid_address));
  const auto address = item.substr(0, slash);
  const auto family = ip_address_family(address);
  if (!family) return fail(std::string(policy_message::invalid_address));
  const auto prefix = parse_whole_number(item.substr(slash + 1), max_prefix_field);
  const auto max_prefix = *family == IpFamily::v4 ? max_ipv4_prefix : max_ipv6_prefix;
  if (!prefix || *prefix > max_prefix) {
    return fail(std::string(policy_message::unsupported_profile));
  }
  return std::string(address) + '/' + std::to_string(*prefix);
}

Result<std::string> endpoint_value(std::string_view value) {
  const auto colon = value.rfind(':');
  if (colon == std::string_view::npos) return fail(std::string(policy_message::invalid_endpoint));
  const auto host = value.substr(0, colon);
  if (auto checked = check_value(strip_brackets(host), max_host_bytes); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (!is_endpoint_host(host)) return fail(std::string(policy_message::invalid_server_address));
  const auto port = parse_whole_number(value.substr(colon + 1), max_port);
  if (!port || *port == 0) return fail(std::string(policy_message::unsupported_profile));
  return std::string(host) + ':' + std::to_string(*port);
}

}  // namespace morvex
