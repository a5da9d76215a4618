// Sends one request to the VPN service and prints its reply: a diagnostic
// tool for installations and the client of the end-to-end tests. The service
// answers it only when it runs from the service's installation directory.
//   morvex_pipe_tool [--pipe NAME] [REQUEST]
// Without REQUEST the request is read from standard input. The request goes
// as it stands, so that odd requests can be tried too; the reply body is
// printed on standard output followed by a line feed. Nothing is sent to a
// pipe that another program than the running service MorvexVPN serves.
// Exit status: 0 reply printed, 2 service not reachable (or the pipe not
// served by the service), 3 no reply, 4 usage or input trouble.
#include <windows.h>

#include <chrono>
#include <string>

#include "client/pipe_transport.hpp"

namespace {

using namespace std::chrono_literals;

// Time for a service that is being started to open its pipe.
constexpr auto service_start_wait = 10s;

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                       static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

std::string read_standard_input() {
  std::string input;
  char buffer[4096];
  DWORD got = 0;
  while (input.size() <= morvex::client::max_body_bytes &&
         ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) &&
         got > 0) {
    input.append(buffer, got);
  }
  return input;
}

void write_to(DWORD stream, const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(stream), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using morvex::client::ErrorKind;
  morvex::client::PipeOptions options{.service_start_wait = service_start_wait};
  int next = 1;
  if (argc > 2 && std::wstring(argv[1]) == L"--pipe") {
    options.pipe_name = argv[2];
    next = 3;
  }
  if (argc > next + 1) {
    write_to(STD_ERROR_HANDLE, "usage: morvex_pipe_tool [--pipe NAME] [REQUEST]\n");
    return 4;
  }
  const std::string body = argc == next + 1 ? utf8(argv[next]) : read_standard_input();
  // A connect may take long, and every other request may wait behind one.
  const auto reply =
      morvex::client::pipe_exchange(body, morvex::client::connect_timeout + 30s, options);
  if (reply) {
    write_to(STD_OUTPUT_HANDLE, *reply + "\n");
    return 0;
  }
  write_to(STD_ERROR_HANDLE, reply.error().message + "\n");
  switch (reply.error().kind) {
    case ErrorKind::invalid_request: return 4;
    case ErrorKind::no_service:
    case ErrorKind::impostor:
    case ErrorKind::busy:
    case ErrorKind::refused: return 2;
    default: return 3;
  }
}
