#include "policy/openvpn_directives.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace morvex {
namespace {

using Arguments = DirectiveArguments;
using Drop = DirectiveDrop;
using Mark = DirectiveMark;

constexpr std::array<std::string_view, 2> dev_lines = {"dev tun", "dev tun0"};
constexpr std::array<std::string_view, 1> remote_cert_tls_lines = {server_certificate_line};
constexpr std::array<std::string_view, 2> tls_version_min_lines = {"tls-version-min 1.2",
                                                                   "tls-version-min 1.3"};
constexpr std::array<std::string_view, 2> tls_version_max_lines = {"tls-version-max 1.2",
                                                                   "tls-version-max 1.3"};
constexpr std::array<std::string_view, 2> redirect_gateway_lines = {"redirect-gateway",
                                                                    "redirect-gateway def1"};

constexpr Directive any(std::string_view name, Mark mark = Mark::none) {
  return {name, Arguments::any, {}, Drop::never, mark};
}
constexpr Directive bare(std::string_view name, Mark mark = Mark::none) {
  return {name, Arguments::none, {}, Drop::never, mark};
}
constexpr Directive exact(std::string_view name, std::span<const std::string_view> lines,
                          Mark mark = Mark::none) {
  return {name, Arguments::exact_lines, lines, Drop::never, mark};
}
constexpr Directive refused(std::string_view name) {
  return {name, Arguments::refused, {}, Drop::never, Mark::none};
}
constexpr Directive dropped(std::string_view name, Drop drop) {
  return {name, Arguments::any, {}, drop, Mark::none};
}

constexpr std::array directives = {
    bare("client", Mark::client),
    bare("tls-client", Mark::client),
    exact("dev", dev_lines),
    any("dev-type"),
    any("proto"),
    any("remote", Mark::remote),
    any("remote-random"),
    any("remote-random-hostname"),
    any("nobind"),
    any("persist-key"),
    any("persist-tun"),
    any("resolv-retry"),
    any("connect-retry"),
    any("connect-retry-max"),
    any("connect-timeout"),
    exact("remote-cert-tls", remote_cert_tls_lines, Mark::server_certificate),
    any("verify-x509-name"),
    any("auth"),
    // Credentials come from the engine's own file, never from a path in the profile.
    bare("auth-user-pass"),
    any("auth-nocache"),
    any("cipher"),
    any("data-ciphers"),
    any("data-ciphers-fallback"),
    exact("tls-version-min", tls_version_min_lines, Mark::minimum_tls_version),
    exact("tls-version-max", tls_version_max_lines),
    any("tls-cipher"),
    any("tls-ciphersuites"),
    any("key-direction"),
    any("reneg-sec"),
    any("explicit-exit-notify"),
    any("verb"),
    any("mute"),
    any("mute-replay-warnings"),
    any("keepalive"),
    any("ping"),
    any("ping-restart"),
    any("ping-timer-rem"),
    any("tun-mtu"),
    any("mssfix"),
    any("sndbuf"),
    any("rcvbuf"),
    exact("redirect-gateway", redirect_gateway_lines),
    refused("route"),
    refused("route-ipv6"),
    dropped("dhcp-option", Drop::when_provider_chosen),
    dropped("block-outside-dns", Drop::always),
    any("fast-io"),
    any("float"),
    refused("remote-cert-eku"),
    refused("remote-cert-ku"),
};
static_assert(directives.size() == 50);

constexpr std::array<std::string_view, 6> inline_tags = {"ca",       "key",       "cert",
                                                         "tls-auth", "tls-crypt", "tls-crypt-v2"};

// Every directive line is looked up by its first word, so the names are
// indexed by an open-addressing table built at compile time: a name's slot
// comes from its length and its first and last characters, and a taken slot
// passes the name on to the next one. Unused slots hold no_directive.
constexpr std::size_t directive_slots = 128;
constexpr std::uint8_t no_directive = 0xFF;
static_assert(directives.size() < directive_slots && directives.size() < no_directive);

constexpr std::size_t slot_of(std::string_view name) {
  const auto first = static_cast<unsigned char>(name.front());
  const auto last = static_cast<unsigned char>(name.back());
  return (name.size() * 5 + first * 3 + last) % directive_slots;
}

constexpr auto directive_index = [] {
  std::array<std::uint8_t, directive_slots> index{};
  index.fill(no_directive);
  for (std::size_t i = 0; i < directives.size(); ++i) {
    auto slot = slot_of(directives[i].name);
    while (index[slot] != no_directive) slot = (slot + 1) % directive_slots;
    index[slot] = static_cast<std::uint8_t>(i);
  }
  return index;
}();

// Names are at most a few dozen bytes: comparing them here, byte by byte, costs
// less than a call to memcmp.
constexpr bool is_same_name(std::string_view known, std::string_view name) {
  if (known.size() != name.size()) return false;
  for (std::size_t i = 0; i < known.size(); ++i) {
    if (known[i] != name[i]) return false;
  }
  return true;
}

}  // namespace

const Directive* find_directive(std::string_view name) {
  if (name.empty()) return nullptr;
  for (auto slot = slot_of(name); directive_index[slot] != no_directive;
       slot = (slot + 1) % directive_slots) {
    const auto& directive = directives[directive_index[slot]];
    if (is_same_name(directive.name, name)) return &directive;
  }
  return nullptr;
}

std::span<const Directive> known_directives() { return directives; }

bool is_allowed_inline_tag(std::string_view tag) {
  for (const auto allowed : inline_tags) {
    if (allowed == tag) return true;
  }
  return false;
}

}  // namespace morvex
