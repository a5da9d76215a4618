// Talks to the service through the installed client package, as the desktop
// app would. Natively it builds a request and reads a reply; on Windows it
// also makes a status call over a pipe that no service holds, which must
// come back as "not running" and not as any other failure.
//   client_consumer [PIPE_NAME]
#include <cstdio>
#include <string>

#include "client/client.hpp"
#include "client/reply_reader.hpp"
#include "client/requests.hpp"
#ifdef _WIN32
#include "client/pipe_transport.hpp"
#endif

int main(int argc, char** argv) {
  int failures = 0;
  const auto expect = [&](const char* what, bool ok) {
    if (!ok) ++failures, std::printf("failed: %s\n", what);
  };
  expect("status request", morvex::client::status_request() == R"({"action":"status"})");
  const auto idle = morvex::client::read_status_reply(
      R"({"result":{"activeProfile":null,"connectedAt":null,"connection":null,)"
      R"("message":"VPN is disconnected.","platform":"windows","publicAddress":null,)"
      R"("state":"disconnected"}})");
  expect("status reply", idle && idle->state == morvex::client::State::disconnected);
#ifdef _WIN32
  if (argc > 1) {
    const std::string name = argv[1];
    const auto client =
        morvex::client::pipe_client({.pipe_name = std::wstring(name.begin(), name.end())});
    const auto status = client.status(std::chrono::seconds(5));
    expect("status call without a service",
           !status &&
               status.error() == morvex::client::Error{morvex::client::ErrorKind::no_service,
                                                       "The Morvex VPN service is not running."});
  }
#else
  (void)argc;
  (void)argv;
#endif
  std::printf("%s\n", failures == 0 ? "client package: all calls as expected"
                                    : "client package: calls went wrong");
  return failures == 0 ? 0 : 1;
}
