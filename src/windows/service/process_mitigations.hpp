// Hardening that the service applies to its own process before it does
// anything else.
#pragma once

#include <windows.h>

#include <functional>

namespace morvex {

// The system calls that harden the process, as a seam: the service uses
// the real ones, a test records what is asked for and can make any fail.
// Each returns whether the system accepted the setting.
struct MitigationCalls {
  std::function<bool(DWORD directory_flags)> set_default_dll_directories;
  std::function<bool(DWORD search_flags)> set_search_path_mode;
  std::function<bool()> terminate_on_heap_corruption;
  std::function<bool(PROCESS_MITIGATION_POLICY policy, DWORD flags)> set_mitigation_policy;
};

// Libraries only from System32; the path search of the current folder only
// after the system folders; the process ended on a corrupted heap; images only
// from local files without a low integrity label, System32 first; no legacy
// extension points (AppInit libraries, window hooks of other processes and
// similar). Every call is made even when an earlier one fails: a failure
// means an older Windows or a system that lacks the setting, which must not
// keep the service from running. Returns how many settings took effect.
int apply_process_mitigations(const MitigationCalls& calls) noexcept;

// The real calls. Those that older Windows lacks are looked up in kernel32 at
// run time, so that the program still loads there.
MitigationCalls system_mitigation_calls();

}  // namespace morvex
