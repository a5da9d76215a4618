// The bounded runner against real child processes (runner_child.exe, built
// beside this test).
#include "command/runner.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command/runner_detail.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

std::wstring beside_this_test(const std::wstring& name) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

EngineCommand child_command(std::vector<std::wstring> arguments) {
  auto command = engine_command(beside_this_test(L"runner_child.exe"));
  command.arguments = std::move(arguments);
  return command;
}

Result<std::string> run_child(std::vector<std::wstring> arguments,
                              std::optional<std::string> input = std::nullopt,
                              std::chrono::nanoseconds timeout = 5s) {
  return run_bounded(child_command(std::move(arguments)), input, timeout);
}

// A name no other test or run uses.
std::wstring unique_name(const wchar_t* what) {
  static std::atomic<unsigned> counter{0};
  return L"MorvexRunnerTest." + std::wstring(what) + L"." + std::to_wstring(GetCurrentProcessId()) +
         L"." + std::to_wstring(counter++);
}

bool event_exists(const std::wstring& name) {
  const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
  if (event == nullptr) return false;
  CloseHandle(event);
  return true;
}

std::chrono::milliseconds elapsed_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

struct Outcome {
  std::vector<std::wstring> arguments;
  Result<std::string> expected;
};

TEST(RunBounded, JudgesExitCodeSizeAndEncodingInThatOrder) {
  const Outcome cases[] = {
      {{L"exit", L"0"}, ""},
      {{L"exit", L"1"}, fail("The VPN component could not complete the operation.")},
      // 259 is the code that reads as "still running" to an exit-code query.
      {{L"exit", L"259"}, fail("The VPN component could not complete the operation.")},
      {{L"print", L"5"}, "xxxxx"},
      {{L"print", L"5", L"1"}, fail("The VPN component could not complete the operation.")},
      {{L"print", L"131072"}, std::string(131072, 'x')},
      {{L"print", L"131073"}, fail("VPN response exceeded its size limit.")},
      {{L"print", L"1000000"}, fail("VPN response exceeded its size limit.")},
      {{L"print", L"131073", L"7"}, fail("The VPN component could not complete the operation.")},
      {{L"invalid-utf8"}, fail("Invalid VPN response.")},
      {{L"invalid-utf8", L"2"}, fail("The VPN component could not complete the operation.")},
      {{L"stderr-flood", L"1000000"}, "done"},
  };
  for (const auto& [arguments, expected] : cases) {
    const auto result = run_child(arguments);
    if (expected) {
      ASSERT_TRUE(result.has_value()) << result.error().message;
      EXPECT_EQ(result->size(), expected->size());
      EXPECT_TRUE(*result == *expected);
    } else {
      EXPECT_EQ(result, expected) << std::string(arguments[0].begin(), arguments[0].end());
    }
  }
}

TEST(RunBounded, FeedsTheInputAndEndsIt) {
  std::string text;
  for (int i = 0; text.size() < 100000; ++i) text += "line " + std::to_string(i) + " ünïcode\n";
  EXPECT_EQ(run_child({L"echo"}, text), text);
  EXPECT_EQ(run_child({L"echo"}, ""s), "");
  EXPECT_EQ(run_child({L"echo"}), "");
}

TEST(RunBounded, ReportsAChildThatStopsReadingItsInput) {
  const std::string input(4 << 20, 'i');
  EXPECT_EQ(run_child({L"skip-input"}, input), fail("VPN input failed."));
}

TEST(RunBounded, EndsAChildThatOutlivesTheDeadline) {
  const auto alive = unique_name(L"Hang");
  std::optional<Result<std::string>> result;
  std::chrono::milliseconds took{};
  std::thread run([&] {
    const auto start = Clock::now();
    result = run_child({L"sleep", L"60000", alive}, std::nullopt, 1000ms);
    took = elapsed_since(start);
  });
  // The child holds its event while it lives.
  bool seen_alive = false;
  for (int i = 0; i < 100 && !seen_alive; ++i) {
    seen_alive = event_exists(alive);
    if (!seen_alive) Sleep(10);
  }
  run.join();
  EXPECT_TRUE(seen_alive);
  EXPECT_EQ(result, fail("VPN component timed out. Please try again."));
  EXPECT_GE(took, 1000ms);
  EXPECT_LT(took, 2500ms);
  EXPECT_FALSE(event_exists(alive));
}

// Whether the process whose id the file holds has ended within `grace`; one
// that still runs then is ended here.
bool ended_within(const std::wstring& file, DWORD grace_ms) {
  const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  char text[32] = {};
  DWORD got = 0;
  ReadFile(handle, text, sizeof(text) - 1, &got, nullptr);
  CloseHandle(handle);
  const HANDLE process =
      OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, std::strtoul(text, nullptr, 10));
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, grace_ms) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process, 1);
  CloseHandle(process);
  return ended;
}

TEST(RunBounded, TimesOutWhileAnotherProcessHoldsTheOutputOpen) {
  // The child exits at once; the process it started keeps standard output
  // open for one and a half seconds, so the output never ends before the
  // deadline. That process is in the run's job, so it ends with the run.
  wchar_t folder[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
  const std::wstring id_file = folder + unique_name(L"Sleeper") + L".pid";
  const auto start = Clock::now();
  EXPECT_EQ(run_child({L"spawn-sleeper", L"1500", id_file}, std::nullopt, 500ms),
            fail("VPN component timed out. Please try again."));
  const auto took = elapsed_since(start);
  EXPECT_GE(took, 500ms);
  EXPECT_LT(took, 1400ms);
  EXPECT_TRUE(ended_within(id_file, 300));
}

TEST(RunBounded, ZeroTimeOutTimesOutARunningChild) {
  const auto alive = unique_name(L"Zero");
  const auto start = Clock::now();
  EXPECT_EQ(run_child({L"sleep", L"5000", alive}, std::nullopt, 0s),
            fail("VPN component timed out. Please try again."));
  EXPECT_LT(elapsed_since(start), 2000ms);
  EXPECT_FALSE(event_exists(alive));
}

TEST(RunBounded, ReturnsSoonAfterTheChildExits) {
  const auto start = Clock::now();
  EXPECT_EQ(run_child({L"exit", L"0"}, std::nullopt, 30s), "");
  EXPECT_LT(elapsed_since(start), 3000ms);
}

TEST(RunBounded, CannotStartWhatIsNotAnAbsoluteProgram) {
  const auto folder = beside_this_test(L"");
  for (const std::wstring& program :
       {folder + L"no_such_program.exe", folder.substr(0, folder.size() - 1),
        std::wstring(L"runner_child.exe"), std::wstring(L"cmd.exe")}) {
    EXPECT_EQ(run_bounded(engine_command(program), std::nullopt, 2s),
              fail("Could not start the VPN component."));
  }
}

TEST(RunBounded, GivesTheChildTheCLocaleAndTheRestOfTheEnvironment) {
  SetEnvironmentVariableW(L"MORVEX_RUNNER_PROBE", L"probe välue");
  SetEnvironmentVariableW(L"LANG", L"de_DE.UTF-8");
  SetEnvironmentVariableW(L"lc_all", L"de_DE");
  const auto output = run_child({L"environment"});
  SetEnvironmentVariableW(L"MORVEX_RUNNER_PROBE", nullptr);
  SetEnvironmentVariableW(L"LANG", nullptr);
  SetEnvironmentVariableW(L"lc_all", nullptr);
  ASSERT_TRUE(output.has_value()) << output.error().message;

  std::vector<std::string> locale_entries;
  bool probe_seen = false;
  std::size_t start = 0;
  while (start < output->size()) {
    const auto end = output->find('\n', start);
    const auto entry = output->substr(start, end - start);
    start = end + 1;
    std::string upper = entry.substr(0, entry.find('=', 1));
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "LANG" || upper == "LC_ALL") locale_entries.push_back(entry);
    if (entry == "MORVEX_RUNNER_PROBE=probe välue") probe_seen = true;
  }
  EXPECT_EQ(locale_entries, (std::vector<std::string>{"LANG=C", "LC_ALL=C"}));
  EXPECT_TRUE(probe_seen);
}

TEST(RunBounded, PassesEveryArgumentThroughTheSystemsSplitting) {
  const std::vector<std::wstring> arguments = {L"",
                                               L"plain",
                                               L"two words",
                                               L"tab\there",
                                               LR"(say"hi")",
                                               LR"(back\"quote)",
                                               LR"(trailing\)",
                                               LR"(with space\)",
                                               LR"(\\server\share\)",
                                               L"root\\tap0901",
                                               L"$a = 1\n$b = \"x y\"\n",
                                               L"ünïcödé ∑",
                                               L"\"",
                                               L"\\\\\""};
  std::vector<std::wstring> command = {L"arguments"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const auto output = run_child(command);
  ASSERT_TRUE(output.has_value()) << output.error().message;

  std::vector<std::wstring> seen;
  std::size_t start = 0;
  while (start < output->size()) {
    const auto end = output->find('\0', start);
    const auto bytes = output->substr(start, end - start);
    start = end + 1;
    std::wstring wide(bytes.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                            static_cast<int>(wide.size()))));
    seen.push_back(wide);
  }
  EXPECT_EQ(seen, command);
}

TEST(RunBounded, StartsTheChildWithoutAWindow) { EXPECT_EQ(run_child({L"window"}), "none"); }

// What a run gave, short enough to read in a failure report: the failure
// text, or the output's size and its first and last bytes.
std::string describe(const Result<std::string>& result) {
  if (!result) return "failure \"" + result.error().message + "\"";
  const std::string& text = *result;
  if (text.size() <= 40) return std::to_string(text.size()) + " bytes \"" + text + "\"";
  return std::to_string(text.size()) + " bytes \"" + text.substr(0, 20) + "..." +
         text.substr(text.size() - 20) + "\"";
}

TEST(RunBounded, RunsInParallelWithoutCrossTalk) {
  constexpr int threads = 4;
  constexpr int runs = 4;
  std::mutex lock;
  std::vector<std::string> mismatches;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t, &lock, &mismatches] {
      const auto check = [&](const std::string& what, const Result<std::string>& actual,
                             const Result<std::string>& expected) {
        if (actual == expected) return;
        const std::lock_guard guard(lock);
        mismatches.push_back(what + ": expected " + describe(expected) + ", got " +
                             describe(actual));
      };
      for (int r = 0; r < runs; ++r) {
        const auto run = "thread " + std::to_string(t) + " run " + std::to_string(r);
        const std::string input = run + std::string(static_cast<std::size_t>(1000 * (t + 1)), '.');
        const auto size = static_cast<std::size_t>(t * 100 + r);
        check(run + " echo", run_child({L"echo"}, input, 20s), input);
        check(run + " print", run_child({L"print", std::to_wstring(size)}, std::nullopt, 20s),
              std::string(size, 'x'));
      }
    });
  }
  for (auto& worker : workers) worker.join();
  std::string report;
  for (const auto& mismatch : mismatches) report += mismatch + "\n";
  EXPECT_TRUE(mismatches.empty()) << report;
}

TEST(RunBounded, KeepsOtherInheritableHandlesFromTheChild) {
  // An inheritable pipe end of the test process stands for another run's
  // child end made at the same moment on another thread. Only the handles
  // named in the start's handle list reach the child.
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inheritable, 0));
  const auto value = std::to_wstring(reinterpret_cast<std::uintptr_t>(write_end));
  EXPECT_EQ(run_child({L"write-handle", value}), "");
  DWORD available = 0;
  ASSERT_TRUE(PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr));
  EXPECT_EQ(available, 0u);
  CloseHandle(read_end);
  CloseHandle(write_end);
}

TEST(RunBounded, KeepsNonInheritableHandlesFromTheChild) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  const auto value = std::to_wstring(reinterpret_cast<std::uintptr_t>(write_end));
  EXPECT_EQ(run_child({L"write-handle", value}), "");
  DWORD available = 0;
  ASSERT_TRUE(PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr));
  EXPECT_EQ(available, 0u);
  CloseHandle(read_end);
  CloseHandle(write_end);
}

std::atomic<int> thread_starts_allowed{0};

bool start_some_threads(LPTHREAD_START_ROUTINE routine, void* context) {
  if (thread_starts_allowed.fetch_sub(1) <= 0) return false;
  return detail::start_detached_thread(routine, context);
}

TEST(RunBounded, EndsTheChildWhenAHelperThreadCannotStart) {
  const struct {
    int allowed;
    const char* message;
  } cases[] = {{0, "VPN input failed."}, {1, "VPN response failed."}};
  for (const auto& [allowed, message] : cases) {
    thread_starts_allowed = allowed;
    const auto alive = unique_name(L"NoThread");
    const auto start = Clock::now();
    const auto result = detail::run_bounded_with(child_command({L"sleep", L"60000", alive}),
                                                 "input"s, 10s, start_some_threads);
    EXPECT_EQ(result, fail(message));
    EXPECT_LT(elapsed_since(start), 3000ms);
    EXPECT_FALSE(event_exists(alive));
  }
}

}  // namespace
}  // namespace morvex
