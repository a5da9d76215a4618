// The engines against the simulated engine programs, run through the real
// bounded runner: a WireGuard tunnel service installed, probed and removed,
// and the TAP adapter tool's output taken apart.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "command/runner.hpp"
#include "engines/engine_test_support.hpp"
#include "win32/service_handle.hpp"
#include "windows/engine/openvpn_engine.hpp"
#include "windows/engine/tunnel_state.hpp"
#include "windows/engine/wireguard_engine.hpp"

namespace morvex {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::write_file;

std::optional<std::wstring> service_command_line(const std::wstring& tunnel) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const std::wstring name = L"WireGuardTunnel$" + tunnel;
  const UniqueServiceHandle service(
      OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
  if (!service) return std::nullopt;
  alignas(QUERY_SERVICE_CONFIGW) unsigned char buffer[8192];
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  DWORD needed = 0;
  if (!QueryServiceConfigW(service.get(), config, sizeof(buffer), &needed)) return std::nullopt;
  return std::wstring(config->lpBinaryPathName);
}

struct ProgramsSetup {
  ProgramsSetup() {
    std::filesystem::create_directories(storage);
    testing::install_simulated(L"wireguard", root, L"WireGuard\\wireguard.exe");
    testing::install_simulated(L"wg", root, L"WireGuard\\wg.exe");
    testing::install_simulated(L"tapctl", root, L"OpenVPN\\bin\\tapctl.exe");
    context.unix_seconds = system_unix_seconds;
  }

  TempFolder folder;
  // Spaces in both paths, as under "Program Files".
  std::filesystem::path storage = folder.path() / L"Morvex VPN" / L"private-runtime";
  std::filesystem::path root = folder.path() / L"Program Files";
  BoundedRunner runner;
  EngineContext context = testing::test_context(runner, root);
  TunnelState state{storage};
};

TEST(WireguardTunnel, InstallsProbesAndTearsDownTheTunnelService) {
  ProgramsSetup setup;
  Profile profile;
  profile.protocol = "wireguard";
  profile.config = "[Interface]\nAddress = 10.2.0.2/32\n";

  // Not installed yet: no tunnel runs under the name.
  EXPECT_EQ(wireguard_readiness(setup.state, setup.context).state, EngineReadiness::stopped);

  ASSERT_TRUE(install_wireguard_tunnel(setup.state, profile, setup.context));
  const auto conf = setup.storage / (setup.context.tunnel_name + L".conf");
  const auto command_line = service_command_line(setup.context.tunnel_name);
  ASSERT_TRUE(command_line);
  EXPECT_NE(command_line->find(conf.wstring()), std::wstring::npos);

  const auto ready = wireguard_readiness(setup.state, setup.context);
  EXPECT_EQ(ready.state, EngineReadiness::ready);
  setup.state.active_profile = profile;
  EXPECT_EQ(read_traffic(setup.state, setup.context), (TrafficTotals{1024, 2048}));

  ASSERT_TRUE(teardown_tunnel(setup.state, setup.context));
  EXPECT_FALSE(service_command_line(setup.context.tunnel_name));
  EXPECT_FALSE(std::filesystem::exists(conf));
  EXPECT_FALSE(setup.state.active_profile);
}

TEST(WireguardTunnel, StaleQueryOutputIsIdleAndMalformedIsNotReady) {
  ProgramsSetup setup;
  Profile profile;
  profile.config = "[Interface]\n";
  ASSERT_TRUE(install_wireguard_tunnel(setup.state, profile, setup.context));
  const auto scenario = setup.root / L"WireGuard\\scenario.txt";

  // A handshake long ago: the tunnel may be idle, and only traffic can tell.
  write_file(scenario, "latest_handshakes=peer\\t0\\npeer2\\t1000\\n\ntransfer=peer\\t1\\tx\\n\n");
  EXPECT_EQ(wireguard_readiness(setup.state, setup.context).state, EngineReadiness::idle);
  EXPECT_EQ(wireguard_traffic(setup.state, setup.context), std::nullopt);

  write_file(scenario, "latest_handshakes=\\xff\ntransfer=\n");
  EXPECT_EQ(wireguard_readiness(setup.state, setup.context).state, EngineReadiness::not_ready);
  EXPECT_EQ(wireguard_traffic(setup.state, setup.context), (TrafficTotals{0, 0}));

  ASSERT_TRUE(teardown_tunnel(setup.state, setup.context));
}

TEST(WireguardTunnel, AFailedInstallPassesTheRunnersMessageOn) {
  ProgramsSetup setup;
  write_file(setup.root / L"WireGuard\\scenario.txt", "install=fail\n");
  const auto result = install_wireguard_tunnel(setup.state, Profile{}, setup.context);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "The VPN component could not complete the operation.");
  EXPECT_TRUE(teardown_tunnel(setup.state, setup.context));
}

TEST(TapAdapterTool, RunsOnceAndItsOutputIsCheckedStrictly) {
  {
    ProgramsSetup setup;
    ASSERT_TRUE(ensure_tap_adapter(setup.storage, setup.context));
    ASSERT_TRUE(ensure_tap_adapter(setup.storage, setup.context));
    EXPECT_EQ(read_file(setup.storage / L"adapter-tap.id"),
              "{0123ABCD-89AB-CDEF-0123-456789ABCDEF}");
    const auto runs = read_file(setup.root / L"OpenVPN\\bin\\tapctl-runs.txt");
    EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 1);
    EXPECT_NE(runs.find("create --hwid root\\tap0901 --name MorvexOpenVPN"), std::string::npos);
  }
  {
    // The adapter is there but not its identifier file: the tool refuses the
    // name, and the adapter it lists is taken. A name in another case is not ours.
    ProgramsSetup setup;
    const auto adapters = setup.root / L"OpenVPN\\bin\\tapctl-adapters.txt";
    write_file(adapters,
               "{11111111-89ab-cdef-0123-456789ABCDEF}\tMorvexOpenVPN\troot\\tap0901\r\n");
    ASSERT_TRUE(ensure_tap_adapter(setup.storage, setup.context));
    EXPECT_EQ(read_file(setup.storage / L"adapter-tap.id"),
              "{11111111-89ab-cdef-0123-456789ABCDEF}");
    std::filesystem::remove(setup.storage / L"adapter-tap.id");
    write_file(adapters,
               "{11111111-89ab-cdef-0123-456789ABCDEF}\tmorvexopenvpn\troot\\tap0901\r\n");
    const auto taken = ensure_tap_adapter(setup.storage, setup.context);
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().message,
              "Windows could not create the VPN adapter. If another network adapter is named "
              "MorvexOpenVPN, rename or remove it, then try again.");
  }
  {
    ProgramsSetup setup;
    write_file(setup.root / L"OpenVPN\\bin\\scenario.txt", "tapctl_exit=1\n");
    const auto result = ensure_tap_adapter(setup.storage, setup.context);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "The VPN component could not complete the operation.");
    EXPECT_FALSE(std::filesystem::exists(setup.storage / L"adapter-tap.id"));
  }
}

}  // namespace
}  // namespace morvex
