#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/failure.hpp"

namespace morvex {

using PipeClock = std::chrono::steady_clock;

// Reads and writes poll a pipe instance in non-blocking mode at this interval,
// so no thread ever blocks on a silent client beyond its deadline.
inline constexpr std::chrono::milliseconds pipe_poll_interval{10};
// Receiving a request, each write and the wait for the client to finish.
inline constexpr std::chrono::milliseconds pipe_io_timeout{65000};

// Exactly `count` bytes from a non-blocking pipe, or "VPN service connection
// was interrupted." (the read failed, for example because the client closed
// its end) or "VPN service timed out." (the deadline passed).
Result<std::string> read_exact_until(HANDLE pipe, std::size_t count,
                                     PipeClock::time_point deadline);

// One frame's body; one deadline covers its length and its body. A length
// above the largest body fails with "VPN message is too large." before any
// of the body is read.
Result<std::string> read_message(HANDLE pipe, std::chrono::milliseconds timeout);

// Waits until the client has closed its end, dropping whatever it sends
// meanwhile: success once it has, "VPN service timed out." when the deadline
// passes first.
Result<void> wait_for_hang_up(HANDLE pipe, PipeClock::time_point deadline);

// All of `bytes` under a deadline of its own: "Cannot send the VPN request."
// when a write fails, "VPN service timed out." when the deadline passes.
Result<void> write_all(HANDLE pipe, std::string_view bytes,
                       std::chrono::milliseconds timeout = pipe_io_timeout);

}  // namespace morvex
