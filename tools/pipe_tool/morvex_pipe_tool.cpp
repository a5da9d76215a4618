// Sends one request to the VPN service and prints its reply: a diagnostic
// tool for installations and the client of the end-to-end tests. The service
// answers it only when it runs from the service's installation directory.
//   morvex_pipe_tool [--pipe NAME] [REQUEST]
// Without REQUEST the request is read from standard input. The reply body is
// printed on standard output followed by a line feed.
// Exit status: 0 reply printed, 2 service not reachable, 3 no reply,
// 4 usage or input trouble.
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "windows/pipe/pipe_io.hpp"
#include "windows/pipe/portable/frame.hpp"
#include "windows/unique_handle.hpp"

namespace {

using namespace std::chrono_literals;

constexpr wchar_t default_pipe[] = L"\\\\.\\pipe\\MorvexVPN.Service.v1";
// A connect may wait for its tunnel for half a minute and then restore the
// previous one, so the reply gets more time than that.
constexpr auto reply_timeout = 120s;
constexpr auto connect_timeout = 10s;

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
  while (input.size() <= morvex::max_message_bytes &&
         ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) &&
         got > 0) {
    input.append(buffer, got);
  }
  return input;
}

// Opens the pipe, waiting while all instances are busy or the service starts.
morvex::UniqueHandle open_pipe(const std::wstring& name) {
  const auto deadline = std::chrono::steady_clock::now() + connect_timeout;
  for (;;) {
    morvex::UniqueHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    if (pipe || std::chrono::steady_clock::now() >= deadline) return pipe;
    std::this_thread::sleep_for(50ms);
  }
}

void write_out(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

void complain(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text,
            static_cast<DWORD>(std::char_traits<char>::length(text)), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring pipe_name = default_pipe;
  int next = 1;
  if (argc > 2 && std::wstring(argv[1]) == L"--pipe") {
    pipe_name = argv[2];
    next = 3;
  }
  if (argc > next + 1) {
    complain("usage: morvex_pipe_tool [--pipe NAME] [REQUEST]\n");
    return 4;
  }
  const std::string body = argc == next + 1 ? utf8(argv[next]) : read_standard_input();
  if (body.size() > morvex::max_message_bytes) {
    complain("The request is larger than the service accepts.\n");
    return 4;
  }

  const auto pipe = open_pipe(pipe_name);
  if (!pipe) {
    complain("The VPN service is not reachable.\n");
    return 2;
  }
  const auto length = morvex::encode_frame_length(static_cast<std::uint32_t>(body.size()));
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) ||
      !morvex::write_all(pipe.get(), std::string(length.data(), length.size()) + body)) {
    complain("The request could not be sent.\n");
    return 3;
  }
  const auto reply = morvex::read_message(
      pipe.get(), std::chrono::duration_cast<std::chrono::milliseconds>(reply_timeout));
  if (!reply) {
    complain("The VPN service did not reply.\n");
    return 3;
  }
  write_out(*reply + "\n");
  return 0;
}
