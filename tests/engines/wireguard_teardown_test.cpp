#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engines/engine_test_support.hpp"
#include "win32/service_handle.hpp"
#include "win32/unique_handle.hpp"
#include "windows/engine/command_line_split.hpp"
#include "windows/engine/private_files.hpp"
#include "windows/engine/tunnel_state.hpp"
#include "windows/engine/wireguard_engine.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using testing::read_file;
using testing::ScriptedRunner;
using testing::TempFolder;
using testing::write_file;

Profile wireguard_profile() {
  Profile profile;
  profile.server_id = 7;
  profile.location = "Zurich";
  profile.protocol = "wireguard";
  profile.config = "[Interface]\nPrivateKey = x\n";
  return profile;
}

TEST(WritePrivateFile, CreatesANewFileWithEveryByte) {
  TempFolder folder;
  const std::string bytes = std::string("a\0b\r\n", 5) + std::string(3u << 20, 'z');
  const auto path = write_private_file(folder.path(), L"MorvexVPN.conf", bytes);
  ASSERT_TRUE(path) << path.error().message;
  EXPECT_EQ(*path, folder.path() / L"MorvexVPN.conf");
  EXPECT_EQ(read_file(*path), bytes);

  const auto again = write_private_file(folder.path(), L"MorvexVPN.conf", "other");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message, "Cannot create private VPN configuration.");
  EXPECT_EQ(read_file(*path), bytes);  // never overwritten

  const auto nowhere = write_private_file(folder.path() / L"missing", L"x", "y");
  ASSERT_FALSE(nowhere);
  EXPECT_EQ(nowhere.error().message, "Cannot create private VPN configuration.");
}

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  struct Case {
    std::string line;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {R"("C:\Program Files\WireGuard\wireguard.exe" /tunnelservice "C:\x y\MorvexVPN.conf")",
       {R"(C:\Program Files\WireGuard\wireguard.exe)", "/tunnelservice",
        R"(C:\x y\MorvexVPN.conf)"}},
      {R"(prog a\\"b c" d\e)", {"prog", R"(a\b c)", R"(d\e)"}},
      {"prog \"\xC3\xA9t\xC3\xA9 x\"", {"prog", "\xC3\xA9t\xC3\xA9 x"}},
  };
  for (const auto& c : cases) {
    const auto split = split_command_line(c.line);
    ASSERT_TRUE(split) << c.line;
    EXPECT_EQ(*split, c.arguments) << c.line;
  }
  const auto invalid = split_command_line("prog \xFF");
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error().message, "Cannot inspect VPN service arguments.");
}

TEST(InstallWireguardTunnel, WritesTheConfigurationAndInstallsItsService) {
  TempFolder folder;
  ScriptedRunner runner;
  const auto context = testing::test_context(runner, folder.path() / L"pf");
  TunnelState state(folder.path());
  const auto conf = folder.path() / (context.tunnel_name + L".conf");
  // The manager installs the tunnel service to start with Windows.
  std::optional<testing::TunnelService> service;
  runner.answer = [&](const EngineCommand&) -> Result<std::string> {
    service.emplace(context.tunnel_name, testing::tunnel_service_line(conf));
    return std::string();
  };

  ASSERT_TRUE(install_wireguard_tunnel(state, wireguard_profile(), context));
  EXPECT_EQ(service->start_type(), static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(read_file(conf), wireguard_profile().config);
  ASSERT_EQ(runner.runs.size(), 1u);
  EXPECT_EQ(runner.runs[0].command.program,
            (folder.path() / L"pf" / L"WireGuard\\wireguard.exe").wstring());
  EXPECT_EQ(runner.runs[0].command.arguments,
            (std::vector<std::wstring>{L"/installtunnelservice", conf.wstring()}));
  EXPECT_EQ(runner.runs[0].timeout, 15s);

  // A configuration that is still there is never replaced, and nothing runs.
  const auto again = install_wireguard_tunnel(state, wireguard_profile(), context);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message, "Cannot create private VPN configuration.");
  EXPECT_EQ(runner.runs.size(), 1u);

  std::filesystem::remove(conf);
  runner.answer = [](const EngineCommand&) -> Result<std::string> {
    return fail("The VPN component could not complete the operation.");
  };
  const auto refused = install_wireguard_tunnel(state, wireguard_profile(), context);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "The VPN component could not complete the operation.");
}

// Fills private storage with every file a connection leaves, plus two that a
// teardown must keep.
void fill_storage(const std::filesystem::path& folder, const std::wstring& tunnel) {
  for (const auto& name :
       {tunnel + L".conf", std::wstring(L"openvpn.ovpn"), std::wstring(L"openvpn.auth"),
        std::wstring(L"openvpn.log"), std::wstring(L"status.txt"), std::wstring(L"adapter-tap.id"),
        std::wstring(L"notes.txt")}) {
    write_file(folder / name, "x");
  }
}

void make_active(TunnelState& state) {
  state.active_profile = wireguard_profile();
  state.connected_at = 1'800'000'000'000;
  state.route_checked_at = std::chrono::steady_clock::now();
  state.source_address = "10.2.0.2";
  state.internet_checked_at = std::chrono::steady_clock::now();
  state.public_address = "203.0.113.9";
}

TEST(Teardown, WithoutATunnelServiceDeletesTheConnectionFilesAndForgetsTheTunnel) {
  TempFolder folder;
  ScriptedRunner runner;
  const auto context = testing::test_context(runner, folder.path() / L"pf");
  fill_storage(folder.path(), context.tunnel_name);
  TunnelState state(folder.path());
  make_active(state);

  ASSERT_TRUE(teardown_tunnel(state, context));
  EXPECT_TRUE(runner.runs.empty());
  std::vector<std::wstring> left;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    left.push_back(entry.path().filename().wstring());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::wstring>{L"adapter-tap.id", L"notes.txt"}));
  EXPECT_FALSE(state.active_profile);
  EXPECT_FALSE(state.connected_at);
  EXPECT_FALSE(state.route_checked_at);
  EXPECT_FALSE(state.source_address);
  EXPECT_FALSE(state.internet_checked_at);
  EXPECT_FALSE(state.public_address);

  // Nothing left to do is a success too.
  EXPECT_TRUE(teardown_tunnel(state, context));
}

TEST(Teardown, AFileHeldOpenKeepsTheActiveProfile) {
  TempFolder folder;
  ScriptedRunner runner;
  const auto context = testing::test_context(runner, folder.path() / L"pf");
  fill_storage(folder.path(), context.tunnel_name);
  TunnelState state(folder.path());
  make_active(state);
  {
    const UniqueHandle held(CreateFileW((folder.path() / L"openvpn.log").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
    ASSERT_TRUE(held);
    const auto result = teardown_tunnel(state, context);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "Cannot clear private VPN files.");
    // The profile stays for the retry; what the checks saw of the stopped
    // engines does not.
    EXPECT_TRUE(state.active_profile);
    EXPECT_TRUE(state.engines_stopped);
    EXPECT_FALSE(state.source_address);
    EXPECT_FALSE(state.public_address);
    // Files before the held one are gone, the ones after it stay.
    EXPECT_FALSE(std::filesystem::exists(folder.path() / L"openvpn.auth"));
    EXPECT_TRUE(std::filesystem::exists(folder.path() / L"status.txt"));
  }
  EXPECT_TRUE(teardown_tunnel(state, context));
  EXPECT_FALSE(state.active_profile);
  EXPECT_FALSE(state.engines_stopped);
}

std::wstring replace_all(std::wstring text, const std::wstring& from, const std::wstring& to) {
  for (auto at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

TEST(WireguardProbes, AskTheQueryToolOnlyWhileOurTunnelServiceRuns) {
  TempFolder folder;
  const auto other = folder.path() / L"Other VPN";
  std::filesystem::create_directories(other);
  struct Case {
    const char* what;
    std::optional<std::filesystem::path> folder;  // where the service's configuration lies
    bool running;
    EngineReadiness expected;
  };
  const Case cases[] = {
      {"no tunnel service", std::nullopt, false, EngineReadiness::stopped},
      {"ours, stopped", folder.path(), false, EngineReadiness::stopped},
      {"another program's, running", other, true, EngineReadiness::stopped},
      {"ours, running", folder.path(), true, EngineReadiness::ready},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedRunner runner;
    const auto context = testing::test_context(runner, folder.path() / L"pf", 1'800'000'000);
    runner.answer = [](const EngineCommand& command) -> Result<std::string> {
      if (command.arguments.at(2) == L"latest-handshakes") return "peer\t1799999821\n";
      return "a\t10\t20\nb\t5\t7\n";
    };
    std::optional<testing::TunnelService> service;
    if (c.folder) {
      service.emplace(context.tunnel_name,
                      testing::tunnel_service_line(*c.folder / (context.tunnel_name + L".conf")));
      ASSERT_TRUE(service->created());
      if (c.running) {
        ASSERT_TRUE(service->start());
      }
    }
    const TunnelState state(folder.path());

    const auto readiness = wireguard_readiness(state, context);
    EXPECT_EQ(readiness.state, c.expected);
    const auto traffic = wireguard_traffic(state, context);
    if (c.expected != EngineReadiness::ready) {
      // Whatever tunnel carries the name, it is not ours to report on.
      EXPECT_EQ(traffic, std::nullopt);
      EXPECT_TRUE(runner.runs.empty());
      continue;
    }
    EXPECT_EQ(readiness.adapter,
              std::string(context.tunnel_name.begin(), context.tunnel_name.end()));
    EXPECT_EQ(traffic, (TrafficTotals{15, 27}));
    ASSERT_EQ(runner.runs.size(), 2u);
    for (const auto& run : runner.runs) {
      EXPECT_EQ(run.command.program, (folder.path() / L"pf" / L"WireGuard\\wg.exe").wstring());
      EXPECT_EQ(run.timeout, 3s);
    }
    EXPECT_EQ(runner.runs[0].command.arguments,
              (std::vector<std::wstring>{L"show", context.tunnel_name, L"latest-handshakes"}));
    EXPECT_EQ(runner.runs[1].command.arguments,
              (std::vector<std::wstring>{L"show", context.tunnel_name, L"transfer"}));

    runner.answer = [](const EngineCommand&) -> Result<std::string> {
      return fail("VPN component timed out. Please try again.");
    };
    EXPECT_EQ(wireguard_readiness(state, context).state, EngineReadiness::not_ready);
    EXPECT_EQ(wireguard_traffic(state, context), std::nullopt);
  }
}

TEST(Teardown, RemovesOnlyATunnelServiceThatRunsOurConfiguration) {
  TempFolder folder;
  const auto storage = folder.path() / L"private-runtime";
  std::filesystem::create_directories(storage);
  const std::wstring program = L"\"C:\\Program Files\\WireGuard\\wireguard.exe\" /tunnelservice ";

  struct Case {
    const char* what;
    std::function<std::wstring(const std::wstring&)> spell;  // our path as the service names it
    bool ours;
    // Another program (the Services console) holds the service open: Windows
    // keeps it, deleted and stopped, until that handle closes.
    bool held = false;
  };
  const Case cases[] = {
      {"exact", [](const std::wstring& p) { return p; }, true},
      {"forward slashes", [](const std::wstring& p) { return replace_all(p, L"\\", L"/"); }, true},
      {"doubled separators", [](const std::wstring& p) { return replace_all(p, L"\\", L"\\\\"); },
       true},
      {"lower-case drive",
       [](std::wstring p) {
         p[0] = static_cast<wchar_t>(towlower(p[0]));
         return p;
       },
       true},
      {"directory in another case",
       [](const std::wstring& p) { return replace_all(p, L"private-runtime", L"Private-Runtime"); },
       false},
      {"another file", [](const std::wstring& p) { return p + L".old"; }, false},
      {"held open by another program", [](const std::wstring& p) { return p; }, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedRunner runner;
    const auto context = testing::test_context(runner, folder.path() / L"pf");
    const auto conf = (storage / (context.tunnel_name + L".conf")).wstring();
    testing::TunnelService service(context.tunnel_name, program + L"\"" + c.spell(conf) + L"\"");
    ASSERT_TRUE(service.created());
    // The manager deletes the service, which goes only once nobody holds a
    // handle to it; the teardown then waits for it to be gone.
    bool gone_during_uninstall = false;
    runner.answer = [&](const EngineCommand&) -> Result<std::string> {
      service.remove();
      gone_during_uninstall = !testing::TunnelService::exists(context.tunnel_name);
      return std::string();
    };
    testing::write_file(conf, "x");
    TunnelState state(storage);
    make_active(state);
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const std::wstring name = L"WireGuardTunnel$" + context.tunnel_name;
    UniqueServiceHandle holder(
        c.held ? OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS) : nullptr);

    const auto result = teardown_tunnel(state, context);
    if (c.ours) {
      ASSERT_TRUE(result) << result.error().message;
      ASSERT_EQ(runner.runs.size(), 1u);
      EXPECT_EQ(runner.runs[0].command.program,
                (folder.path() / L"pf" / L"WireGuard\\wireguard.exe").wstring());
      EXPECT_EQ(runner.runs[0].command.arguments,
                (std::vector<std::wstring>{L"/uninstalltunnelservice", context.tunnel_name}));
      // The uninstall and the wait for the tunnel to go share 15 s.
      EXPECT_LE(runner.runs[0].timeout, 15s);
      EXPECT_GT(runner.runs[0].timeout, 14s);
      EXPECT_EQ(gone_during_uninstall, !c.held);
      EXPECT_EQ(testing::TunnelService::exists(context.tunnel_name), c.held);
      EXPECT_FALSE(std::filesystem::exists(conf));
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message,
                "A different VPN owns the Morvex adapter name. Close it before connecting.");
      EXPECT_TRUE(runner.runs.empty());
      EXPECT_TRUE(testing::TunnelService::exists(context.tunnel_name));
      EXPECT_TRUE(std::filesystem::exists(conf));  // files and profile stay
      EXPECT_TRUE(state.active_profile);
      EXPECT_FALSE(state.engines_stopped);
    }
  }
}

TEST(Teardown, AFailedUninstallKeepsFilesAndProfile) {
  TempFolder folder;
  ScriptedRunner runner;
  auto context = testing::test_context(runner, folder.path() / L"pf");
  const auto conf = (folder.path() / (context.tunnel_name + L".conf")).wstring();
  testing::TunnelService service(context.tunnel_name, testing::tunnel_service_line(conf));
  ASSERT_TRUE(service.created());
  testing::write_file(conf, "x");
  runner.answer = [](const EngineCommand&) -> Result<std::string> {
    return fail("VPN component timed out. Please try again.");
  };
  TunnelState state(folder.path());
  make_active(state);

  const auto result = teardown_tunnel(state, context);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "VPN component timed out. Please try again.");
  EXPECT_TRUE(std::filesystem::exists(conf));
  EXPECT_TRUE(state.active_profile);

  // The manager succeeds but the running tunnel does not stop within the wait.
  ASSERT_TRUE(service.start());
  runner.answer = [](const EngineCommand&) -> Result<std::string> { return std::string(); };
  context.tunnel_removal_wait = 300ms;
  const auto waited = teardown_tunnel(state, context);
  ASSERT_FALSE(waited);
  EXPECT_EQ(waited.error().message, "The WireGuard tunnel did not stop in time. Try again.");
  EXPECT_TRUE(std::filesystem::exists(conf));
}

}  // namespace
}  // namespace morvex
