#pragma once

#include <windows.h>

#include "common/failure.hpp"
#include "win32/unique_handle.hpp"

namespace morvex {

// Ties a just-started child to the service's lifetime: the returned job holds
// the process and kills it when its last handle closes, which also happens
// when the service process ends for any reason. No other limit is set.
// (Built into the runner library: the runner and the OpenVPN engine use it.)
Result<UniqueHandle> supervise_process(HANDLE process);

}  // namespace morvex
