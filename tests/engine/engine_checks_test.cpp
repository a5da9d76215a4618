// Engine locations and installation checks against a test program-files
// folder, with a simulated openvpn.exe at the real relative path.
#include "windows/engine/engine_checks.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "windows/engine/engine_locations.hpp"

namespace morvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* gate_failed =
    "The Windows OpenVPN engine needs a security update. Install a Morvex release with patched "
    "engines.";
constexpr const char* good_banner =
    "OpenVPN 2.7.7 x86_64-w64-mingw32 [SSL (OpenSSL)] [LZO] [LZ4] [PKCS11] [AEAD]\n"
    "library versions: OpenSSL 3.5.9 1 Jul 2025, LZO 2.10\n";

std::optional<std::wstring> variable(const wchar_t* name) {
  wchar_t value[32768];
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  return std::wstring(value, length);
}

// Sets (or with nullopt removes) an environment variable of this process for
// the life of the object.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const std::optional<std::wstring>& value)
      : name_(name), saved_(variable(name)) {
    SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
  }
  ~ScopedVariable() { SetEnvironmentVariableW(name_, saved_ ? saved_->c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::optional<std::wstring> saved_;
};

TEST(EngineLocations, BuildPathsFromTheEnvironmentAtEachCall) {
  {
    const ScopedVariable unset(L"ProgramFiles", std::nullopt);
    EXPECT_EQ(program_files_path(wireguard_manager_program),
              L"C:\\Program Files\\WireGuard\\wireguard.exe");
  }
  {
    const ScopedVariable empty(L"ProgramFiles", L"");
    EXPECT_EQ(program_files_path(openvpn_program), L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe");
  }
  {
    const ScopedVariable lone_surrogate(L"ProgramFiles",
                                        std::wstring(L"D:\\Apps") + static_cast<wchar_t>(0xD800));
    EXPECT_EQ(program_files_path(tap_adapter_program),
              L"C:\\Program Files\\OpenVPN\\bin\\tapctl.exe");
  }
  {
    const ScopedVariable set(L"ProgramFiles", L"E:\\Programme\\");
    EXPECT_EQ(program_files_path(wireguard_query_program), L"E:\\Programme\\WireGuard\\wg.exe");
    SetEnvironmentVariableW(L"ProgramFiles", L"F:\\Long Path With Spaces");
    EXPECT_EQ(program_files_path(wireguard_query_program),
              L"F:\\Long Path With Spaces\\WireGuard\\wg.exe");
  }
  {
    const ScopedVariable set(L"SystemRoot", L"D:\\Win");
    EXPECT_EQ(system_tool_path(powershell_program),
              L"D:\\Win\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
  }
  {
    const ScopedVariable unset(L"SystemRoot", std::nullopt);
    EXPECT_EQ(system_tool_path(curl_program), L"C:\\Windows\\System32\\curl.exe");
  }
}

// The command the gate ran, and a scripted answer.
class ScriptedRunner final : public CommandRunner {
 public:
  explicit ScriptedRunner(Result<std::string> answer) : answer_(std::move(answer)) {}
  Result<std::string> run(const EngineCommand& command, const std::optional<std::string>& input,
                          std::chrono::nanoseconds timeout) override {
    commands.push_back(command);
    inputs.push_back(input);
    timeouts.push_back(timeout);
    return answer_;
  }

  std::vector<EngineCommand> commands;
  std::vector<std::optional<std::string>> inputs;
  std::vector<std::chrono::nanoseconds> timeouts;

 private:
  Result<std::string> answer_;
};

TEST(CheckOpenvpnVersion, AsksTheEngineForItsVersionOnce) {
  const ScopedVariable root(L"ProgramFiles", L"Q:\\Engines");
  ScriptedRunner runner{std::string(good_banner)};
  EXPECT_TRUE(check_openvpn_version(runner).has_value());
  ASSERT_EQ(runner.commands.size(), 1u);
  const auto& command = runner.commands[0];
  EXPECT_EQ(command.program, L"Q:\\Engines\\OpenVPN\\bin\\openvpn.exe");
  EXPECT_EQ(command.arguments, std::vector<std::wstring>{L"--version"});
  EXPECT_EQ(command.creation_flags, 0x08000000u);
  EXPECT_EQ(command.environment_overrides.size(), 2u);
  EXPECT_EQ(runner.inputs[0], std::nullopt);
  EXPECT_EQ(runner.timeouts[0], 3s);
}

TEST(CheckOpenvpnVersion, ReplacesEveryFailureWithItsOwnSentence) {
  for (const auto& answer :
       {Result<std::string>(fail("Could not start the VPN component.")),
        Result<std::string>(fail("VPN component timed out. Please try again.")),
        Result<std::string>(std::string("OpenVPN 2.7.6\n")), Result<std::string>(std::string())}) {
    ScriptedRunner runner(answer);
    EXPECT_EQ(check_openvpn_version(runner), fail(gate_failed));
  }
}

// A program-files folder of its own for each test, named in ProgramFiles
// while the test runs.
class InstalledEngines : public testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<unsigned> counter{0};
    root_ = fs::temp_directory_path() /
            ("morvex-engine-checks-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(counter++));
    fs::create_directories(root_);
    saved_ = variable(L"ProgramFiles");
    SetEnvironmentVariableW(L"ProgramFiles", root_.wstring().c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"ProgramFiles", saved_ ? saved_->c_str() : nullptr);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Places the simulated openvpn.exe, printing `banner` and exiting with `code`.
  void install_openvpn(const std::string& banner, int code) {
    const auto folder = root_ / "OpenVPN" / "bin";
    fs::create_directories(folder);
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const auto simulated =
        fs::path(std::wstring(self, length)).parent_path() / "simulated-openvpn-banner.exe";
    fs::copy_file(simulated, folder / "openvpn.exe", fs::copy_options::overwrite_existing);
    write(folder / "banner.txt", banner);
    write(folder / "exit-code.txt", std::to_string(code));
  }

  void place_file(const fs::path& relative) {
    fs::create_directories((root_ / relative).parent_path());
    write(root_ / relative, "");
  }
  void place_directory(const fs::path& relative) { fs::create_directories(root_ / relative); }

  static void write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  EngineCapabilities capabilities() {
    BoundedRunner runner;
    return query_capabilities(runner);
  }

  fs::path root_;
  std::optional<std::wstring> saved_;
};

EngineCapabilities expected(bool openvpn, bool wireguard) {
  EngineCapabilities result;
  result.openvpn = openvpn;
  result.wireguard = wireguard;
  result.wireguard_message = "The installer supplies the Windows VPN engines.";
  return result;
}

TEST_F(InstalledEngines, ReportsBothEnginesWhenPresentAndPatched) {
  install_openvpn(good_banner, 0);
  place_file("WireGuard/wireguard.exe");
  place_file("WireGuard/wg.exe");
  EXPECT_EQ(capabilities(), expected(true, true));
  BoundedRunner runner;
  EXPECT_TRUE(check_openvpn_version(runner).has_value());
}

TEST_F(InstalledEngines, ReportsNothingWhenNothingIsInstalled) {
  EXPECT_EQ(capabilities(), expected(false, false));
  BoundedRunner runner;
  EXPECT_EQ(check_openvpn_version(runner), fail(gate_failed));
}

TEST_F(InstalledEngines, RefusesAnOpenvpnThatFailsOrIsOld) {
  place_file("WireGuard/wireguard.exe");
  place_file("WireGuard/wg.exe");
  const struct {
    std::string banner;
    int code;
  } cases[] = {
      {good_banner, 1},
      {"OpenVPN 2.7.6 x86_64\nlibrary versions: OpenSSL 3.5.9\n", 0},
      {"OpenVPN 2.7.7 x86_64\nlibrary versions: OpenSSL 3.5.8\n", 0},
      {"openvpn 2.7.7 x86_64\nlibrary versions: OpenSSL 3.5.9\n", 0},
      {"OpenVPN 2.7.7 x86_64\n", 0},
  };
  for (const auto& [banner, code] : cases) {
    install_openvpn(banner, code);
    EXPECT_EQ(capabilities(), expected(false, true)) << banner << " exit " << code;
  }
}

TEST_F(InstalledEngines, RefusesADirectoryInPlaceOfOpenvpn) {
  place_directory("OpenVPN/bin/openvpn.exe");
  EXPECT_EQ(capabilities(), expected(false, false));
}

TEST_F(InstalledEngines, NeedsBothWireguardProgramsAsFiles) {
  place_file("WireGuard/wireguard.exe");
  EXPECT_EQ(capabilities().wireguard, false);
  place_directory("WireGuard/wg.exe");
  EXPECT_EQ(capabilities().wireguard, false);
  EXPECT_FALSE(is_existing_regular_file(program_files_path(wireguard_query_program)));
  EXPECT_TRUE(is_existing_regular_file(program_files_path(wireguard_manager_program)));
}

TEST_F(InstalledEngines, RefusesADirectoryInPlaceOfTheWireguardManager) {
  place_directory("WireGuard/wireguard.exe");
  place_file("WireGuard/wg.exe");
  EXPECT_EQ(capabilities().wireguard, false);
  EXPECT_FALSE(is_existing_regular_file(program_files_path(wireguard_manager_program)));
}

TEST_F(InstalledEngines, SeesARepairAtTheNextRequest) {
  EXPECT_EQ(capabilities(), expected(false, false));
  install_openvpn(good_banner, 0);
  place_file("WireGuard/wireguard.exe");
  place_file("WireGuard/wg.exe");
  EXPECT_EQ(capabilities(), expected(true, true));
}

}  // namespace
}  // namespace morvex
