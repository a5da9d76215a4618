#include "pipe/pipe_test_support.hpp"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "access_rights.hpp"
#include "win32/local_memory.hpp"
#include "windows/pipe/portable/frame.hpp"

namespace morvex::testing {

std::wstring unique_pipe_name(std::wstring_view purpose) {
  static std::atomic<unsigned> counter{0};
  return L"\\\\.\\pipe\\MorvexVPN.Test." + std::wstring(purpose) + L"." +
         std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
}

std::filesystem::path program_folder() {
  wchar_t buffer[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
  return std::filesystem::path(std::wstring(buffer, length)).parent_path();
}

TemporaryFolder::TemporaryFolder(std::wstring_view purpose) {
  static std::atomic<unsigned> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          (L"morvex-" + std::wstring(purpose) + L"-" + std::to_wstring(GetCurrentProcessId()) +
           L"-" + std::to_wstring(++counter));
  std::error_code error;
  std::filesystem::remove_all(path_, error);
  std::filesystem::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

UniqueHandle connect_client(const std::wstring& name, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    UniqueHandle pipe(CreateFileW(name.c_str(), client_pipe_access, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe) return pipe;
    const DWORD error = GetLastError();
    if (std::chrono::steady_clock::now() >= deadline) {
      SetLastError(error);
      return pipe;
    }
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), 100);
    } else {
      Sleep(10);
    }
  }
}

std::string frame_length(std::uint32_t length) {
  const auto bytes = encode_frame_length(length);
  return std::string(bytes.data(), bytes.size());
}

std::string frame(std::string_view body) {
  return frame_length(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

bool send_bytes(HANDLE pipe, std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(pipe, bytes.data() + sent, static_cast<DWORD>(bytes.size() - sent), &written,
                   nullptr)) {
      return false;
    }
    sent += written;
  }
  return true;
}

Result<std::string> read_reply(HANDLE pipe, std::chrono::milliseconds timeout) {
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) return fail("mode change failed");
  return read_message(pipe, timeout);
}

bool closed_without_bytes(HANDLE pipe, std::chrono::milliseconds timeout) {
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  // A server that has disconnected the instance leaves no mode to change.
  if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
    return GetLastError() == ERROR_PIPE_NOT_CONNECTED;
  }
  const auto outcome = read_exact_until(pipe, 1, std::chrono::steady_clock::now() + timeout);
  return !outcome && outcome.error().message == "VPN service connection was interrupted.";
}

ProgramRun run_program(const std::filesystem::path& program, const std::wstring& arguments,
                       std::chrono::milliseconds timeout) {
  std::wstring command_line = L"\"" + program.wstring() + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  ProgramRun run;
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    return run;
  }
  const UniqueHandle process_handle(process.hProcess);
  const UniqueHandle thread_handle(process.hThread);
  if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 5000);
    return run;
  }
  run.finished = GetExitCodeProcess(process.hProcess, &run.exit_code) != FALSE;
  return run;
}

std::string describe_acl(PACL dacl) {
  std::string text;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return "bad ACE";
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), &sid)) return "bad SID";
    const UniqueLocal<wchar_t> sid_owner(sid);
    char entry[64];
    std::snprintf(entry, sizeof(entry), " %u/%u/%08lx/", allowed->Header.AceType,
                  allowed->Header.AceFlags, static_cast<unsigned long>(allowed->Mask));
    text += entry;
    for (const wchar_t* c = sid; *c != 0; ++c) text.push_back(static_cast<char>(*c));
  }
  return text;
}

std::optional<ACCESS_MASK> rights_granted(PACL dacl, const std::wstring& principal) {
  const auto rights = rights_by_principal(
      dacl, {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS});
  if (rights.contains("not an allow entry")) return std::nullopt;
  const auto found = rights.find(std::string(principal.begin(), principal.end()));
  return found == rights.end() ? 0 : found->second;
}

std::string describe_dacl(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) {
    return "no DACL";
  }
  std::string text = (control & SE_DACL_PROTECTED) ? "P" : "-";
  text += describe_acl(dacl);
  return text;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

ServerThread::ServerThread(PipeServerConfig config) : config_(std::move(config)) {
  thread_ = std::thread([this] {
    result_ = run_pipe_server(
        config_, [this] { return stopping_.load(); }, running_);
  });
}

ServerThread::~ServerThread() { (void)stop(); }

Result<void> ServerThread::stop() {
  if (thread_.joinable()) {
    stopping_.exchange(true);
    wake_pipe_server(config_.pipe_name, running_);
    thread_.join();
  }
  if (!result_) return fail("accept loop did not end");
  return *result_;
}

void ServerThread::wait_until_listening() const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (WaitNamedPipeW(config_.pipe_name.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT) {
      return;
    }
    Sleep(5);
  }
}

}  // namespace morvex::testing
