// Times a trivial child started through run_bounded against the same child
// started with a bare CreateProcessW and waited for, in the same run, and
// prints the medians and their ratios. Usage: runner_overhead [runs].
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command/runner.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::wstring child_path() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"runner_child.exe";
}

double median(std::vector<double> samples) {
  std::ranges::sort(samples);
  return samples[samples.size() / 2];
}

// The child started with the same flag and waited for, with no pipes.
bool bare_run(const std::wstring& program) {
  std::wstring line = L"\"" + program + L"\" exit 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &started)) {
    return false;
  }
  const bool done = WaitForSingleObject(started.hProcess, 10000) == WAIT_OBJECT_0;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return done;
}

// The same with standard input and output on pipes, read to their end on
// this thread: what any start with captured output costs, without the
// runner's threads, environment block and polling.
bool piped_run(const std::wstring& program) {
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE input_read = nullptr;
  HANDLE input_write = nullptr;
  HANDLE output_read = nullptr;
  HANDLE output_write = nullptr;
  if (!CreatePipe(&input_read, &input_write, &inheritable, 0)) return false;
  if (!CreatePipe(&output_read, &output_write, &inheritable, 0)) return false;
  SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
  std::wstring line = L"\"" + program + L"\" exit 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input_read;
  startup.hStdOutput = output_write;
  startup.hStdError = output_write;
  PROCESS_INFORMATION started{};
  const bool created = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started);
  CloseHandle(input_read);
  CloseHandle(output_write);
  CloseHandle(input_write);
  if (!created) return false;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(output_read, buffer, sizeof(buffer), &got, nullptr)) {
  }
  CloseHandle(output_read);
  const bool done = WaitForSingleObject(started.hProcess, 10000) == WAIT_OBJECT_0;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return done;
}

template <typename Run>
double time_ms(Run run) {
  const auto start = Clock::now();
  if (!run()) std::exit(1);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 31;
  const auto program = child_path();
  auto command = morvex::engine_command(program);
  command.arguments = {L"exit", L"0"};

  std::vector<double> bare;
  std::vector<double> piped;
  std::vector<double> bounded;
  // Interleave the three so that drift in the machine's load hits all alike.
  for (int i = 0; i < runs + 1; ++i) {
    const double bare_ms = time_ms([&] { return bare_run(program); });
    const double piped_ms = time_ms([&] { return piped_run(program); });
    const double bounded_ms = time_ms([&] {
      return morvex::run_bounded(command, std::nullopt, std::chrono::seconds(10)).has_value();
    });
    if (i == 0) continue;  // warm-up
    bare.push_back(bare_ms);
    piped.push_back(piped_ms);
    bounded.push_back(bounded_ms);
  }
  const double bare_median = median(bare);
  const double piped_median = median(piped);
  const double bounded_median = median(bounded);
  std::printf(
      "runs %d, medians: bare start and wait %.1f ms, piped start read to end %.1f ms, "
      "run_bounded %.1f ms\n",
      runs, bare_median, piped_median, bounded_median);
  std::printf("ratio run_bounded / bare %.3f, run_bounded / piped %.3f\n",
              bounded_median / bare_median, bounded_median / piped_median);
  return 0;
}
