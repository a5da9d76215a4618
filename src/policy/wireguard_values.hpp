#pragma once

#include <string>
#include <string_view>

#include "common/failure.hpp"

// Checks of single WireGuard profile values. Where a value is written back,
// the check gives it in the one form WireGuard's own configuration reader
// takes as meant: numbers in plain decimal (no sign, no leading zero).
namespace morvex {

// A key (`PrivateKey`, `PublicKey`, `PresharedKey`): only the standard Base64
// alphabet with the canonical `=` padding and no stray bits, decoding to
// exactly 32 bytes.
bool is_wireguard_key(std::string_view value);

// The one encoding of the key of 32 zero bytes that is_wireguard_key takes.
// WireGuard reads a peer with this public key as one without a key and refuses
// the profile ("All peers must have public keys", conf/parser.go).
inline constexpr std::string_view zero_wireguard_key =
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

// One item of `Address` or `AllowedIPs`: an IPv4 or IPv6 address, `/`, and a
// prefix length of at most 32 or 128. A missing `/` or a bad address is
// "Invalid VPN address."; a bad prefix length makes the profile unsupported.
// Gives the item as written: the address as given, `/`, the plain length.
Result<std::string> address_prefix_item(std::string_view item);

// `Endpoint`: host and port, split at the last `:`. The host must pass the
// value rule (253 bytes, checked without brackets at its ends) and be an IPv6
// address in brackets, a dotted-decimal IPv4 address or a host name (letters,
// digits, `-` not first, `.`, the last label not starting with a digit); the
// port is 1 to 65535. Gives the host as given, `:`, the plain port.
Result<std::string> endpoint_value(std::string_view value);

}  // namespace morvex
