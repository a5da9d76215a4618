// The client end of the service pipe. The handle is opened for overlapped
// I/O, so every read and write waits at most until the call's deadline and
// is cancelled then, or when the call is abandoned; switching the handle to
// non-blocking mode instead would need write access to the pipe's
// attributes, which the client does not ask for.
#include "client/pipe_transport.hpp"

#include <aclapi.h>
#include <windows.h>
#include <winsvc.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "client/framing.hpp"
#include "win32/service_handle.hpp"
#include "win32/unique_handle.hpp"

namespace morvex::client {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Longest single wait for a busy pipe, so that the deadline and an abandon
// are looked at often.
constexpr DWORD busy_wait_slice_ms = 100;
constexpr auto absent_retry_interval = 50ms;
constexpr std::size_t first_read_bytes = 4096;

// Owns one kernel handle.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&&) = delete;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

std::unexpected<Error> failure(ErrorKind kind) { return std::unexpected(make_error(kind)); }

DWORD milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<DWORD>(std::min<long long>(left.count(), 0x7FFFFFFE)) : 0;
}

Outcome<Handle> open_pipe(const PipeOptions& options, Clock::time_point deadline,
                          const std::stop_token& stop) {
  const auto open = pipe_open();
  const auto absent_until = std::min(deadline, Clock::now() + options.service_start_wait);
  for (;;) {
    if (stop.stop_requested()) return failure(ErrorKind::abandoned);
    Handle pipe(CreateFileW(options.pipe_name.c_str(), open.access, 0, nullptr, OPEN_EXISTING,
                            open.flags, nullptr));
    if (pipe.valid()) return pipe;
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) return failure(ErrorKind::refused);
    if (error == ERROR_PIPE_BUSY) {
      if (Clock::now() >= deadline) return failure(ErrorKind::busy);
      const DWORD slice = std::clamp<DWORD>(milliseconds_until(deadline), 1, busy_wait_slice_ms);
      // Fails at once when the pipe vanished meanwhile; the next open tells.
      if (!WaitNamedPipeW(options.pipe_name.c_str(), slice) &&
          GetLastError() != ERROR_SEM_TIMEOUT) {
        std::this_thread::sleep_for(10ms);
      }
      continue;
    }
    if (error == ERROR_FILE_NOT_FOUND && Clock::now() < absent_until) {
      std::this_thread::sleep_for(absent_retry_interval);
      continue;
    }
    return failure(ErrorKind::no_service);
  }
}

// The process of `service` while the Service Control Manager reports it
// running; nothing otherwise. Asks with the least access there is, which
// every signed-in user has.
std::optional<DWORD> running_service_process(const std::wstring& service) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return std::nullopt;
  const UniqueServiceHandle handle(
      OpenServiceW(manager.get(), service.c_str(), SERVICE_QUERY_STATUS));
  if (!handle) return std::nullopt;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(handle.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed) ||
      status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0) {
    return std::nullopt;
  }
  return status.dwProcessId;
}

bool still_running(HANDLE process) {
  DWORD code = 0;
  return GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
}

// Whether `server` is the process of `service`, running. The answer is
// remembered with a handle to that process, which keeps its number from
// passing to any other process for as long as it is open, so that later
// calls need not ask the service manager again (a round trip to it costs ten
// times the request itself) until the process has ended. One check at a time
// in a process: Wine's service manager client is not safe for calls from
// several threads at once (seen failing an open with ERROR_INVALID_HANDLE
// and corrupting the heap), and an app's calls run side by side.
bool served_by_service(const std::wstring& service, DWORD server) {
  static std::mutex one_check;
  static std::wstring known_service;
  static DWORD known_id = 0;
  static UniqueHandle known_process;
  const std::lock_guard lock(one_check);
  if (known_process && known_id == server && known_service == service &&
      still_running(known_process.get())) {
    return true;
  }
  known_process.reset();
  const auto reported = running_service_process(service);
  if (!reported || *reported != server) return false;
  // The number is pinned once the process is open; the service manager must
  // still report it then, or the process opened may be another that took the
  // number meanwhile. Without the right to open it, every call asks anew.
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server));
  if (process && still_running(process.get()) && running_service_process(service) == server) {
    known_service = service;
    known_id = server;
    known_process = std::move(process);
  }
  return true;
}

// Whether LocalSystem owns the opened pipe. A program can give the pipe it
// creates only its own account as owner (or, with a privilege that only
// administrators hold, another), so no program of a user can pass this; the
// service names LocalSystem in its pipe's descriptor.
bool owned_by_local_system(HANDLE pipe) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool system =
      owner != nullptr && IsValidSid(owner) && IsWellKnownSid(owner, WinLocalSystemSid);
  LocalFree(descriptor);
  return system;
}

// Whether the service serves the opened instance. While the service is
// stopped any program may create the pipe's name and would get the request,
// credentials included, and could answer it. The pipe must be owned by
// LocalSystem and served by the process that the service manager reports
// for the running service: process numbers are reused, so the number alone
// could be steered by a program that created the pipe under a process that
// has ended; only an administrator can change which program the service
// runs.
Outcome<void> check_server(HANDLE pipe, const PipeOptions& options) {
  if (!owned_by_local_system(pipe)) return failure(ErrorKind::impostor);
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server)) return failure(ErrorKind::impostor);
  const bool served = options.server_process_id != 0 ? options.server_process_id == server
                                                     : served_by_service(options.service, server);
  if (!served) return failure(ErrorKind::impostor);
  return {};
}

// Cancels whatever read or write is pending on the pipe.
struct CancelPending {
  HANDLE pipe;
  void operator()() const { CancelIoEx(pipe, nullptr); }
};

// One connection: reads and writes that end by the deadline, or as soon as
// the call is abandoned.
class PipeConnection {
 public:
  PipeConnection(Handle pipe, Clock::time_point deadline, const std::stop_token& stop)
      : pipe_(std::move(pipe)),
        deadline_(deadline),
        stop_(stop),
        abandon_(stop, CancelPending{pipe_.get()}) {}

  Outcome<void> write_all(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      auto moved = transfer(const_cast<char*>(bytes.data()) + done, bytes.size() - done, true);
      if (!moved) return std::unexpected(moved.error());
      done += *moved;
    }
    return {};
  }

  // At least `least` and at most `most` bytes, as they arrive.
  Outcome<std::string> read_between(std::size_t least, std::size_t most) {
    std::string bytes(most, '\0');
    std::size_t done = 0;
    while (done < least) {
      auto moved = transfer(bytes.data() + done, most - done, false);
      if (!moved) return std::unexpected(moved.error());
      done += *moved;
    }
    bytes.resize(done);
    return bytes;
  }

 private:
  // One ReadFile or WriteFile, waited for until the deadline and cancelled
  // then. Gives the bytes moved (at least one).
  Outcome<std::size_t> transfer(char* data, std::size_t size, bool writing) {
    OVERLAPPED overlapped{};
    // With no event, the handle itself is signalled when the one operation
    // in flight completes; this saves an event per exchange.
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, max_body_bytes));
    DWORD moved = 0;
    const BOOL finished = writing ? WriteFile(pipe_.get(), data, wanted, nullptr, &overlapped)
                                  : ReadFile(pipe_.get(), data, wanted, nullptr, &overlapped);
    if (!finished && GetLastError() != ERROR_IO_PENDING) return failure(ErrorKind::broken);
    // An abandon that came before this operation was issued found nothing
    // to cancel; one that comes later cancels it.
    if (!finished &&
        (stop_.stop_requested() ||
         WaitForSingleObject(pipe_.get(), milliseconds_until(deadline_)) != WAIT_OBJECT_0)) {
      // The buffer must outlive the operation: wait for the cancel to land.
      CancelIoEx(pipe_.get(), &overlapped);
      GetOverlappedResult(pipe_.get(), &overlapped, &moved, TRUE);
      return failure(stop_.stop_requested() ? ErrorKind::abandoned : ErrorKind::timed_out);
    }
    if (!GetOverlappedResult(pipe_.get(), &overlapped, &moved, TRUE) || moved == 0) {
      return failure(stop_.stop_requested() ? ErrorKind::abandoned : ErrorKind::broken);
    }
    return static_cast<std::size_t>(moved);
  }

  Handle pipe_;
  Clock::time_point deadline_;
  std::stop_token stop_;
  // Declared after the handle: it is unregistered, and a cancel running on
  // another thread waited for, before the handle is closed.
  std::stop_callback<CancelPending> abandon_;
};

}  // namespace

PipeOpen pipe_open() {
  return {GENERIC_READ | FILE_WRITE_DATA,
          FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION};
}

Outcome<std::string> pipe_exchange(std::string_view request, std::chrono::milliseconds timeout,
                                   const PipeOptions& options, std::stop_token stop) {
  if (request.size() > max_body_bytes) {
    return std::unexpected(Error{ErrorKind::invalid_request, std::string(sentence::too_large)});
  }
  const auto deadline = Clock::now() + timeout;
  auto pipe = open_pipe(options, deadline, stop);
  if (!pipe) return std::unexpected(pipe.error());
  // Before the first byte: the request may hold credentials and keys.
  if (auto checked = check_server(pipe->get(), options); !checked) {
    return std::unexpected(checked.error());
  }
  PipeConnection connection(std::move(*pipe), deadline, stop);
  if (auto sent = connection.write_all(frame(request)); !sent) {
    return std::unexpected(sent.error());
  }
  // The first read asks for more than the length, so that a short reply
  // (nearly every one) arrives in one read.
  auto reply = connection.read_between(frame_length_bytes, frame_length_bytes + first_read_bytes);
  if (!reply) return reply;
  const std::size_t size = decode_frame_length(*reply);
  // The service writes one frame and nothing after it.
  if (size > max_body_bytes || reply->size() > frame_length_bytes + size) {
    return failure(ErrorKind::malformed);
  }
  const std::size_t missing = frame_length_bytes + size - reply->size();
  if (missing > 0) {
    auto rest = connection.read_between(missing, missing);
    if (!rest) return rest;
    reply->append(*rest);
  }
  reply->erase(0, frame_length_bytes);
  return reply;
}

Client pipe_client(PipeOptions options) {
  return Client([options = std::move(options)](std::string_view request,
                                               std::chrono::milliseconds timeout,
                                               std::stop_token stop) {
    return pipe_exchange(request, timeout, options, std::move(stop));
  });
}

}  // namespace morvex::client
