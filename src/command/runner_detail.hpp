#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>

#include "command/runner.hpp"

// The runner with its thread start made replaceable, so a test can make the
// writer or reader thread fail to start.
namespace morvex::detail {

// Starts `routine(context)` as detached work on the thread pool, which nobody
// waits for. On failure the context still belongs to the caller.
using ThreadStarter = bool (*)(LPTHREAD_START_ROUTINE routine, void* context);

bool start_detached_thread(LPTHREAD_START_ROUTINE routine, void* context);

Result<std::string> run_bounded_with(const EngineCommand& command,
                                     const std::optional<std::string>& input,
                                     std::chrono::nanoseconds timeout, ThreadStarter start_thread);

}  // namespace morvex::detail
