#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "dispatch/messages.hpp"

namespace morvex {

// Results of the last protection check, kept so that frequent status requests
// do not run the expensive checks each time. A teardown clears them.
struct KeptChecks {
  std::optional<std::chrono::steady_clock::time_point> route_checked_at;
  std::optional<std::string> source_address;
  std::optional<std::chrono::steady_clock::time_point> internet_checked_at;
  std::optional<std::string> public_address;
};

struct AdapterReadiness {
  // Idle: the engine runs but only traffic can show that the tunnel works.
  enum class Kind { stopped, not_ready, idle, ready };
  Kind kind = Kind::not_ready;
  // The adapter carrying the tunnel, when idle or ready.
  std::string adapter;
};

// The outside effects of a protection check.
class ProtectionProbes {
 public:
  virtual ~ProtectionProbes() = default;
  // The readiness of the engine that the profile names.
  virtual AdapterReadiness readiness(const Profile& profile) = 0;
  // Runs the verification script with its JSON input; gives its output.
  virtual Result<std::string> run_script(const std::string& input) = 0;
  // Runs the trace request bound to the source address; gives the body.
  virtual Result<std::string> run_trace(const std::string& source_address) = 0;
  virtual std::chrono::steady_clock::time_point now() = 0;
};

// Route and DNS results are reused for less than 9 whole seconds, the public
// address for less than 60.
inline constexpr std::chrono::seconds route_check_lifetime{9};
inline constexpr std::chrono::seconds internet_check_lifetime{60};

// Describes the tunnel: disconnected without a profile, an error when the
// engine has stopped, connected once routes, DNS and internet access are
// verified through the adapter, and checking otherwise. An idle engine is
// proved by traffic: the internet check runs in that call whatever the kept
// public address, and its passing alone makes the tunnel connected.
VpnStatus probe_status(ProtectionProbes& probes, const std::optional<Profile>& active_profile,
                       std::optional<std::uint64_t> connected_at, KeptChecks& kept);

}  // namespace morvex
