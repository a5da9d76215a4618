#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/failure.hpp"
#include "win32/unique_handle.hpp"
#include "windows/pipe/pipe_server.hpp"

namespace morvex::testing {

// A pipe name no other test (or test run) uses.
std::wstring unique_pipe_name(std::wstring_view purpose);

// The folder that holds this test program and the programs built with it.
std::filesystem::path program_folder();

// A fresh folder under the temporary folder, removed when let go.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(std::wstring_view purpose);
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// What the desktop app asks for when it opens the pipe: reading, writing of
// data, and the attributes that SetNamedPipeHandleState changes. Not
// GENERIC_WRITE, which holds the right to create instances.
inline constexpr DWORD client_pipe_access = GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

// Opens the pipe as a client with client_pipe_access, lending only its
// identity; while every instance is busy, waits for one up to `patience`.
UniqueHandle connect_client(const std::wstring& name,
                            std::chrono::milliseconds patience = std::chrono::seconds(5));

// The length bytes and the body.
std::string frame(std::string_view body);
std::string frame_length(std::uint32_t length);

// Writes everything on a blocking client handle.
bool send_bytes(HANDLE pipe, std::string_view bytes);

// One reply frame read within `timeout`; the client end is switched to
// non-blocking mode for it. The failure sentences are those of read_message.
Result<std::string> read_reply(HANDLE pipe, std::chrono::milliseconds timeout);

// Waits until the server closes its end: true when it did within `timeout`
// without sending any byte.
bool closed_without_bytes(HANDLE pipe, std::chrono::milliseconds timeout);

struct ProgramRun {
  DWORD exit_code = 0;
  bool finished = false;
};

// Starts a program with the given command-line arguments (already quoted),
// inheriting nothing, and waits up to `timeout` for it to end.
ProgramRun run_program(const std::filesystem::path& program, const std::wstring& arguments,
                       std::chrono::milliseconds timeout);

// " type/flags/mask/sid" for each ACE of a DACL, in order.
std::string describe_acl(PACL dacl);
// The rights that the allow entries naming `principal` (SID text) grant, with
// generic rights mapped as for files and pipes. None when the DACL holds an
// entry of another kind, whose effect this sum would not show.
std::optional<ACCESS_MASK> rights_granted(PACL dacl, const std::wstring& principal);
// A descriptor's DACL: "P" when protected (else "-"), then describe_acl.
std::string describe_dacl(PSECURITY_DESCRIPTOR descriptor);

// Reads a whole file; empty when missing.
std::string read_file(const std::filesystem::path& path);

// Runs an accept loop on a thread of its own and stops it when let go.
class ServerThread {
 public:
  explicit ServerThread(PipeServerConfig config);
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;
  ~ServerThread();

  // Stops the loop and waits for it; gives its result.
  Result<void> stop();
  bool running() const { return running_.load(); }
  // Waits until the loop has created its first instance.
  void wait_until_listening() const;

 private:
  PipeServerConfig config_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> running_{false};
  std::optional<Result<void>> result_;
  std::thread thread_;
};

}  // namespace morvex::testing
