#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "dispatch/messages.hpp"
#include "windows/unique_handle.hpp"

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
};

// Stops and removes whatever tunnel this service has on the machine and
// clears the record; the order and the partial-failure rules are those of the
// engines' teardown.
Result<void> teardown_tunnel(TunnelState& state);

}  // namespace morvex
