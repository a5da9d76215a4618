#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "command/runner.hpp"
#include "common/failure.hpp"
#include "windows/engine/openvpn_exit_event.hpp"

namespace morvex {

// What the engines need from their surroundings: the runner for outside
// programs, where those programs lie, the system clock, and the fixed names
// and waits. The service builds one with the defaults; tests replace the
// runner, the clock and the program root, and give unique names so that they
// never meet a real tunnel or each other.
struct EngineContext {
  explicit EngineContext(CommandRunner& command_runner) : runner(command_runner) {}

  CommandRunner& runner;

  // The absolute path of an engine program given relative to the
  // program-files root, such as "WireGuard\wg.exe".
  std::function<std::wstring(std::wstring_view relative)> program_path;

  // The system time in whole seconds since the Unix epoch (0 before it).
  std::function<std::uint64_t()> unix_seconds;

  // The WireGuard tunnel (and adapter) name; the configuration file is this
  // name plus ".conf" and the tunnel service "WireGuardTunnel$" plus this name.
  std::wstring tunnel_name = L"MorvexVPN";
  // Names the event OpenVPN watches and leaves on, anew for every start.
  std::function<Result<std::wstring>()> openvpn_exit_event_name = [] {
    return random_exit_event_name(openvpn_exit_event_prefix);
  };
  // How long a teardown lets OpenVPN leave by itself before ending it.
  std::chrono::milliseconds openvpn_exit_wait{10000};
  // How long a teardown may take to remove the WireGuard tunnel service: the
  // wait for a starting tunnel to take a stop, the uninstall and the wait for
  // the tunnel to be down share it.
  std::chrono::milliseconds tunnel_removal_wait{15000};
};

// The system time in whole seconds since the Unix epoch, 0 if the clock is
// earlier.
std::uint64_t system_unix_seconds();

// A context with the service's defaults around `runner`: programs below the
// program-files root, the system clock and the fixed names.
EngineContext default_engine_context(CommandRunner& runner);

// What an engine's readiness probe found. Idle: the engine runs but cannot
// say that the tunnel passes traffic (a WireGuard tunnel that has sent nothing
// since its last handshake went stale); only traffic through it can show that.
enum class EngineReadiness { stopped, not_ready, idle, ready };

struct Readiness {
  EngineReadiness state = EngineReadiness::not_ready;
  // The adapter carrying the tunnel; set when idle or ready.
  std::string adapter;
};

}  // namespace morvex
