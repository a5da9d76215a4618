#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "common/failure.hpp"
#include "dispatch/messages.hpp"
#include "win32/unique_handle.hpp"
#include "windows/engine/engine_context.hpp"

namespace morvex {

// The one record that describes this machine's tunnel. It lives behind the
// tunnel-state lock for the whole life of the process and owns its handles:
// closing the job ends the OpenVPN process.
struct TunnelState {
  explicit TunnelState(std::filesystem::path private_runtime)
      : directory(std::move(private_runtime)) {}

  // The private-runtime directory; set once when the record is built.
  std::filesystem::path directory;

  // The validated profile of the running engine, with its rewritten text.
  std::optional<Profile> active_profile;
  // Milliseconds since 1970-01-01 UTC, set with the active profile.
  std::optional<std::uint64_t> connected_at;

  UniqueHandle openvpn_exit_event;
  UniqueHandle openvpn_job;
  UniqueHandle openvpn_process;
  UniqueHandle openvpn_thread;

  // Results kept by the last protection check.
  std::optional<std::chrono::steady_clock::time_point> route_checked_at;
  std::optional<std::string> source_address;
  std::optional<std::chrono::steady_clock::time_point> internet_checked_at;
  std::optional<std::string> public_address;

  // Set by a teardown that has stopped every engine but could not finish
  // (a private file held open): the active profile stays for the retry, but
  // no tunnel runs for it. Cleared when a teardown completes.
  bool engines_stopped = false;
};

// Stops and removes whatever tunnel this service has on the machine, then
// clears the record. In order: signals OpenVPN's exit event and waits for the
// process (ending it after `context.openvpn_exit_wait`), closes the event and
// the job, uninstalls the WireGuard tunnel service when its command line names
// our configuration file (and refuses when it names another), once it can take
// a stop, and waits for it to be down, all within
// `context.tunnel_removal_wait`, deletes the
// per-connection private files and forgets the active profile, its time and
// the kept protection results.
//
// A failure leaves on the record everything not yet handled: an OpenVPN
// failure keeps the OpenVPN handles and all later fields; a WireGuard failure
// keeps the files and the active profile. The kept protection results are
// dropped at the start, since the engines are being stopped, and a failure
// after both engines have stopped marks the record `engines_stopped`, so that
// no status or traffic built from the kept profile reads as a live tunnel.
//
// Call it with the tunnel-state lock held: once at service start on the fresh
// record (a failure stops the start), on every disconnect, before and after
// every connect, and once at service stop (its outcome ignored). Build the
// context with default_engine_context around a BoundedRunner.
Result<void> teardown_tunnel(TunnelState& state, const EngineContext& context);

// The byte totals of the engine that carries the active tunnel: WireGuard for
// a "wireguard" profile, OpenVPN for any other; nothing without an active
// tunnel, once its engine has stopped, or when the engine's totals cannot be
// read.
std::optional<TrafficTotals> read_traffic(TunnelState& state, const EngineContext& context);

}  // namespace morvex
