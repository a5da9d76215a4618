#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

// The OpenVPN directives, inline blocks and policy lines that a sanitised
// profile may hold, as data.
namespace morvex {

enum class DirectiveArguments {
  any,          // kept with whatever follows the name
  none,         // the line must be the name alone
  exact_lines,  // the line must equal one of the directive's exact lines
  refused,      // never allowed
};

enum class DirectiveDrop {
  never,
  when_provider_chosen,  // the provider's DNS servers replace it
  always,                // the engine passes the same option itself
};

// What a kept directive tells the sanitiser about the profile.
enum class DirectiveMark {
  none,
  client,               // runs as a TLS client
  remote,               // names a server
  server_certificate,   // requires a server certificate
  minimum_tls_version,  // sets the lowest TLS version
};

struct Directive {
  std::string_view name;
  DirectiveArguments arguments;
  std::span<const std::string_view> exact_lines;
  DirectiveDrop drop;
  DirectiveMark mark;
};

// The known directive with this exact name, or null.
const Directive* find_directive(std::string_view name);

// Every known directive, in the order of the table.
std::span<const Directive> known_directives();

// Tags of the inline blocks a profile may hold (`<ca>` ... `</ca>`).
bool is_allowed_inline_tag(std::string_view tag);

// The lines the policy appends to every profile, in their order. They force
// all IPv4 and IPv6 traffic into the tunnel and ignore routes that the server
// pushes. A pushed `redirect-private` is ignored as well: OpenVPN merges its
// flags into the profile's own redirection, so `redirect-private !ipv4` would
// turn the IPv4 redirection off.
inline constexpr std::array<std::string_view, 8> enforced_line_texts = {
    "ifconfig-ipv6 fd15:53b6:dead::2/64 fd15:53b6:dead::1",
    R"(pull-filter ignore "ifconfig-ipv6")",
    "redirect-gateway def1 ipv6",
    "block-ipv6",
    R"(pull-filter ignore "redirect-gateway")",
    R"(pull-filter ignore "redirect-private")",
    R"(pull-filter ignore "route ")",
    R"(pull-filter ignore "route-ipv6 ")",
};

inline constexpr std::span<const std::string_view> enforced_lines() { return enforced_line_texts; }

// Bit n is set when some enforced line is n bytes long (each is shorter than
// 64 bytes; a longer one would stop this from compiling). Every line of a
// profile is looked up here, so most are turned away by their length alone.
inline constexpr std::uint64_t enforced_line_lengths = [] {
  std::uint64_t lengths = 0;
  for (const auto line : enforced_line_texts) lengths |= std::uint64_t{1} << line.size();
  return lengths;
}();

inline constexpr bool is_enforced_line(std::string_view line) {
  if (line.size() >= 64 || ((enforced_line_lengths >> line.size()) & 1U) == 0) return false;
  return std::ranges::find(enforced_line_texts, line) != enforced_line_texts.end();
}

// Appended after the enforced lines when a DNS provider is chosen, in this
// order: the first ignores pushed DNS servers in the older form, the second
// every pushed `dns` option (servers, search domains), which OpenVPN 2.6 and
// later accept from the server.
inline constexpr std::string_view dns_filter_line = R"(pull-filter ignore "dhcp-option DNS")";
inline constexpr std::string_view dns_option_filter_line = R"(pull-filter ignore "dns ")";

// Appended when the profile does not set them itself.
inline constexpr std::string_view server_certificate_line = "remote-cert-tls server";
inline constexpr std::string_view minimum_tls_version_line = "tls-version-min 1.2";

// Prefix of the line that hands one provider DNS server to the tunnel.
inline constexpr std::string_view dns_server_line_prefix = "dhcp-option DNS ";

}  // namespace morvex
