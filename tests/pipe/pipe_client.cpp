// A minimal client of the service channel: sends one request as it stands
// and writes the reply body to a file. SERVER, who must serve the pipe, is a
// process id or a service name.
//   morvex_pipe_client PIPE REQUEST REPLY_FILE SERVER
// Exit status: 0 reply written, 2 pipe unavailable, 3 no reply, 4 usage or
// file trouble.
#include <windows.h>

#include <chrono>
#include <cwchar>
#include <string>

#include "client/pipe_transport.hpp"
#include "win32/unique_handle.hpp"

namespace {

std::string utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.pop_back();
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using namespace std::chrono_literals;
  if (argc != 5) return 4;
  const auto reply =
      morvex::client::pipe_exchange(utf8(argv[2]), 40s,
                                    {.pipe_name = argv[1],
                                     .service = argv[4],
                                     .server_process_id = std::wcstoul(argv[4], nullptr, 10),
                                     .service_start_wait = 10s});
  if (!reply) {
    const auto kind = reply.error().kind;
    return kind == morvex::client::ErrorKind::no_service || kind == morvex::client::ErrorKind::busy
               ? 2
               : 3;
  }
  const morvex::UniqueHandle file(
      CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return 4;
  DWORD written = 0;
  return WriteFile(file.get(), reply->data(), static_cast<DWORD>(reply->size()), &written, nullptr)
             ? 0
             : 4;
}
