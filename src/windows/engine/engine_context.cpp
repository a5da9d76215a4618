#include "windows/engine/engine_context.hpp"

#include <chrono>

#include "windows/engine/engine_locations.hpp"

namespace morvex {
std::uint64_t system_unix_seconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

EngineContext default_engine_context(CommandRunner& runner) {
  EngineContext context(runner);
  context.program_path = program_files_path;
  context.unix_seconds = system_unix_seconds;
  return context;
}

}  // namespace morvex
