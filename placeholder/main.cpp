// The service executable's name on another platform. On Windows it only says
// where the service is available and ends with status 1; it reads nothing and
// touches nothing else.
#include <windows.h>

namespace {

constexpr char notice[] = "The Morvex VPN service is available on macOS.\n";

// Status of a program that ended abnormally, as an aborted program does.
constexpr UINT abnormal_exit_status = 3;

}  // namespace

int wmain() {
  const HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  // A process without standard error has nowhere to put the notice.
  if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (!WriteFile(error_output, notice, sizeof(notice) - 1, &written, nullptr) &&
        GetLastError() != ERROR_INVALID_HANDLE) {
      ExitProcess(abnormal_exit_status);
    }
  }
  return 1;
}
