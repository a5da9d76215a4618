// Runs the placeholder program for real and reads its resources back from the
// built executable.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr char notice[] = "The Morvex VPN service is available on macOS.\n";

std::wstring program_path() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"morvex_vpn_service.exe";
}

struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  Pipe() {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    CreatePipe(&read, &write, &inherit, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  }
  ~Pipe() {
    if (read) CloseHandle(read);
    if (write) CloseHandle(write);
  }
  void close_write() {
    CloseHandle(write);
    write = nullptr;
  }
  void close_read() {
    CloseHandle(read);
    read = nullptr;
  }
  std::string drain() {
    std::string bytes;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(read, buffer, sizeof(buffer), &got, nullptr) && got > 0)
      bytes.append(buffer, got);
    return bytes;
  }
};

struct ProgramRun {
  DWORD exit_code = 0;
  std::string output;
  std::string error;
};

// Starts the placeholder with the given arguments and standard handles; a
// null error handle means "give it a pipe and collect what it writes".
ProgramRun run_placeholder(const std::wstring& arguments, HANDLE error_handle = nullptr,
                           bool close_error_reader_first = false) {
  Pipe out, err;
  if (close_error_reader_first) err.close_read();
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = out.write;
  startup.hStdError = error_handle ? error_handle : err.write;
  std::wstring command = L"\"" + program_path() + L"\" " + arguments;
  PROCESS_INFORMATION process{};
  ProgramRun run;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "could not start the placeholder";
    return run;
  }
  out.close_write();
  err.close_write();
  run.output = out.drain();
  if (err.read) run.error = err.drain();
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);
  GetExitCodeProcess(process.hProcess, &run.exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return run;
}

TEST(Placeholder, PrintsTheNoticeOnStandardErrorAndExitsWithOne) {
  for (const wchar_t* arguments : {L"", L"--help", L"start \"two words\" -x /y"}) {
    const ProgramRun run = run_placeholder(arguments);
    EXPECT_EQ(run.error, notice);
    EXPECT_EQ(run.error.size(), 46u);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.exit_code, 1u);
  }
}

TEST(Placeholder, WithoutStandardErrorItStillExitsWithOne) {
  EXPECT_EQ(run_placeholder(L"", INVALID_HANDLE_VALUE).exit_code, 1u);
}

TEST(Placeholder, AFailedWriteEndsItAbnormally) {
  // The pipe's reading end is gone, so the write fails with a broken pipe.
  const ProgramRun run = run_placeholder(L"", nullptr, /*close_error_reader_first=*/true);
  EXPECT_NE(run.exit_code, 0u);
  EXPECT_NE(run.exit_code, 1u);
}

std::wstring version_string(const std::vector<char>& block, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
  if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) {
    return L"<missing>";
  }
  return std::wstring(value, length > 0 ? length - 1 : 0);
}

TEST(PlaceholderResources, VersionBlock) {
  const auto path = program_path();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00040000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00040000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileOS, 0x40004u);
  EXPECT_EQ(fixed->dwFileType, 1u);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  EXPECT_EQ(translation[0], 1033);

  EXPECT_EQ(version_string(block, L"CompanyName"), L"morvex");
  EXPECT_EQ(version_string(block, L"FileDescription"), L"Morvex VPN");
  EXPECT_EQ(version_string(block, L"FileVersion"), L"4.0.0");
  EXPECT_EQ(version_string(block, L"ProductName"), L"Morvex VPN");
  EXPECT_EQ(version_string(block, L"ProductVersion"), L"4.0.0");
}

class ResourceModule {
 public:
  ResourceModule()
      : module_(LoadLibraryExW(program_path().c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~ResourceModule() {
    if (module_) FreeLibrary(module_);
  }
  std::string bytes(LPCWSTR type, LPCWSTR name) const {
    const HRSRC found =
        FindResourceExW(module_, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!found) return {};
    const HGLOBAL loaded = LoadResource(module_, found);
    const auto* data = static_cast<const char*>(LockResource(loaded));
    return std::string(data, SizeofResource(module_, found));
  }

 private:
  HMODULE module_;
};

TEST(PlaceholderResources, ManifestAsksForCommonControlsSix) {
  const std::string manifest =
      ResourceModule().bytes(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID);
  EXPECT_NE(manifest.find(R"(name="Microsoft.Windows.Common-Controls")"), std::string::npos);
  EXPECT_NE(manifest.find(R"(version="6.0.0.0")"), std::string::npos);
  EXPECT_NE(manifest.find(R"(processorArchitecture="*")"), std::string::npos);
  EXPECT_NE(manifest.find(R"(language="*")"), std::string::npos);
}

#pragma pack(push, 2)
struct IconGroupHeader {
  WORD reserved;
  WORD type;
  WORD count;
};
struct IconGroupEntry {
  BYTE width;
  BYTE height;
  BYTE colours;
  BYTE reserved;
  WORD planes;
  WORD bit_count;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST(PlaceholderResources, IconGroupHoldsSixImages) {
  const ResourceModule module;
  const std::string group = module.bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(32512));
  ASSERT_GE(group.size(), sizeof(IconGroupHeader));
  const auto* header = reinterpret_cast<const IconGroupHeader*>(group.data());
  EXPECT_EQ(header->type, 1);
  ASSERT_EQ(header->count, 6);
  ASSERT_EQ(group.size(), sizeof(IconGroupHeader) + 6 * sizeof(IconGroupEntry));
  const auto* entries = reinterpret_cast<const IconGroupEntry*>(group.data() + sizeof(*header));
  std::vector<int> widths;
  for (int i = 0; i < 6; ++i) {
    widths.push_back(entries[i].width == 0 ? 256 : entries[i].width);
    const std::string image = module.bytes(RT_ICON, MAKEINTRESOURCEW(entries[i].id));
    EXPECT_EQ(image.size(), entries[i].bytes) << "image " << i;
  }
  EXPECT_EQ(widths, (std::vector<int>{16, 24, 32, 48, 64, 256}));
}

}  // namespace
