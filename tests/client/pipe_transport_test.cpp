// The pipe transport against small servers in this process, one behaviour
// each, under Wine.
#include "client/pipe_transport.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "client/framing.hpp"
#include "win32/unique_handle.hpp"
#include "windows/pipe/security_descriptor.hpp"

namespace morvex::client {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::wstring unique_name(const wchar_t* what) {
  return L"\\\\.\\pipe\\MorvexClientTest." + std::wstring(what) + L"." +
         std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(GetTickCount64());
}

std::string read_some(HANDLE pipe, std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t got = 0;
  while (got < count) {
    DWORD read = 0;
    if (!ReadFile(pipe, bytes.data() + got, static_cast<DWORD>(count - got), &read, nullptr)) break;
    got += read;
  }
  bytes.resize(got);
  return bytes;
}

// One instance of `name`, owned by `owner`, served on a thread by
// `behaviour` once a client connects and closed when `behaviour` returns.
class OneShotServer {
 public:
  OneShotServer(const std::wstring& name, std::function<void(HANDLE)> behaviour,
                const wchar_t* owner = L"SY")
      // Wine lets any process name any owner.
      : owner_(*security_descriptor_from_sddl(std::wstring(L"O:") + owner + L"D:(A;;GA;;;WD)")),
        attributes_{sizeof(attributes_), owner_.get(), FALSE},
        pipe_(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 131076, 131076,
                               0, &attributes_)) {
    thread_ = std::thread([this, behaviour] {
      if (ConnectNamedPipe(pipe_.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        behaviour(pipe_.get());
      }
      pipe_.reset();
    });
  }
  ~OneShotServer() { thread_.join(); }

 private:
  UniqueSecurityDescriptor owner_;
  SECURITY_ATTRIBUTES attributes_;
  UniqueHandle pipe_;
  std::thread thread_;
};

std::string request_body(HANDLE pipe) {
  return read_some(pipe, decode_frame_length(read_some(pipe, frame_length_bytes)));
}

void send(HANDLE pipe, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

TEST(PipeTransport, OpensWithTheNarrowAccessAndIdentificationOnly) {
  // What the service relies on and Wine does not enforce: the handle can
  // read and write data but cannot create an instance of the pipe
  // (FILE_CREATE_PIPE_INSTANCE is FILE_APPEND_DATA) or change its attributes,
  // and the service may identify the caller but not impersonate it.
  const auto open = pipe_open();
  EXPECT_EQ(open.access, static_cast<unsigned long>(GENERIC_READ | FILE_WRITE_DATA));
  for (const unsigned long denied :
       {static_cast<unsigned long>(GENERIC_WRITE), static_cast<unsigned long>(GENERIC_ALL),
        static_cast<unsigned long>(FILE_CREATE_PIPE_INSTANCE),
        static_cast<unsigned long>(FILE_WRITE_ATTRIBUTES)}) {
    EXPECT_EQ(open.access & denied, 0u) << denied;
  }
  EXPECT_EQ(
      open.flags & (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | SECURITY_IMPERSONATION |
                    SECURITY_DELEGATION | SECURITY_CONTEXT_TRACKING | SECURITY_EFFECTIVE_ONLY),
      static_cast<unsigned long>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
}

TEST(PipeTransport, EndsEachFailedExchangeWithItsKind) {
  const struct {
    const char* what;
    std::function<void(HANDLE)> server;  // none: no pipe at all
    ErrorKind kind;
    unsigned long server_process = GetCurrentProcessId();  // 0: the service MorvexVPN's
    const wchar_t* owner = L"SY";
  } rows[] = {
      {"no pipe", nullptr, ErrorKind::no_service},
      // Nothing is written: the server reads only the client's close.
      {"served while the service is not running",
       [](HANDLE pipe) { EXPECT_EQ(read_some(pipe, 1), ""); }, ErrorKind::impostor, 0},
      {"served by another process", [](HANDLE pipe) { EXPECT_EQ(read_some(pipe, 1), ""); },
       ErrorKind::impostor, GetCurrentProcessId() + 4},
      // The right process number, reused by the program that made the pipe.
      {"owned by the Administrators group", [](HANDLE pipe) { EXPECT_EQ(read_some(pipe, 1), ""); },
       ErrorKind::impostor, GetCurrentProcessId(), L"BA"},
      {"abandoned after 100 ms", [](HANDLE pipe) { request_body(pipe), Sleep(1500); },
       ErrorKind::abandoned},
      {"closed after the request", [](HANDLE pipe) { request_body(pipe); }, ErrorKind::broken},
      {"closed part-way through the reply",
       [](HANDLE pipe) {
         request_body(pipe);
         send(pipe, frame_length(10) + "abc");
       },
       ErrorKind::broken},
      {"reply length above the largest body",
       [](HANDLE pipe) {
         request_body(pipe);
         send(pipe, frame_length(131073));
         Sleep(500);
       },
       ErrorKind::malformed},
      {"bytes after the reply frame",
       [](HANDLE pipe) {
         request_body(pipe);
         send(pipe, frame("{}") + "x");
         Sleep(500);
       },
       ErrorKind::malformed},
      {"no reply", [](HANDLE pipe) { request_body(pipe), Sleep(1500); }, ErrorKind::timed_out},
  };
  for (const auto& row : rows) {
    const auto name = unique_name(L"kinds");
    std::optional<OneShotServer> server;
    if (row.server) server.emplace(name, row.server, row.owner);
    std::stop_source abandon =
        row.kind == ErrorKind::abandoned ? std::stop_source() : std::stop_source(std::nostopstate);
    const std::jthread abandoning([&] { Sleep(100), abandon.request_stop(); });
    const auto start = Clock::now();
    const auto reply =
        pipe_exchange("{}", 800ms, {.pipe_name = name, .server_process_id = row.server_process},
                      abandon.get_token());
    ASSERT_FALSE(reply) << row.what;
    EXPECT_EQ(reply.error(), make_error(row.kind)) << row.what;
    EXPECT_LT(Clock::now() - start, row.kind == ErrorKind::abandoned ? 500ms : 1500ms) << row.what;
  }
}

}  // namespace
}  // namespace morvex::client
