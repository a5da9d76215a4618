// A simulated openvpn.exe for the version-gate tests, never shipped. Called
// with the single argument --version it prints the bytes of "banner.txt"
// beside itself and exits with the number in "exit-code.txt" beside itself
// (0 when that file is missing). Any other call exits with 64.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::wstring beside_self(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring self(path, length);
  return self.substr(0, self.find_last_of(L'\\') + 1) + name;
}

std::string read_file(const std::wstring& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 || std::wstring(argv[1]) != L"--version") return 64;
  const std::string banner = read_file(beside_self(L"banner.txt"));
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), banner.data(), static_cast<DWORD>(banner.size()),
            &written, nullptr);
  return std::atoi(read_file(beside_self(L"exit-code.txt")).c_str());
}
