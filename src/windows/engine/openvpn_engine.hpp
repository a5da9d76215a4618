#pragma once

#include <filesystem>
#include <optional>

#include "common/failure.hpp"
#include "dispatch/messages.hpp"
#include "windows/engine/engine_context.hpp"
#include "windows/engine/tunnel_state.hpp"

namespace morvex {

// Makes sure the TAP adapter exists, writes the configuration and credentials
// files, creates the exit event and starts OpenVPN in a kill-on-close job,
// recording the event, job and process in the record. What a failed start
// leaves behind is removed by the teardown that follows it.
Result<void> start_openvpn(TunnelState& state, const Profile& profile,
                           const EngineContext& context);

// Unless its identifier file already exists, creates the service's TAP adapter
// (or, when the adapter tool refuses, finds it among those the tool lists) and
// records its identifier in that file.
Result<void> ensure_tap_adapter(const std::filesystem::path& directory,
                                const EngineContext& context);

// Stopped when no process is recorded or the recorded one has ended or cannot
// be asked; ready when OpenVPN's log shows the tunnel fully up since its last
// restart.
Readiness openvpn_readiness(const TunnelState& state);

// Byte totals from OpenVPN's status file while the recorded process runs;
// nothing when it does not or the file cannot be read.
std::optional<TrafficTotals> openvpn_traffic(const TunnelState& state);

}  // namespace morvex
