// Another program holding a file or a service open, for tests only: opens
// FILE for reading with read and write sharing but no delete sharing (as a
// log viewer or a scanner does), or with "service:NAME" the service NAME for
// its status (as the Services console or a monitoring tool does), creates
// MARKER once it holds it, and lets go when MARKER is deleted, or after two
// minutes at most.
//   hold-file.exe FILE|service:NAME MARKER     exit 0, or 1 when it cannot be opened
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring target = argv[1];
  SC_HANDLE manager = nullptr, service = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (target.starts_with(L"service:")) {
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    service = OpenServiceW(manager, target.substr(8).c_str(), SERVICE_QUERY_STATUS);
    if (service == nullptr) return 1;
  } else {
    file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
  }
  const HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(marker);
  for (int i = 0; i < 2400 && GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(50);
  }
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}
