// A small console program whose behaviour the runner tests choose through its
// arguments: exit codes, output of a given size, echoing its input, hanging,
// leaving a process of its own behind, reporting what it was started with.
#include <windows.h>
// shellapi.h builds on windows.h.
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void write_all(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 65536));
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

void print(std::string_view bytes) { write_all(GetStdHandle(STD_OUTPUT_HANDLE), bytes); }

std::string utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

std::string read_input() {
  std::string input;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) &&
         got > 0) {
    input.append(buffer, got);
  }
  return input;
}

unsigned long number(const wchar_t* text) { return std::wcstoul(text, nullptr, 0); }

// Holds a named event for as long as the process lives, so a test can tell
// whether it is gone.
void mark_alive(const wchar_t* name) { CreateEventW(nullptr, TRUE, FALSE, name); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring_view mode = argv[1];

  if (mode == L"exit" && argc == 3) return static_cast<int>(number(argv[2]));

  if (mode == L"print" && argc >= 3) {
    // Write errors are ignored: the reader may stop early on purpose.
    print(std::string(number(argv[2]), 'x'));
    return argc >= 4 ? static_cast<int>(number(argv[3])) : 0;
  }

  if (mode == L"invalid-utf8") {
    print("valid start \xC3\x28 then not");
    return argc >= 3 ? static_cast<int>(number(argv[2])) : 0;
  }

  if (mode == L"echo") {
    print(read_input());
    return 0;
  }

  if (mode == L"skip-input") return 0;

  if (mode == L"sleep" && argc >= 3) {
    if (argc >= 4) mark_alive(argv[3]);
    Sleep(number(argv[2]));
    return 0;
  }

  if (mode == L"spawn-sleeper" && argc == 4) {
    // Starts a copy of itself that inherits standard output and sleeps,
    // writes that copy's process id to the file named by the last argument,
    // and exits at once.
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" sleep " + argv[2];
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &started)) {
      return 3;
    }
    const HANDLE file = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const auto id = std::to_string(started.dwProcessId);
    write_all(file, id);
    CloseHandle(file);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return 0;
  }

  if (mode == L"environment") {
    // One entry a line, UTF-8.
    wchar_t* block = GetEnvironmentStringsW();
    std::string lines;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      lines += utf8(entry) + "\n";
    }
    FreeEnvironmentStringsW(block);
    print(lines);
    return 0;
  }

  if (mode == L"arguments") {
    // Every argument as the system splits the command line, each ended by NUL.
    int count = 0;
    wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
    std::string out;
    for (int i = 1; i < count; ++i) out += utf8(split[i]) + std::string(1, '\0');
    LocalFree(split);
    print(out);
    return 0;
  }

  if (mode == L"stderr-flood" && argc == 3) {
    write_all(GetStdHandle(STD_ERROR_HANDLE), std::string(number(argv[2]), 'e'));
    print("done");
    return 0;
  }

  if (mode == L"write-handle" && argc == 3) {
    // Writes to a handle value that the test made in its own process.
    const auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(number(argv[2])));
    DWORD written = 0;
    WriteFile(handle, "leak", 4, &written, nullptr);
    return 0;
  }

  if (mode == L"window") {
    print(GetConsoleWindow() == nullptr ? "none" : "window");
    return 0;
  }

  return 2;
}
