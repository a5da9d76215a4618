// Another program holding a file open, for tests only: opens FILE for
// reading with read and write sharing but no delete sharing (as a log viewer
// or a scanner does), creates MARKER once it holds the file, and lets go
// when MARKER is deleted, or after two minutes at most.
//   hold-file.exe FILE MARKER     exit 0, or 1 when FILE cannot be opened
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  const HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(marker);
  for (int i = 0; i < 2400 && GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(50);
  }
  CloseHandle(file);
  return 0;
}
