// Process entry of the VPN service.
#include <windows.h>

#include <cstdio>

#include "dispatch/dispatcher.hpp"
#include "windows/service/unavailable_engine.hpp"

namespace morvex {

struct TunnelState {};

namespace {

UnavailableEngine engine;
Dispatcher dispatcher(engine);

}  // namespace
}  // namespace morvex

int wmain() {
  // Only the Service Control Manager may start the service.
  static constexpr char message[] = "Start Morvex VPN through Windows Services.\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, sizeof(message) - 1, &written, nullptr);
  (void)morvex::dispatcher;
  return 1;
}
