#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/failure.hpp"

namespace morvex {

// Largest standard output a run accepts.
inline constexpr std::size_t max_command_output_bytes = 131072;

// The runner's sentence for a program that ended with a non-zero exit code;
// such a failure has the kind FailureKind::program_failed.
inline constexpr const char* exit_failure_sentence =
    "The VPN component could not complete the operation.";

// An outside program to run: its absolute path, its arguments in order, the
// process-creation flags and the environment variables set or replaced on
// top of the service's own environment.
struct EngineCommand {
  std::wstring program;
  std::vector<std::wstring> arguments;
  std::uint32_t creation_flags = 0;
  std::vector<std::pair<std::wstring, std::wstring>> environment_overrides;
};

// A command for the program at `program`, started without a window and with
// LC_ALL and LANG set to "C". The caller appends the arguments.
EngineCommand engine_command(std::wstring program);

// The command line handed to process creation: the quoted program path, then
// each argument quoted by the Windows rules. Portable.
std::wstring command_line(const EngineCommand& command);

// Runs the command to completion within `timeout`, feeding `input` to its
// standard input, and gives its standard output (valid UTF-8, at most
// max_command_output_bytes) or one of the runner's sentences. Windows only.
Result<std::string> run_bounded(const EngineCommand& command,
                                const std::optional<std::string>& input,
                                std::chrono::nanoseconds timeout);

// The seam through which engines run outside programs, so that their logic can
// be tested with a scripted runner.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  virtual Result<std::string> run(const EngineCommand& command,
                                  const std::optional<std::string>& input,
                                  std::chrono::nanoseconds timeout) = 0;
};

// The runner that starts real programs through run_bounded. Windows only.
class BoundedRunner final : public CommandRunner {
 public:
  Result<std::string> run(const EngineCommand& command, const std::optional<std::string>& input,
                          std::chrono::nanoseconds timeout) override {
    return run_bounded(command, input, timeout);
  }
};

}  // namespace morvex
