#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

// The OpenVPN version gate's reading of `openvpn --version`: the engine's
// own version and the OpenSSL release it was built with must both be at
// least the patched releases.
namespace morvex {

struct VersionNumber {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t patch = 0;

  friend auto operator<=>(const VersionNumber&, const VersionNumber&) = default;
};

// Exactly three dot-separated parts, each one or more ASCII digits whose
// value fits in 32 bits ("2.6.12"; not "2.6", "2.6.12.1", "2.7_rc1", "2..1").
std::optional<VersionNumber> parse_version_number(std::string_view text);

// OpenVPN 2.7.7 or later.
bool openvpn_release_accepted(VersionNumber version);

// An OpenSSL release of an accepted series (3.0, 3.4, 3.5, 3.6, 4.0) at or
// above that series' lowest patched release.
bool openssl_release_accepted(VersionNumber version);

// Whether the output of `openvpn --version` passes the gate: it begins with
// "OpenVPN " and an accepted version, and its first line that begins
// "library versions: OpenSSL " names an accepted OpenSSL release.
bool openvpn_banner_passes(std::string_view output);

}  // namespace morvex
