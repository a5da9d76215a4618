// A minimal client of the service channel: sends one request frame and
// writes the reply body to a file.
//   morvex_pipe_client PIPE REQUEST REPLY_FILE
// Exit status: 0 reply written, 2 pipe unavailable, 3 no reply, 4 usage or
// file trouble.
#include <windows.h>

#include <chrono>
#include <string>

#include "windows/pipe/pipe_io.hpp"
#include "windows/pipe/portable/frame.hpp"
#include "windows/unique_handle.hpp"

namespace {

std::string utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.pop_back();
  return result;
}

morvex::UniqueHandle open_pipe(const wchar_t* name) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    morvex::UniqueHandle pipe(
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe || std::chrono::steady_clock::now() >= deadline) return pipe;
    if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name, NMPWAIT_USE_DEFAULT_WAIT);
    } else {
      Sleep(50);
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 4;
  const auto pipe = open_pipe(argv[1]);
  if (!pipe) return 2;

  const std::string body = utf8(argv[2]);
  const auto length = morvex::encode_frame_length(static_cast<std::uint32_t>(body.size()));
  const std::string frame = std::string(length.data(), length.size()) + body;
  DWORD written = 0;
  if (!WriteFile(pipe.get(), frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr) ||
      written != frame.size()) {
    return 3;
  }
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return 3;
  const auto reply = morvex::read_message(pipe.get(), std::chrono::seconds(30));
  if (!reply) return 3;

  const morvex::UniqueHandle file(
      CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return 4;
  if (!WriteFile(file.get(), reply->data(), static_cast<DWORD>(reply->size()), &written, nullptr)) {
    return 4;
  }
  return 0;
}
