#pragma once

#include "command/runner.hpp"
#include "dispatch/messages.hpp"

// The installation checks behind the capabilities request and the OpenVPN
// version gate of every OpenVPN connect.
namespace morvex {

// Runs `openvpn.exe --version` (3 s) and refuses an engine whose own or whose
// OpenSSL release is older than the patched ones, or that cannot report them.
Result<void> check_openvpn_version(CommandRunner& runner);

// Which engines are usable: OpenVPN when its version gate passes, WireGuard
// when both of its programs are regular files. Never fails.
EngineCapabilities query_capabilities(CommandRunner& runner);

}  // namespace morvex
