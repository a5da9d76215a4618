#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "win32/unique_handle.hpp"
#include "windows/pipe/client_identity.hpp"
#include "windows/pipe/pipe_io.hpp"

namespace morvex {

inline constexpr std::wstring_view service_pipe_name = L"\\\\.\\pipe\\MorvexVPN.Service.v1";
// A protected DACL: LocalSystem and Administrators get all access, users
// signed on interactively read and write, nobody else anything. The users'
// mask is FILE_GENERIC_READ | FILE_GENERIC_WRITE without FILE_APPEND_DATA,
// which on a pipe is FILE_CREATE_PIPE_INSTANCE: with generic write any
// interactive user could add server instances of their own to the pipe and
// catch the app's requests. Clients therefore open the pipe with
// GENERIC_READ | FILE_WRITE_DATA; asking for GENERIC_WRITE is refused.
// The medium integrity label with no-write-up and no-read-up keeps processes
// of low integrity (sandboxed programs of the signed-in user) from opening
// the pipe at all, so they cannot take its instances either. A label at or
// below the creator's own level needs no privilege ("Windows Integrity
// Mechanism Design"; reading it back needs only READ_CONTROL, Microsoft's
// SECURITY_INFORMATION page), and the service runs at system level.
// LocalSystem is named as the owner: without it the pipe would get the
// token's default owner, which for LocalSystem is the Administrators group,
// and the app's client requires an owner that no program of a user (nor an
// administrator's program without extra privileges) can give its own pipe.
inline constexpr std::wstring_view pipe_sddl =
    L"O:SYD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)S:(ML;;NWNR;;;ME)";
// How generic rights on a pipe map to its specific rights: as on files.
inline constexpr GENERIC_MAPPING pipe_generic_mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                      FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
inline constexpr DWORD max_pipe_instances = 16;
// One largest body plus its length, in each direction.
inline constexpr DWORD pipe_buffer_bytes = 131076;
inline constexpr DWORD pipe_default_timeout_ms = 5000;
// How long a client that is not the app may keep its connection, from the
// moment its request is first read to the moment its instance is
// disconnected: long enough for any honest client to send its request and
// read the refusal, short enough that a program cannot keep instances from
// the app for long.
inline constexpr std::chrono::milliseconds pipe_untrusted_timeout{5000};
// At most this many connections of clients that are not the app at once: a
// further one is disconnected right after its check, before anything is
// read, so that other programs can never hold every instance and keep the
// app out (at least 16 - 12 instances stay free for it).
inline constexpr int max_untrusted_connections = 12;
// How the service opens its own pipe as a client: the server end may learn
// who connected but may not act as LocalSystem.
inline constexpr DWORD service_pipe_open_flags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Everything CreateNamedPipeW receives for one instance.
struct PipeInstanceParameters {
  std::wstring_view name;
  DWORD open_mode = 0;
  DWORD pipe_mode = 0;
  DWORD max_instances = 0;
  DWORD out_buffer_bytes = 0;
  DWORD in_buffer_bytes = 0;
  DWORD default_timeout_ms = 0;
  SECURITY_ATTRIBUTES* attributes = nullptr;
};

// Creates one pipe instance; on failure gives INVALID_HANDLE_VALUE with the
// thread's last error set. The default calls CreateNamedPipeW.
using PipeInstanceFactory = std::function<HANDLE(const PipeInstanceParameters&)>;
HANDLE create_pipe_instance(const PipeInstanceParameters& parameters);

// Turns a trusted client's request body into the reply text.
using RequestHandler = std::function<std::string(std::string_view body)>;

// What a connection thread needs; shared by every connection of one server.
struct ConnectionSettings {
  RequestHandler handle_request;
  std::chrono::milliseconds receive_timeout = pipe_io_timeout;
  std::chrono::milliseconds write_timeout = pipe_io_timeout;
  std::chrono::milliseconds final_wait = pipe_io_timeout;
  // One deadline for the whole connection of a client that is not trusted;
  // each of the three above ends at it at the latest.
  std::chrono::milliseconds untrusted_timeout = pipe_untrusted_timeout;
};

struct PipeServerConfig {
  std::wstring pipe_name{service_pipe_name};
  ConnectionSettings connection;
  // Who the client is; the system's answers when left empty.
  std::shared_ptr<ClientIdentity> identity;
  PipeInstanceFactory create_instance = create_pipe_instance;
  std::chrono::milliseconds busy_retry{10};
  // The pause between tries while the name belongs to another pipe.
  std::chrono::milliseconds name_lost_retry{1000};
};

// The accept loop. Blocks until `service_stopping` answers true after a
// client (or the wake-up) has connected or between two tries, and returns
// success, or "Cannot secure the VPN service." or "Cannot start the private
// VPN service channel." when it cannot set itself up.
//
// The pipe's name stays the service's while the loop runs: an instance that
// ends early is disconnected and listens again, a connection that ends while
// the loop holds no instance hands its instance back, and an instance that
// cannot listen again is closed only once the next one exists, so no instance
// of the service is closed while it is the last. Only the first instance
// claims the name (FILE_FLAG_FIRST_PIPE_INSTANCE); when the claim is refused
// (access denied: the pipe exists), the loop creates the instance without it
// and accepts the pipe only with the service's account as owner and the
// service's own access list: a client still holding its end of an instance of
// an earlier run of the service keeps that pipe alive, and it is ours. Should
// the name belong to another pipe all the same (taken before the start, or a
// creation refused for any other reason), the loop does not end, which would
// stop the service and take the user's tunnel down: it keeps trying, claiming
// the name again, every `name_lost_retry`.
// `pipe_server_running` is set for as long as the loop runs.
Result<void> run_pipe_server(const PipeServerConfig& config,
                             const std::function<bool()>& service_stopping,
                             std::atomic<bool>& pipe_server_running);

// Serves one connection on the calling thread: reads one request, answers
// it (or refuses an untrusted client) and waits for the client to finish.
// The caller disconnects the instance then. An untrusted client gets the
// untrusted timeout for the whole connection.
Result<void> serve_connection(HANDLE pipe, bool trusted, const ConnectionSettings& settings);

struct WakeTiming {
  std::chrono::milliseconds window{5000};
  std::chrono::milliseconds interval{50};
};

// Connects to the pipe as a client at every interval while the accept loop
// runs, so that a loop blocked waiting for a client notices the stop. Returns
// when the loop has ended or the window has passed. Opens with
// service_pipe_open_flags.
void wake_pipe_server(std::wstring_view pipe_name, const std::atomic<bool>& pipe_server_running,
                      WakeTiming timing = {});

}  // namespace morvex
