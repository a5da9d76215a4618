#include "windows/engine/engine_locations.hpp"

#include <windows.h>

#include <optional>

#include "win32/unique_handle.hpp"
#include "windows/engine/portable/program_paths.hpp"

namespace morvex {
namespace {

// The variable's value, or nothing when it is not set.
std::optional<std::wstring> environment_variable(const wchar_t* name) {
  std::wstring value(MAX_PATH, L'\0');
  // The value may change between the two calls; a few tries settle it.
  for (int attempt = 0; attempt < 4; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.assign(length, L'\0');
  }
  return std::nullopt;
}

}  // namespace

std::wstring program_files_path(std::wstring_view relative) {
  return join_path(program_root(environment_variable(L"ProgramFiles"), L"C:\\Program Files"),
                   relative);
}

std::wstring system_tool_path(std::wstring_view relative) {
  const auto root = program_root(environment_variable(L"SystemRoot"), L"C:\\Windows");
  return join_path(join_path(root, L"System32"), relative);
}

bool is_existing_regular_file(const std::wstring& path) {
  // Opening follows links; no access beyond the attributes is asked for, and
  // any sharing is allowed so that an open program does not count as missing.
  const UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file.get(), &information)) return false;
  return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace morvex
