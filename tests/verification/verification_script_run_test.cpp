// Runs the embedded verification script in real PowerShell, started with the
// service's own arguments and fed the service's own input, against a machine
// simulated by stand-in network cmdlets that PowerShell finds through
// PSModulePath. The script text runs as the service embeds it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "command/runner.hpp"
#include "windows/engine/verification/verification_script.hpp"
#include "windows/engine/verification/verification_text.hpp"

extern char** environ;

namespace morvex {
namespace {

using nlohmann::json;

struct ChildResult {
  int exit_code = -1;
  std::string output;
  std::string error;
};

std::string narrow_ascii(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) {
    EXPECT_LT(static_cast<unsigned>(c), 0x80u) << "non-ASCII character in an argument";
    narrow.push_back(static_cast<char>(c));
  }
  return narrow;
}

// Starts the command with `input` on standard input and the service's
// environment overrides plus `extra` on top of this process's environment,
// and collects both output streams. A child still running after a minute is
// killed, so a hanging script fails the test instead of stalling it.
ChildResult run_child(const EngineCommand& command, const std::string& input,
                      const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::pair<std::string, std::string>> overrides = extra;
  for (const auto& [name, value] : command.environment_overrides) {
    overrides.emplace_back(narrow_ascii(name), narrow_ascii(value));
  }
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const auto& pair) {
      return text.starts_with(pair.first + "=");
    });
    if (!replaced) environment.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) environment.push_back(name + "=" + value);

  std::vector<std::string> arguments{narrow_ascii(command.program)};
  for (const auto& argument : command.arguments) arguments.push_back(narrow_ascii(argument));

  const auto pointers = [](std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (auto& text : texts) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
  };
  auto argv = pointers(arguments);
  auto envp = pointers(environment);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  ChildResult result;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << arguments[0] << ": " << std::strerror(spawned);
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return result;
  }

  // The input is far smaller than a pipe's buffer, so it is written at once.
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(in[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.output, &result.error};
  int open_streams = 2;
  while (open_streams > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(streams, 2, 250) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(streams[i].fd);
        streams[i].fd = -1;
        --open_streams;
      }
    }
  }
  if (open_streams > 0) {
    ADD_FAILURE() << "PowerShell did not finish within a minute";
    kill(pid, SIGKILL);
  }
  for (const auto& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Find-NetRoute's answer for an address reached through interface `index`:
// the local address it leaves from, then the route itself.
json route_through(std::uint32_t index, const std::string& source) {
  return json::array({{{"InterfaceIndex", index}, {"IPAddress", source}},
                      {{"InterfaceIndex", index}, {"DestinationPrefix", "0.0.0.0/1"}}});
}

constexpr std::uint32_t vpn_index = 12;
constexpr std::uint32_t ethernet_index = 3;

// Moves the VPN adapter, its DNS entries and its routes to another interface
// index.
void move_vpn_index(json& value, std::uint32_t index) {
  if (value.is_object()) {
    for (auto& [key, member] : value.items()) {
      if ((key == "ifIndex" || key == "InterfaceIndex") && member == vpn_index) {
        member = index;
      } else {
        move_vpn_index(member, index);
      }
    }
  } else if (value.is_array()) {
    for (auto& element : value) move_vpn_index(element, index);
  }
}

// Windows lists these in the IPv6 entry of an adapter without any DNS server.
constexpr const char* site_local_dns_defaults[] = {"fec0:0:0:ffff::1", "fec0:0:0:ffff::2",
                                                   "fec0:0:0:ffff::3"};

// A protected machine: the VPN adapter carries the two servers of the
// profile, no DNS policy applies, and every checked address (IPv6 included)
// is routed through the adapter, leaving from 10.64.0.2.
json protected_machine(const std::string& adapter) {
  json machine;
  machine["adapters"] =
      json::array({{{"Name", "Ethernet"}, {"Status", "Up"}, {"ifIndex", ethernet_index}},
                   {{"Name", adapter}, {"Status", "Up"}, {"ifIndex", vpn_index}}});
  machine["dnsServers"] = json::array(
      {{{"InterfaceIndex", vpn_index},
        {"AddressFamily", 2},
        {"ServerAddresses", {"9.9.9.9", "149.112.112.112"}}},
       {{"InterfaceIndex", vpn_index}, {"AddressFamily", 23}, {"ServerAddresses", json::array()}}});
  machine["nrptRules"] = json::array();
  for (const char* address : {"1.1.1.1", "1.0.0.1", "9.9.9.9", "149.112.112.112"}) {
    machine["routes"][address] = route_through(vpn_index, "10.64.0.2");
  }
  machine["routes"]["2606:4700:4700::1111"] = route_through(vpn_index, "fd00::2");
  return machine;
}

constexpr std::string_view wireguard_profile =
    "[Interface]\nAddress = 10.64.0.2/32\nDNS = 9.9.9.9, 149.112.112.112\n\n[Peer]\n"
    "AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 203.0.113.1:51820\n";
constexpr std::string_view openvpn_profile =
    "client\ndev tun\nremote 203.0.113.1 1194\ndhcp-option DNS 9.9.9.9\n"
    "dhcp-option DNS 149.112.112.112\n";
// Provider "server": the DNS servers come from the VPN server, so the profile
// names none.
constexpr std::string_view openvpn_server_dns_profile =
    "client\ndev tun\nremote 203.0.113.1 1194\n";

constexpr std::string_view verified = R"({"source":"10.64.0.2","destination":"1.1.1.1"})";
constexpr std::string_view not_verified = "VPN routes or DNS could not be verified.\n";

struct Scenario {
  std::string name;
  std::string adapter;
  std::string_view profile;
  // The exact standard output on success; none when the script must refuse:
  // nothing on standard output, the one fixed line on standard error and
  // exit code 1.
  std::optional<std::string_view> output;
  // How the machine differs from a protected one.
  std::function<void(json&)> change = [](json&) {};
  // Input other than the service's, when set.
  std::optional<std::string> raw_input = std::nullopt;
};

// Names the scenario in test output instead of dumping its bytes.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

constexpr std::optional<std::string_view> refused = std::nullopt;

const Scenario scenarios[] = {
    {"WireGuardProtected", "MorvexVPN", wireguard_profile, verified},
    {"OpenVpnProtected", "MorvexOpenVPN", openvpn_profile, verified},
    {"ServerDnsWithAnEmptyList", "MorvexOpenVPN", openvpn_server_dns_profile, verified,
     [](json& m) {
       m["dnsServers"][0]["ServerAddresses"] = {"10.8.0.1"};
       m["routes"]["10.8.0.1"] = route_through(vpn_index, "10.64.0.2");
     }},
    {"DnsOfAnotherProvider", "MorvexVPN", wireguard_profile, refused,
     [](json& m) {
       m["dnsServers"][0]["ServerAddresses"] = {"9.9.9.9", "8.8.8.8"};
     }},
    {"NoDnsOnTheAdapter", "MorvexOpenVPN", openvpn_server_dns_profile, refused,
     [](json& m) { m["dnsServers"][0]["ServerAddresses"] = json::array(); }},
    // The site-local defaults that Windows lists instead are no servers, even
    // where an IPv6 default route takes them into the tunnel.
    {"NoDnsWhereTheSiteLocalDefaultsRouteIntoTheTunnel", "MorvexOpenVPN",
     openvpn_server_dns_profile, refused,
     [](json& m) {
       m["dnsServers"][0]["ServerAddresses"] = json::array();
       for (const char* address : site_local_dns_defaults) {
         m["routes"][address] = route_through(vpn_index, "fd00::2");
       }
     }},
    {"DnsPolicyPointingAtTheAdapterServers", "MorvexVPN", wireguard_profile, verified,
     [](json& m) {
       m["nrptRules"] = {{{"Namespace", "."}, {"NameServers", {"149.112.112.112", "9.9.9.9"}}}};
     }},
    {"DnsPolicyOverride", "MorvexVPN", wireguard_profile, refused,
     [](json& m) {
       m["nrptRules"] = {{{"Namespace", ".corp"}, {"NameServers", {"9.9.9.9", "10.1.1.1"}}}};
     }},
    {"DnsPolicyExemptionRule", "MorvexVPN", wireguard_profile, refused,
     [](json& m) {
       m["nrptRules"] = {{{"Namespace", ".corp"}, {"NameServers", json::array()}}};
     }},
    {"TestAddressRoutedElsewhere", "MorvexVPN", wireguard_profile, refused,
     [](json& m) { m["routes"]["1.0.0.1"] = route_through(ethernet_index, "192.168.1.5"); }},
    {"DnsServerRoutedElsewhere", "MorvexOpenVPN", openvpn_profile, refused,
     [](json& m) {
       m["routes"]["149.112.112.112"] = route_through(ethernet_index, "192.168.1.5");
     }},
    {"SingleRouteEntry", "MorvexVPN", wireguard_profile, refused,
     [](json& m) { m["routes"]["1.1.1.1"].erase(1); }},
    {"NoIpv6Route", "MorvexVPN", wireguard_profile, verified,
     [](json& m) { m["routes"].erase("2606:4700:4700::1111"); }},
    {"Ipv6LookupFailsTerminating", "MorvexVPN", wireguard_profile, verified,
     [](json& m) { m["failingRoutes"] = {"2606:4700:4700::1111"}; }},
    {"Ipv4LookupFailsTerminating", "MorvexVPN", wireguard_profile, refused,
     [](json& m) { m["failingRoutes"] = {"1.0.0.1"}; }},
    {"Ipv6RoutedElsewhere", "MorvexVPN", wireguard_profile, refused,
     [](json& m) {
       m["routes"]["2606:4700:4700::1111"] = route_through(ethernet_index, "2001:db8::5");
     }},
    {"Ipv6Source", "MorvexVPN", wireguard_profile, refused,
     [](json& m) { m["routes"]["1.1.1.1"] = route_through(vpn_index, "fd00::2"); }},
    {"AdapterDown", "MorvexOpenVPN", openvpn_profile, refused,
     [](json& m) { m["adapters"][1]["Status"] = "Disconnected"; }},
    {"AdapterMissing", "MorvexVPN", wireguard_profile, refused,
     [](json& m) { m["adapters"].erase(1); }},
    // Windows finds adapter names without regard to case; the script's own
    // check of the name it is given does not.
    {"AdapterNamedInOtherCase", "MorvexVPN", wireguard_profile, verified,
     [](json& m) { m["adapters"][1]["Name"] = "MORVEXVPN"; }},
    {"InputNamesTheAdapterInOtherCase", "MorvexVPN", wireguard_profile, refused, [](json&) {},
     R"({"adapter":"morvexvpn","dns":["9.9.9.9","149.112.112.112"]})"},
    {"InterfaceIndexAboveTheSignedRange", "MorvexOpenVPN", openvpn_profile, verified,
     [](json& m) { move_vpn_index(m, 3000000000u); }},
    {"InputNotJson", "MorvexVPN", wireguard_profile, refused, [](json&) {}, "MorvexVPN 9.9.9.9"},
};

class VerificationScriptRun : public ::testing::TestWithParam<Scenario> {};

TEST_P(VerificationScriptRun, AnswersAsTheServiceExpects) {
  const Scenario& scenario = GetParam();
  json machine = protected_machine(scenario.adapter);
  scenario.change(machine);

  EngineCommand command = engine_command(
      std::wstring(MORVEX_PWSH_PATH, MORVEX_PWSH_PATH + std::strlen(MORVEX_PWSH_PATH)));
  command.arguments = powershell_arguments();
  const std::string input = scenario.raw_input.value_or(
      script_input(scenario.adapter, expected_dns_servers(scenario.profile)));
  const ChildResult result = run_child(command, input,
                                       {{"PSModulePath", MORVEX_SIMULATED_NETWORK_MODULES},
                                        {"MORVEX_SIMULATED_NETWORK", machine.dump()},
                                        {"POWERSHELL_TELEMETRY_OPTOUT", "1"},
                                        {"POWERSHELL_UPDATECHECK", "Off"},
                                        {"DOTNET_CLI_TELEMETRY_OPTOUT", "1"},
                                        // Windows PowerShell never colours error text.
                                        {"NO_COLOR", "1"}});

  if (scenario.output) {
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, std::string(*scenario.output) + "\n");
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(script_source_address(result.output), "10.64.0.2");
  } else {
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.error, not_verified);
    EXPECT_EQ(script_source_address(result.output), std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(Machines, VerificationScriptRun, ::testing::ValuesIn(scenarios),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace morvex
