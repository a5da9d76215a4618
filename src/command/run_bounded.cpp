// Runs an outside program under one deadline: input through an anonymous
// pipe, output through another with a byte limit, standard error discarded.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "command/runner.hpp"
#include "command/runner_detail.hpp"
#include "command/runner_text.hpp"
#include "win32/unique_handle.hpp"
#include "windows/detached_work.hpp"
#include "windows/service/process_supervision.hpp"

namespace morvex {
namespace {

constexpr const char* start_failed = "Could not start the VPN component.";
constexpr const char* component_failed = "VPN component failed.";
constexpr const char* timed_out = "VPN component timed out. Please try again.";
constexpr const char* input_failed = "VPN input failed.";
constexpr const char* response_failed = "VPN response failed.";
constexpr const char* response_too_large = "VPN response exceeded its size limit.";
constexpr const char* response_invalid = "Invalid VPN response.";

// How often the child is asked whether it has exited; the wait between two
// questions ends early when it exits.
constexpr std::chrono::milliseconds poll_interval{25};
// Longest wait for a terminated child to be gone.
constexpr DWORD reap_wait_ms = 5000;
// One byte over the limit is enough to tell that the output is too long.
constexpr std::size_t read_limit = max_command_output_bytes + 1;
// Writes go to the pipe in pieces no larger than this.
constexpr std::size_t write_chunk = 1 << 20;

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(std::chrono::nanoseconds timeout) {
  const auto now = Clock::now();
  if (timeout <= std::chrono::nanoseconds::zero()) return now;
  if (timeout >= Clock::time_point::max() - now) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(timeout);
}

// Milliseconds to wait now: what is left until the deadline, rounded up so
// that a wait never ends before it, and at most `cap`.
DWORD wait_ms(Clock::time_point deadline, std::chrono::milliseconds cap) {
  const auto now = Clock::now();
  if (now >= deadline) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return static_cast<DWORD>(std::min(left, cap).count());
}

// A one-shot channel: the sender stores one value and sets the event; a
// sender that goes away without a value sets the event with none. The state
// is shared, so a late sender never touches the receiver's memory.
template <typename T>
struct Channel {
  UniqueHandle ready;
  std::optional<T> value;
};

template <typename T>
std::shared_ptr<Channel<T>> make_channel() {
  auto channel = std::make_shared<Channel<T>>();
  channel->ready.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!channel->ready) return nullptr;
  return channel;
}

template <typename T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<Channel<T>> channel) : channel_(std::move(channel)) {}
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() {
    if (channel_) SetEvent(channel_->ready.get());
  }

  void send(T value) {
    channel_->value.emplace(std::move(value));
    SetEvent(channel_->ready.get());
    channel_.reset();
  }

 private:
  std::shared_ptr<Channel<T>> channel_;
};

// Waits until the deadline for the channel's value; nullopt when none came
// in time or the sender finished without one.
template <typename T>
std::optional<T> receive(Channel<T>& channel, Clock::time_point deadline) {
  constexpr std::chrono::milliseconds longest_wait{3'600'000};
  for (;;) {
    const DWORD state = WaitForSingleObject(channel.ready.get(), wait_ms(deadline, longest_wait));
    if (state == WAIT_OBJECT_0) return std::move(channel.value);
    if (state != WAIT_TIMEOUT || Clock::now() >= deadline) return std::nullopt;
  }
}

struct WriterJob {
  UniqueHandle pipe;
  std::string input;
  Sender<bool> done;  // whether the whole input was written
};

struct ReadOutcome {
  bool ok = false;
  std::string bytes;
};

struct ReaderJob {
  UniqueHandle pipe;
  std::string buffer;
  Sender<ReadOutcome> done;
};

DWORD WINAPI write_input(void* context) {
  const std::unique_ptr<WriterJob> job(static_cast<WriterJob*>(context));
  bool ok = true;
  std::size_t offset = 0;
  while (offset < job->input.size()) {
    const auto chunk = static_cast<DWORD>(std::min(job->input.size() - offset, write_chunk));
    DWORD written = 0;
    if (!WriteFile(job->pipe.get(), job->input.data() + offset, chunk, &written, nullptr) ||
        written == 0) {
      ok = false;
      break;
    }
    offset += written;
  }
  // Closing standard input lets the child see the end of its input.
  job->pipe.reset();
  job->done.send(ok);
  return 0;
}

DWORD WINAPI read_output(void* context) {
  const std::unique_ptr<ReaderJob> job(static_cast<ReaderJob*>(context));
  std::string& buffer = job->buffer;
  std::size_t filled = 0;
  bool ok = true;
  while (filled < buffer.size()) {
    DWORD got = 0;
    if (!ReadFile(job->pipe.get(), buffer.data() + filled,
                  static_cast<DWORD>(buffer.size() - filled), &got, nullptr)) {
      const DWORD error = GetLastError();
      // A broken pipe is the end of the output: every writer has closed it.
      if (error == ERROR_BROKEN_PIPE) break;
      // A cancelled read was merely interrupted.
      if (error == ERROR_OPERATION_ABORTED) continue;
      ok = false;
      break;
    }
    // A successful read of zero bytes comes from a zero-byte write, not from
    // the end of the output.
    filled += got;
  }
  job->pipe.reset();
  buffer.resize(ok ? filled : 0);
  job->done.send(ReadOutcome{ok, std::move(buffer)});
  return 0;
}

// The started child, with the kill-on-close job that holds it and whatever it
// starts. Letting it go ends the child if it still runs, waits a bounded time
// for it to be gone, and then closes the job, which ends every process left
// in it: nothing a run starts outlives the run, nor the service.
class Child {
 public:
  Child(HANDLE process, HANDLE thread) : process_(process), thread_(thread) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
      TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), reap_wait_ms);
    }
  }

  HANDLE process() const { return process_.get(); }
  HANDLE thread() const { return thread_.get(); }
  void hold(UniqueHandle job) { job_ = std::move(job); }

 private:
  // Declared first, so closed last.
  UniqueHandle job_;
  UniqueHandle process_;
  UniqueHandle thread_;
};

class AttributeList {
 public:
  AttributeList() = default;
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList() {
    if (initialized_) DeleteProcThreadAttributeList(get());
  }

  bool initialize(DWORD count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    if (size == 0) return false;
    storage_.resize(size);
    initialized_ = InitializeProcThreadAttributeList(get(), count, 0, &size) != FALSE;
    return initialized_;
  }

  LPPROC_THREAD_ATTRIBUTE_LIST get() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
  }

 private:
  std::vector<unsigned char> storage_;
  bool initialized_ = false;
};

struct EnvironmentStrings {
  wchar_t* block = GetEnvironmentStringsW();
  EnvironmentStrings() = default;
  EnvironmentStrings(const EnvironmentStrings&) = delete;
  EnvironmentStrings& operator=(const EnvironmentStrings&) = delete;
  ~EnvironmentStrings() {
    if (block != nullptr) FreeEnvironmentStringsW(block);
  }
};

std::wstring child_environment(const EngineCommand& command) {
  const EnvironmentStrings current;
  return environment_block(split_environment_block(current.block), command.environment_overrides);
}

// Everything a run needs that can be made before the child exists, so that
// nothing fails for want of memory or handles once it runs.
struct Preparation {
  std::wstring line;
  std::wstring environment;
  std::unique_ptr<WriterJob> writer;
  std::unique_ptr<ReaderJob> reader;
  std::shared_ptr<Channel<bool>> written;
  std::shared_ptr<Channel<ReadOutcome>> read;
  // The child's ends: its standard input, output and error.
  UniqueHandle child_input;
  UniqueHandle child_output;
  UniqueHandle child_error;
  AttributeList attributes;
};

bool prepare(const EngineCommand& command, const std::optional<std::string>& input,
             Preparation& run) {
  if (!is_startable(command)) return false;
  run.line = command_line(command);
  run.environment = child_environment(command);

  run.written = make_channel<bool>();
  run.read = make_channel<ReadOutcome>();
  if (!run.written || !run.read) return false;
  run.writer.reset(new WriterJob{{}, input.value_or(std::string()), Sender<bool>(run.written)});
  run.reader.reset(new ReaderJob{{}, std::string(read_limit, '\0'), Sender<ReadOutcome>(run.read)});

  // Every handle is made non-inheritable; only the child's three ends are
  // marked inheritable, just before the start, and only they are named in
  // the start's handle list.
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return false;
  run.child_input.reset(read_end);
  run.writer->pipe.reset(write_end);
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return false;
  run.reader->pipe.reset(read_end);
  run.child_output.reset(write_end);
  run.child_error.reset(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (!run.child_error) return false;
  return run.attributes.initialize(1);
}

}  // namespace

namespace detail {

bool start_detached_thread(LPTHREAD_START_ROUTINE routine, void* context) {
  try {
    return run_detached([routine, context] { (void)routine(context); });
  } catch (const std::bad_alloc&) {
    return false;
  }
}

Result<std::string> run_bounded_with(const EngineCommand& command,
                                     const std::optional<std::string>& input,
                                     std::chrono::nanoseconds timeout, ThreadStarter start_thread) {
  const auto deadline = deadline_after(timeout);

  Preparation run;
  try {
    if (!prepare(command, input, run)) return fail(start_failed);
  } catch (const std::bad_alloc&) {
    return fail(start_failed);
  }

  HANDLE inherited[] = {run.child_input.get(), run.child_output.get(), run.child_error.get()};
  if (!UpdateProcThreadAttribute(run.attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                 inherited, sizeof(inherited), nullptr, nullptr)) {
    return fail(start_failed);
  }
  for (const HANDLE handle : inherited) {
    if (!SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
      return fail(start_failed);
    }
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = run.child_input.get();
  startup.StartupInfo.hStdOutput = run.child_output.get();
  startup.StartupInfo.hStdError = run.child_error.get();
  startup.lpAttributeList = run.attributes.get();

  // Started suspended: it runs only once it is in its job, so that nothing it
  // starts can escape the job.
  PROCESS_INFORMATION started{};
  const BOOL created =
      CreateProcessW(command.program.c_str(), run.line.data(), nullptr, nullptr, TRUE,
                     command.creation_flags | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT |
                         CREATE_UNICODE_ENVIRONMENT,
                     run.environment.data(), nullptr, &startup.StartupInfo, &started);
  // The child holds its own copies of its ends now; ours must go so that
  // the pipes break when the child (and whatever inherited them) is gone.
  run.child_input.reset();
  run.child_output.reset();
  run.child_error.reset();
  if (!created) return fail(start_failed);
  Child child(started.hProcess, started.hThread);
  auto job = supervise_process(child.process());
  if (!job) return fail(start_failed);
  child.hold(std::move(*job));
  if (ResumeThread(child.thread()) == static_cast<DWORD>(-1)) return fail(start_failed);

  // From here on every return ends the child through `child`.
  WriterJob* writer = run.writer.release();
  if (!start_thread(write_input, writer)) {
    delete writer;
    return fail(input_failed);
  }
  ReaderJob* reader = run.reader.release();
  if (!start_thread(read_output, reader)) {
    delete reader;
    return fail(response_failed);
  }

  DWORD exit_code = 0;
  for (;;) {
    const DWORD state = WaitForSingleObject(child.process(), 0);
    if (state == WAIT_OBJECT_0) {
      if (!GetExitCodeProcess(child.process(), &exit_code)) return fail(component_failed);
      break;
    }
    if (state != WAIT_TIMEOUT) return fail(component_failed);
    if (Clock::now() >= deadline) return fail(timed_out);
    WaitForSingleObject(child.process(), wait_ms(deadline, poll_interval));
  }

  const auto written = receive(*run.written, deadline);
  if (!written) return fail(timed_out);
  if (!*written) return fail(input_failed);

  auto output = receive(*run.read, deadline);
  if (!output) return fail(timed_out);
  if (!output->ok) return fail(response_failed);

  if (exit_code != 0) return fail(exit_failure_sentence, FailureKind::program_failed);
  if (output->bytes.size() > max_command_output_bytes) return fail(response_too_large);
  if (!is_valid_utf8(output->bytes)) return fail(response_invalid);
  return std::move(output->bytes);
}

}  // namespace detail

Result<std::string> run_bounded(const EngineCommand& command,
                                const std::optional<std::string>& input,
                                std::chrono::nanoseconds timeout) {
  return detail::run_bounded_with(command, input, timeout, detail::start_detached_thread);
}

}  // namespace morvex
