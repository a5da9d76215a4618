// Simulated OpenVPN, for tests only.
//   --version   prints a version banner (scenario "openvpn_version", "openssl_version")
//   tunnel mode the service's argument list: checks that the configuration and
//               the credentials file (user name, LF, password, LF) can be read,
//               records its command line in "openvpn-command-lines.txt" beside
//               itself, writes the log and rewrites the status file every
//               "status_interval_ms" (2000) until the named exit event is set.
// Scenario key "openvpn": healthy | never_ready | restart (completes, then
// pauses for a restart) | exit (ends at once with code 1) | ignore_exit (never
// watches the event) | with_errors (completes "With Errors" and runs on, as
// OpenVPN/openvpn src/openvpn/init.c does on Windows for an adapter not up).
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "scenario.hpp"

namespace {

std::map<std::wstring, std::vector<std::wstring>> options(int argc, wchar_t** argv) {
  std::map<std::wstring, std::vector<std::wstring>> result;
  std::wstring current;
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument.starts_with(L"--")) {
      current = argument;
      result[current];
    } else {
      result[current].push_back(argument);
    }
  }
  return result;
}

bool read_file(const std::wstring& path, std::string& content) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    content.append(buffer, read);
  }
  CloseHandle(file);
  return true;
}

void write_whole(const std::wstring& path, const std::string& content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
}

class Log {
 public:
  explicit Log(const std::wstring& path) : path_(path) {}
  void line(const std::string& text) {
    text_ += "2026-12-07 11:00:00 " + text + "\n";
    write_whole(path_, text_);
  }

 private:
  std::wstring path_;
  std::string text_;
};

int version(const std::map<std::string, std::string>& scenario) {
  simulated::print("OpenVPN " + simulated::setting(scenario, "openvpn_version", "2.7.7") +
                   " x86_64-w64-mingw32 [SSL (OpenSSL)] [LZ4] [PKCS11] [AEAD]\n"
                   "library versions: OpenSSL " +
                   simulated::setting(scenario, "openssl_version", "3.5.9") +
                   " 1 Jul 2026, LZO 2.10\n");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const auto scenario = simulated::read_scenario();
  if (argc == 2 && std::wstring(argv[1]) == L"--version") return version(scenario);

  auto given = options(argc, argv);
  if (given[L"--config"].size() != 1 || given[L"--auth-user-pass"].size() != 1 ||
      given[L"--service"].size() != 2 || given[L"--status"].size() != 2 ||
      given[L"--log"].size() != 1) {
    return 2;
  }
  simulated::record(L"openvpn-command-lines.txt", GetCommandLineW());
  Log log(given[L"--log"][0]);
  log.line("OpenVPN (simulated) starting");

  std::string config;
  std::string credentials;
  if (!read_file(given[L"--config"][0], config)) {
    log.line("Options error: cannot read the configuration");
    return 1;
  }
  // Exactly a user name line and a password line.
  const bool readable = read_file(given[L"--auth-user-pass"][0], credentials);
  const auto first_end = credentials.find('\n');
  const bool two_lines = first_end != std::string::npos && first_end > 0 &&
                         credentials.size() > first_end + 1 &&
                         credentials.find('\n', first_end + 1) == credentials.size() - 1;
  if (!readable || !two_lines) {
    log.line("AUTH: the credentials file is not a user name and a password line");
    return 1;
  }

  const auto mode = simulated::setting(scenario, "openvpn", "healthy");
  if (mode == "exit") {
    log.line("Exiting due to fatal error");
    return 1;
  }
  // As OpenVPN/openvpn src/openvpn/win32.c (win32_signal_open): the event is
  // created when missing, one that cannot be had is not watched, and one
  // already signalled ends the start.
  HANDLE exit_event = nullptr;
  if (mode != "ignore_exit") {
    exit_event = CreateEventW(nullptr, TRUE, FALSE, given[L"--service"][0].c_str());
    if (exit_event == nullptr) log.line("NOTE: CreateEventW failed");
    if (exit_event != nullptr && WaitForSingleObject(exit_event, 0) != WAIT_TIMEOUT) {
      log.line("ERROR: Exit Event is signaled");
      return 1;
    }
  }
  log.line("TAP-WIN32 device [MorvexOpenVPN] opened");
  if (mode == "with_errors") {
    log.line(
        "Initialization Sequence Completed With Errors ( see "
        "http://openvpn.net/faq.html#dhcpclientserv )");
  } else if (mode != "never_ready") {
    log.line("Initialization Sequence Completed");
  }
  if (mode == "restart") log.line("SIGUSR1[soft,ping-restart] received, process restarting");
  if (mode == "restart") log.line("Restart pause, 5 second(s)");

  const DWORD interval = std::stoul(simulated::setting(scenario, "status_interval_ms", "2000"));
  unsigned long long received = 0;
  unsigned long long sent = 0;
  while (true) {
    write_whole(given[L"--status"][0],
                "TITLE,OpenVPN 2.7.7 (simulated)\nHEADER,CLIENT_LIST\n"
                "TUN/TAP read bytes," +
                    std::to_string(sent) + "\nTUN/TAP write bytes," + std::to_string(received) +
                    "\nEND\n");
    received += 1000;
    sent += 500;
    const DWORD waited = exit_event != nullptr ? WaitForSingleObject(exit_event, interval)
                                               : (Sleep(interval), WAIT_TIMEOUT);
    if (waited == WAIT_OBJECT_0) break;
  }
  log.line("SIGTERM[hard,] received, process exiting");
  CloseHandle(exit_event);
  return 0;
}
