#include "protocol/exchange_log.hpp"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <mutex>

namespace morvex::testing {

void log_reply(const std::string& body) {
  static const std::filesystem::path file = [] {
    wchar_t folder[MAX_PATH];
    const DWORD size = GetEnvironmentVariableW(L"MORVEX_EXCHANGE_LOG", folder, MAX_PATH);
    if (size == 0 || size >= MAX_PATH) return std::filesystem::path();
    return std::filesystem::path(std::wstring(folder, size)) /
           (L"replies-" + std::to_wstring(GetCurrentProcessId()) + L".log");
  }();
  static std::mutex lock;
  if (file.empty()) return;
  const std::lock_guard<std::mutex> guard(lock);
  std::ofstream(file, std::ios::app | std::ios::binary) << "< " << body << '\n';
}

}  // namespace morvex::testing
