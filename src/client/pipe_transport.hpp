#pragma once

#include <chrono>
#include <stop_token>
#include <string>
#include <string_view>

#include "client/client.hpp"
#include "client/client_values.hpp"

namespace morvex::client {

inline constexpr std::wstring_view service_pipe_name = L"\\\\.\\pipe\\MorvexVPN.Service.v1";
inline constexpr std::wstring_view service_name = L"MorvexVPN";

struct PipeOptions {
  std::wstring pipe_name = std::wstring(service_pipe_name);
  // Whoever serves the pipe gets the request only when it is this service:
  // the process that serves the opened instance must be the one that the
  // Service Control Manager reports for it while it is running. Any program
  // may create the pipe's name while the service is stopped.
  std::wstring service = std::wstring(service_name);
  // For programs that serve a pipe of their own (tests, tools): when not 0,
  // the process that must serve the pipe, in place of the service's.
  unsigned long server_process_id = 0;
  // How long an absent pipe is waited for, within the call's deadline,
  // before the call fails with no_service: for a tool started together with
  // the service. The app leaves it at zero and asks again later.
  std::chrono::milliseconds service_start_wait{0};
};

// How a client opens the pipe: read access and the right to write data, and
// nothing more (no right to create a pipe instance or change the pipe's
// attributes); and only identification, so that the service can see who is
// calling but cannot act as the caller.
struct PipeOpen {
  unsigned long access;
  unsigned long flags;
};
PipeOpen pipe_open();

// One exchange over the pipe under one deadline: opens the pipe (waiting
// while every instance is busy), checks who serves it, writes one frame,
// reads one frame, closes. Errors: no_service (pipe absent), refused (access
// denied), impostor (served by another process than the service's; nothing
// is written), busy, timed_out, broken (the service closed the connection
// before a whole reply), malformed (a reply length above the largest body),
// invalid_request (a request above the largest body, which is never sent),
// abandoned (`stop` was requested; pending reads and writes are cancelled).
Outcome<std::string> pipe_exchange(std::string_view request, std::chrono::milliseconds timeout,
                                   const PipeOptions& options = {}, std::stop_token stop = {});

// A Client whose exchanges go over the pipe.
Client pipe_client(PipeOptions options = {});

}  // namespace morvex::client
