#include "windows/engine/portable/openvpn_version.hpp"

#include <array>
#include <limits>

#include "policy/unicode_text.hpp"

namespace morvex {
namespace {

constexpr std::string_view banner_start = "OpenVPN ";
constexpr std::string_view openssl_line_start = "library versions: OpenSSL ";

constexpr VersionNumber lowest_openvpn{2, 7, 7};

struct OpensslSeries {
  std::uint32_t major;
  std::uint32_t minor;
  std::uint32_t lowest_patch;
};

// Every series not listed here is refused.
constexpr std::array<OpensslSeries, 5> openssl_series = {{
    {3, 0, 23},
    {3, 4, 8},
    {3, 5, 9},
    {3, 6, 5},
    {4, 0, 3},
}};

std::optional<std::uint32_t> parse_part(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// The first white-space-separated word of `text`, or an empty view.
std::string_view leading_word(std::string_view text) {
  while (const auto length = leading_white_space_length(text)) text.remove_prefix(length);
  return first_word(text);
}

}  // namespace

std::optional<VersionNumber> parse_version_number(std::string_view text) {
  const auto first_dot = text.find('.');
  if (first_dot == std::string_view::npos) return std::nullopt;
  const auto second_dot = text.find('.', first_dot + 1);
  if (second_dot == std::string_view::npos) return std::nullopt;
  const auto major = parse_part(text.substr(0, first_dot));
  const auto minor = parse_part(text.substr(first_dot + 1, second_dot - first_dot - 1));
  // A third dot leaves a non-digit in the last part.
  const auto patch = parse_part(text.substr(second_dot + 1));
  if (!major || !minor || !patch) return std::nullopt;
  return VersionNumber{*major, *minor, *patch};
}

bool openvpn_release_accepted(VersionNumber version) { return version >= lowest_openvpn; }

bool openssl_release_accepted(VersionNumber version) {
  for (const auto& series : openssl_series) {
    if (version.major == series.major && version.minor == series.minor) {
      return version.patch >= series.lowest_patch;
    }
  }
  return false;
}

bool openvpn_banner_passes(std::string_view output) {
  if (!output.starts_with(banner_start)) return false;
  const auto openvpn = parse_version_number(leading_word(output.substr(banner_start.size())));
  if (!openvpn || !openvpn_release_accepted(*openvpn)) return false;

  // The first line naming the OpenSSL release decides; later ones are not read.
  std::string_view rest = output;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const auto line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!line.starts_with(openssl_line_start)) continue;
    const auto openssl = parse_version_number(leading_word(line.substr(openssl_line_start.size())));
    return openssl && openssl_release_accepted(*openssl);
  }
  return false;
}

}  // namespace morvex
