// Whatever bytes arrive, sanitize_openvpn_profile gives one of its sentences or
// a profile that holds only known directives and allowed blocks, never a
// refused directive, a backslash, a control character or net_gateway, and ends
// with the eight enforced lines exactly once each (then the two DNS filter
// lines when a provider is chosen). Without a provider, sanitising is idempotent.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "policy/openvpn_directives.hpp"
#include "policy/openvpn_profile.hpp"
#include "policy/unicode_text.hpp"
#include "policy_fuzz_input.hpp"

namespace {

using morvex::fuzz::require;

constexpr std::string_view unsupported =
    "Morvex returned an unsupported VPN profile. Try another location.";
constexpr std::string_view invalid = "Invalid OpenVPN profile.";
constexpr std::string_view dns_filter = R"(pull-filter ignore "dhcp-option DNS")";
constexpr std::string_view dns_option_filter = R"(pull-filter ignore "dns ")";

constexpr std::array<std::string_view, 8> enforced = {
    "ifconfig-ipv6 fd15:53b6:dead::2/64 fd15:53b6:dead::1",
    R"(pull-filter ignore "ifconfig-ipv6")",
    "redirect-gateway def1 ipv6",
    "block-ipv6",
    R"(pull-filter ignore "redirect-gateway")",
    R"(pull-filter ignore "redirect-private")",
    R"(pull-filter ignore "route ")",
    R"(pull-filter ignore "route-ipv6 ")",
};

constexpr std::array<std::string_view, 6> never_written = {
    "route", "route-ipv6", "remote-cert-ku", "remote-cert-eku", "pull-filter", "block-outside-dns"};

void check_written(const std::string& written, const std::vector<std::string_view>& dns) {
  require(written.ends_with('\n'));
  for (const char c : written) {
    const auto byte = static_cast<unsigned char>(c);
    require(byte != '\\' && byte != '\r' && (byte >= 0x20 || byte == '\t' || byte == '\n'));
  }
  require(written.find("net_gateway") == std::string::npos);

  const auto lines = morvex::fuzz::written_lines(written);
  const std::size_t tail = enforced.size() + (dns.empty() ? 0 : 2);
  require(lines.size() >= tail + 2);
  const std::size_t body = lines.size() - tail;
  for (std::size_t i = 0; i < enforced.size(); ++i) {
    require(lines[body + i] == enforced[i]);
    require(std::ranges::count(lines, enforced[i]) == 1);
  }
  if (!dns.empty()) {
    require(lines[lines.size() - 2] == dns_filter && lines.back() == dns_option_filter);
  }

  std::string_view open_tag;
  for (std::size_t i = 0; i < body; ++i) {
    const auto line = lines[i];
    require(!line.empty() && line.size() <= 255);
    if (!open_tag.empty()) {
      if (line == "</" + std::string(open_tag) + ">") open_tag = {};
      continue;
    }
    if (line.starts_with('<')) {
      open_tag = line.substr(1, line.size() - 2);
      require(morvex::is_allowed_inline_tag(open_tag) && line.ends_with('>'));
      continue;
    }
    if (line == dns_filter || line == dns_option_filter) continue;
    const auto name = morvex::first_word(line);
    require(morvex::find_directive(name) != nullptr);
    require(std::ranges::find(never_written, name) == never_written.end());
    // With a provider, the only DNS options are the provider's own.
    if (!dns.empty() && name == "dhcp-option") {
      const auto server = line.substr(std::string_view("dhcp-option DNS ").size());
      require(line.starts_with("dhcp-option DNS ") && std::ranges::find(dns, server) != dns.end());
    }
  }
  require(open_tag.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = morvex::fuzz::profile_input(data, size);
  const auto result = morvex::sanitize_openvpn_profile(input.text, input.dns_servers);
  if (!result) {
    require(result.error().message == unsupported || result.error().message == invalid);
    return 0;
  }
  check_written(*result, input.dns_servers);
  if (input.dns_servers.empty()) {
    const auto again = morvex::sanitize_openvpn_profile(*result, input.dns_servers);
    require(again && *again == *result);
  }
  return 0;
}
