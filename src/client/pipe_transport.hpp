#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "client/client.hpp"
#include "client/client_values.hpp"

namespace morvex::client {

inline constexpr std::wstring_view service_pipe_name = L"\\\\.\\pipe\\MorvexVPN.Service.v1";

struct PipeOptions {
  std::wstring pipe_name = std::wstring(service_pipe_name);
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
// while every instance is busy), writes one frame, reads one frame, closes.
// Errors: no_service (pipe absent), refused (access denied), busy, timed_out,
// broken (the service closed the connection before a whole reply),
// malformed (a reply length above the largest body), invalid_request (a
// request above the largest body, which is never sent).
Outcome<std::string> pipe_exchange(std::string_view request, std::chrono::milliseconds timeout,
                                   const PipeOptions& options = {});

// A Client whose exchanges go over the pipe.
Client pipe_client(PipeOptions options = {});

}  // namespace morvex::client
