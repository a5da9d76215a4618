#pragma once

#include <mutex>

namespace morvex {

// Serialises this process's calls to the Service Control Manager, handles'
// closing included: Wine's client for it is not safe for calls from several
// threads at once (seen failing an open with ERROR_INVALID_HANDLE and
// corrupting the heap), and the service reports its status from a thread of
// the pool while a teardown looks at the tunnel service. Hold it for each
// sequence of calls, never across a wait.
inline std::mutex& service_manager_calls() {
  static std::mutex calls;
  return calls;
}

}  // namespace morvex
