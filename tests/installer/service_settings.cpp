// Prints what the Service Control Manager holds for one service, one
// "name=value" per line, so a test can compare an installed service's
// registration with what it should be:
//   type, start, error_control, account, binary, display_name, description
// A description the manager cannot report is printed as "unavailable".
//   service_settings NAME
// Exit status: 0 printed, 1 no such service or no access, 2 usage.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "win32/service_handle.hpp"

namespace {

// Writes "name=value" and a line feed, the value as UTF-8.
void print(const char* name, const std::wstring& value) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), text.data(), size,
                      nullptr, nullptr);
  std::printf("%s=%s\n", name, text.c_str());
}

std::vector<std::byte> query_config2(SC_HANDLE service, DWORD level) {
  DWORD needed = 0;
  QueryServiceConfig2W(service, level, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return {};
  std::vector<std::byte> buffer(needed);
  if (!QueryServiceConfig2W(service, level, reinterpret_cast<BYTE*>(buffer.data()), needed,
                            &needed)) {
    return {};
  }
  return buffer;
}

void print_description(SC_HANDLE service) {
  const auto buffer = query_config2(service, SERVICE_CONFIG_DESCRIPTION);
  if (buffer.empty()) return print("description", L"unavailable");
  const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
  print("description", description->lpDescription ? description->lpDescription : L"");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: service_settings NAME\n", stderr);
    return 2;
  }
  const morvex::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 1;
  const morvex::UniqueServiceHandle service(
      OpenServiceW(manager.get(), argv[1], SERVICE_QUERY_CONFIG));
  if (!service) return 1;

  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<std::byte> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed)) return 1;

  print("type", std::to_wstring(config->dwServiceType));
  print("start", std::to_wstring(config->dwStartType));
  print("error_control", std::to_wstring(config->dwErrorControl));
  print("account", config->lpServiceStartName ? config->lpServiceStartName : L"");
  print("binary", config->lpBinaryPathName ? config->lpBinaryPathName : L"");
  print("display_name", config->lpDisplayName ? config->lpDisplayName : L"");
  print_description(service.get());
  return 0;
}
