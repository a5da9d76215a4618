#include <windows.h>
// The service headers below need windows.h first.
#include <gtest/gtest.h>
#include <winsvc.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pipe/pipe_test_support.hpp"
#include "win32/service_handle.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using namespace morvex::testing;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const wchar_t* production_pipe = L"\\\\.\\pipe\\MorvexVPN.Service.v1";

bool pipe_exists() {
  return WaitNamedPipeW(production_pipe, 1) || GetLastError() == ERROR_SEM_TIMEOUT;
}

// The service program installed from a throwaway installation folder under a
// unique service name, removed again at the end.
class ServiceProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* program : {L"morvex_vpn_platform_service.exe", L"morvex_pipe_client.exe"}) {
      ASSERT_TRUE(CopyFileW((program_folder() / program).c_str(),
                            (install.path() / program).c_str(), TRUE));
    }
    manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    const std::wstring binary =
        L"\"" + (install.path() / L"morvex_vpn_platform_service.exe").wstring() + L"\"";
    service.reset(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr));
    ASSERT_TRUE(service) << GetLastError();
  }

  void TearDown() override {
    if (!service) return;
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
      ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
      wait_for(SERVICE_STOPPED, 10s);
    }
    DeleteService(service.get());
  }

  SERVICE_STATUS status() {
    SERVICE_STATUS current{};
    QueryServiceStatus(service.get(), &current);
    return current;
  }

  // Polls the service until it reports `target`; gives every distinct state
  // seen on the way, in order.
  std::vector<DWORD> wait_for(DWORD target, std::chrono::milliseconds timeout) {
    std::vector<DWORD> seen;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      const DWORD state = status().dwCurrentState;
      if (seen.empty() || seen.back() != state) seen.push_back(state);
      if (state == target) break;
      std::this_thread::sleep_for(1ms);
    }
    return seen;
  }

  // Runs a copy of the client and gives the reply it wrote, or its exit code.
  std::string request(const fs::path& client, const std::string& body) {
    const auto reply_file = install.path() / L"reply.txt";
    DeleteFileW(reply_file.c_str());
    std::wstring quoted_body;
    for (const char c : body) {
      if (c == '"') quoted_body += L'\\';
      quoted_body.push_back(static_cast<wchar_t>(c));
    }
    const auto run = run_program(client,
                                 std::wstring(L"\"") + production_pipe + L"\" \"" + quoted_body +
                                     L"\" \"" + reply_file.wstring() + L"\" " + name,
                                 30s);
    if (!run.finished) return "client did not finish";
    if (run.exit_code != 0) return "client exit " + std::to_string(run.exit_code);
    return read_file(reply_file);
  }

  TemporaryFolder install{L"service"};
  std::wstring name =
      L"MorvexVPNTest" + std::to_wstring(GetCurrentProcessId()) + std::to_wstring(GetTickCount());
  UniqueServiceHandle manager;
  UniqueServiceHandle service;
};

TEST_F(ServiceProgramTest, StartsServesAndStops) {
  // Leftovers of a run that ended abruptly.
  const auto storage = install.path() / L"private-runtime";
  fs::create_directory(storage);
  for (const wchar_t* file : {L"openvpn.auth", L"MorvexVPN.conf", L"adapter-tap.id"}) {
    std::ofstream(storage / file) << "left over";
  }
  ASSERT_FALSE(pipe_exists());
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  const auto starting = wait_for(SERVICE_RUNNING, 20s);
  ASSERT_FALSE(starting.empty());
  EXPECT_EQ(starting.back(), static_cast<DWORD>(SERVICE_RUNNING));
  for (const DWORD state : starting) {
    EXPECT_TRUE(state == SERVICE_START_PENDING || state == SERVICE_RUNNING) << state;
  }
  const SERVICE_STATUS running = status();
  EXPECT_EQ(running.dwServiceType & 0xFFu, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(running.dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  EXPECT_TRUE(fs::is_directory(storage));
  // Removed before the service reported running; the adapter's identifier
  // outlives runs.
  EXPECT_FALSE(fs::exists(storage / L"openvpn.auth"));
  EXPECT_FALSE(fs::exists(storage / L"MorvexVPN.conf"));
  EXPECT_TRUE(fs::exists(storage / L"adapter-tap.id"));

  const auto reply = request(install.path() / L"morvex_pipe_client.exe", R"({"action":"status"})");
  EXPECT_EQ(reply.rfind(R"({"result":{)", 0), 0u) << reply;
  EXPECT_NE(reply.find("disconnected"), std::string::npos) << reply;

  const TemporaryFolder elsewhere(L"stranger");
  const auto stranger = elsewhere.path() / L"morvex_pipe_client.exe";
  ASSERT_TRUE(
      CopyFileW((install.path() / L"morvex_pipe_client.exe").c_str(), stranger.c_str(), TRUE));
  EXPECT_EQ(request(stranger, R"({"action":"status"})"),
            R"({"error":"Only the Morvex VPN app can use this service."})");

  SERVICE_STATUS after_control{};
  const auto stop_start = Clock::now();
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &after_control));
  const auto stopping = wait_for(SERVICE_STOPPED, 10s);
  EXPECT_LT(Clock::now() - stop_start, 1s);
  ASSERT_FALSE(stopping.empty());
  EXPECT_EQ(stopping.back(), static_cast<DWORD>(SERVICE_STOPPED));
  const SERVICE_STATUS stopped = status();
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
  // The process ends right after it reports stopped, and the pipe with it.
  for (int i = 0; i < 100 && pipe_exists(); ++i) Sleep(20);
  EXPECT_FALSE(pipe_exists());
}

TEST_F(ServiceProgramTest, StorageThatCannotBePreparedStopsTheServiceWithoutAPipe) {
  std::ofstream(install.path() / L"private-runtime") << "not a directory";
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  std::vector<DWORD> seen;
  bool pipe_seen = false;
  const auto deadline = Clock::now() + 20s;
  while (Clock::now() < deadline) {
    const DWORD state = status().dwCurrentState;
    if (seen.empty() || seen.back() != state) seen.push_back(state);
    pipe_seen = pipe_seen || pipe_exists();
    if (state == SERVICE_STOPPED && seen.size() > 1) break;
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), static_cast<DWORD>(SERVICE_STOPPED));
  for (const DWORD state : seen) {
    EXPECT_TRUE(state == SERVICE_START_PENDING || state == SERVICE_STOPPED) << state;
  }
  EXPECT_EQ(status().dwWin32ExitCode, 0u);
  EXPECT_FALSE(pipe_seen);
}

TEST_F(ServiceProgramTest, PipeNameTakenKeepsTheServiceTryingUntilItIsFree) {
  // Another process's pipe under the service's name (inbound only, so that
  // Wine refuses the service's instances): the service runs on, and serves
  // once the name is free.
  UniqueHandle squatter(CreateNamedPipeW(production_pipe, PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 16, 0, 0, 0, nullptr));
  ASSERT_TRUE(squatter);
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  EXPECT_EQ(wait_for(SERVICE_RUNNING, 20s).back(), static_cast<DWORD>(SERVICE_RUNNING));
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  squatter.reset();
  const auto reply = request(install.path() / L"morvex_pipe_client.exe", R"({"action":"status"})");
  EXPECT_NE(reply.find("disconnected"), std::string::npos) << reply;
}

TEST(ServiceProgram, StartedFromAConsoleItTellsHowToStartIt) {
  const TemporaryFolder folder(L"console");
  const auto output = folder.path() / L"stderr.txt";
  const auto standard_output = folder.path() / L"stdout.txt";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  UniqueHandle file(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file);
  UniqueHandle out_file(CreateFileW(standard_output.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                    &inherit, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(out_file);
  const auto program = program_folder() / L"morvex_vpn_platform_service.exe";
  std::wstring command_line = L"\"" + program.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = file.get();
  startup.hStdOutput = out_file.get();
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                             CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process));
  const UniqueHandle process_handle(process.hProcess);
  const UniqueHandle thread_handle(process.hThread);
  file.reset();
  out_file.reset();
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD exit_code = 0;
  ASSERT_TRUE(GetExitCodeProcess(process.hProcess, &exit_code));
  EXPECT_EQ(exit_code, 1u);
  EXPECT_EQ(read_file(output), "Start Morvex VPN through Windows Services.\n");
  EXPECT_EQ(read_file(standard_output), "");
}

}  // namespace
}  // namespace morvex
