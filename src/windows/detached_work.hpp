#pragma once

#include <functional>

namespace morvex {

// Runs `work` on a thread of the process's default thread pool, without
// waiting for it; false when it cannot be queued (nothing runs then). An
// exception escaping `work` ends only that work.
//
// Work that outlives a short burst (a connection, a wake-up, an outside
// program's pipes) goes to the pool rather than to a thread of its own: the
// pool keeps its threads between items instead of creating and ending one for
// each, and Wine, where the service is tested, was seen to lose a new thread
// while another one ended (its work never ran, no error came back) about once
// in every two hundred starts under load.
bool run_detached(std::function<void()> work);

}  // namespace morvex
