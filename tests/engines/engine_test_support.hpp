#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "command/runner.hpp"
#include "win32/service_handle.hpp"
#include "windows/engine/engine_context.hpp"

namespace morvex::testing {

// A folder of its own under the temporary folder, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (L"morvex-engines-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A name no other test (or test run) uses, for Windows objects.
inline std::wstring unique_name(const std::wstring& base) {
  static std::atomic<int> counter{0};
  return base + std::to_wstring(GetCurrentProcessId()) + L"x" + std::to_wstring(counter++);
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary);
  file << content;
}

// One run the engine asked for.
struct RecordedRun {
  EngineCommand command;
  std::chrono::nanoseconds timeout;
};

// Answers runs from a script instead of starting programs.
class ScriptedRunner final : public CommandRunner {
 public:
  std::function<Result<std::string>(const EngineCommand&)> answer = [](const EngineCommand&) {
    return Result<std::string>(std::string());
  };
  std::vector<RecordedRun> runs;

  Result<std::string> run(const EngineCommand& command, const std::optional<std::string>&,
                          std::chrono::nanoseconds timeout) override {
    runs.push_back({command, timeout});
    return answer(command);
  }
};

// A context whose programs lie under `root` and whose names are unique.
inline EngineContext test_context(CommandRunner& runner, const std::filesystem::path& root,
                                  std::uint64_t now = 1'800'000'000) {
  EngineContext context(runner);
  context.program_path = [root](std::wstring_view relative) {
    return (root / std::filesystem::path(std::wstring(relative))).wstring();
  };
  context.unix_seconds = [now] { return now; };
  context.tunnel_name = unique_name(L"MorvexVPNTest");
  return context;
}

// The folder that holds this test program (and the simulated programs).
inline std::filesystem::path program_folder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

// Places a simulated program at `relative` under `root`.
inline void install_simulated(const std::wstring& simulated, const std::filesystem::path& root,
                              const std::wstring& relative) {
  const auto target = root / std::filesystem::path(relative);
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::copy_file(program_folder() / (L"simulated-" + simulated + L".exe"), target,
                             std::filesystem::copy_options::overwrite_existing);
}

// A tunnel service of the given command line, made to start with Windows as
// the WireGuard manager makes it, stopped and deleted when the test ends.
class TunnelService {
 public:
  TunnelService(const std::wstring& tunnel, const std::wstring& command_line)
      : manager_(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
    const std::wstring name = L"WireGuardTunnel$" + tunnel;
    service_.reset(CreateServiceW(manager_.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr));
  }
  ~TunnelService() {
    if (!service_) return;
    SERVICE_STATUS status{};
    if (ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) wait_for(SERVICE_STOPPED);
    DeleteService(service_.get());
  }
  bool created() const { return static_cast<bool>(service_); }
  DWORD start_type() const {
    alignas(QUERY_SERVICE_CONFIGW) unsigned char buffer[8192];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    DWORD needed = 0;
    return QueryServiceConfigW(service_.get(), config, sizeof(buffer), &needed)
               ? config->dwStartType
               : 0;
  }
  bool start() { return StartServiceW(service_.get(), 0, nullptr) && wait_for(SERVICE_RUNNING); }
  bool wait_for(DWORD state) {
    for (int i = 0; i < 200; ++i) {
      SERVICE_STATUS status{};
      if (!QueryServiceStatus(service_.get(), &status)) return false;
      if (status.dwCurrentState == state) return true;
      Sleep(25);
    }
    return false;
  }
  // Deletes the service, as the WireGuard manager does on uninstall.
  void remove() {
    DeleteService(service_.get());
    service_.reset();
  }
  static bool exists(const std::wstring& tunnel) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const std::wstring name = L"WireGuardTunnel$" + tunnel;
    return static_cast<bool>(
        UniqueServiceHandle(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS)));
  }

 private:
  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
};

// The simulated tunnel service's command line for a configuration file.
inline std::wstring tunnel_service_line(const std::filesystem::path& configuration) {
  return L"\"" + (testing::program_folder() / L"simulated-wireguard.exe").wstring() +
         L"\" /tunnelservice \"" + configuration.wstring() + L"\"";
}

}  // namespace morvex::testing
