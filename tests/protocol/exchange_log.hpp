#pragma once

// Keeps every reply body that a test client receives for the schema check
// that the Wine test scripts run at their end (check_protocol.py exchanges):
// each process appends "< BODY" lines to a file of its own in the folder that
// MORVEX_EXCHANGE_LOG names. Nothing is kept when the variable is unset.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

namespace morvex::testing {

inline void log_reply(const std::string& body) {
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
