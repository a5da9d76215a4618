#pragma once

// Simulated stand-ins for the outside engine programs, for tests only. Each
// program honours only the contract the service relies on and takes its
// behaviour from "scenario.txt" beside its own executable: one "key=value"
// per line, where a value may use \t and \n for a tab and a line feed and
// {now} for the current Unix time in seconds. A missing file or key means the
// healthy default.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace simulated {

inline std::wstring own_directory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/"));
}

inline std::string unescape(const std::string& value) {
  std::string result;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size() && (value[i + 1] == 't' || value[i + 1] == 'n')) {
      result += value[i + 1] == 't' ? '\t' : '\n';
      ++i;
    } else if (value.compare(i, 5, "{now}") == 0) {
      const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
      result += std::to_string(now);
      i += 4;
    } else {
      result += value[i];
    }
  }
  return result;
}

inline std::map<std::string, std::string> read_scenario() {
  std::map<std::string, std::string> scenario;
  std::ifstream file(std::filesystem::path(own_directory() + L"\\scenario.txt"), std::ios::binary);
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    scenario[line.substr(0, equals)] = unescape(line.substr(equals + 1));
  }
  return scenario;
}

inline std::string setting(const std::map<std::string, std::string>& scenario,
                           const std::string& key, const std::string& fallback) {
  const auto found = scenario.find(key);
  return found == scenario.end() ? fallback : found->second;
}

inline void print(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

// Appends one line (UTF-8, LF) to a file beside the program, so tests can see
// what ran.
inline void record(const std::wstring& name, const std::wstring& line) {
  const int size = static_cast<int>(line.size());
  std::string text(static_cast<std::size_t>(size) * 3, '\0');
  text.resize(static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, line.data(), size, text.data(), size * 3, nullptr, nullptr)));
  std::ofstream file(std::filesystem::path(own_directory() + L"\\" + name),
                     std::ios::binary | std::ios::app);
  file << text << "\n";
}

}  // namespace simulated
