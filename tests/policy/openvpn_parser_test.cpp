// The sanitiser's output read by OpenVPN's own option parser. Every profile
// the sanitiser accepts (the accepted unit samples and the committed fuzz
// corpus) goes through `openvpn`, which parses it, applies its option checks
// and prints its effective settings. Each must either be refused by those
// checks (the engine would not start: fail closed) or show no script of any
// kind, route_nopull disabled, exactly the pull filters the profile names in
// their order (the enforced ones among them) and the forced IPv6 settings.
// The realistic samples must be accepted.
//
// Checked against the Linux build of OpenVPN 2.6 (Debian 12); the Windows
// engine is 2.7. Its parser reads the same directives, but the Windows-only
// options the engine adds on its command line (--block-outside-dns,
// --dev-node, --service) are not checked here, and options newer than 2.6
// that a 2.7 server may push are left to the fixed pull filters and the
// protection check.
//
// Nothing reaches the network and no device is made: each remote host is
// rewritten to 127.0.0.1 (and remote-random-hostname, which would turn it
// into a name to look up, is left out), --dev null replaces the device, the
// run is in a network namespace of its own where that is allowed, and a
// placeholder CA makes OpenVPN stop with a fatal error when it sets up TLS,
// before it opens a socket. Every run is bounded in time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "policy/openvpn_profile.hpp"
#include "policy/openvpn_profile_samples.hpp"

extern char** environ;

namespace morvex {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Run {
  bool started = false;
  int status = -1;
  std::string output;
};

// Runs a program with standard output and error into one pipe, for at most
// `limit`; then it is killed.
Run run_program(const std::vector<std::string>& arguments, std::chrono::seconds limit) {
  Run run;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (spawned != 0) {
    close(ends[0]);
    return run;
  }
  run.started = true;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd ready{ends[0], POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(ends[0], buffer, sizeof(buffer));
    if (got <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(ends[0]);
  kill(pid, SIGKILL);
  waitpid(pid, &run.status, 0);
  return run;
}

std::string openvpn_program() {
  for (const char* path : {"/usr/sbin/openvpn", "/usr/bin/openvpn", "/usr/local/sbin/openvpn"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return {};
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::istringstream stream{std::string(text)};
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The sanitised profile with every remote host on loopback.
std::string on_loopback(const std::string& profile) {
  std::string result;
  bool in_block = false;
  for (const auto& line : lines_of(profile)) {
    if (in_block) {
      in_block = !line.starts_with("</");
    } else if (line.starts_with("<")) {
      in_block = true;
    } else if (line == "remote-random-hostname") {
      continue;
    } else if (line.starts_with("remote ")) {
      const auto host_end = line.find(' ', 7);
      result += "remote 127.0.0.1" +
                (host_end == std::string::npos ? std::string() : line.substr(host_end)) + "\n";
      continue;
    }
    result += line + "\n";
  }
  return result;
}

class OpenvpnParser : public ::testing::Test {
 protected:
  void SetUp() override {
    program = openvpn_program();
    if (program.empty()) {
      GTEST_SKIP() << "openvpn is not installed (scripts/setup.sh installs it): the policy is not "
                      "checked against its parser";
    }
    folder = fs::temp_directory_path() / ("morvex-openvpn-" + std::to_string(getpid()));
    fs::create_directories(folder);
    std::ofstream(folder / "auth") << "user\npassword\n";
    fs::permissions(folder / "auth", fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(folder / "ca.pem") << "placeholder\n";
    isolated = run_program({"unshare", "--net", "true"}, std::chrono::seconds(5)).status == 0;
    static bool told = false;
    if (!told) {
      const auto version = run_program({program, "--version"}, std::chrono::seconds(5));
      std::printf("checked against %s%s\n", lines_of(version.output).front().c_str(),
                  isolated ? "" : " (no network namespace allowed here)");
      told = true;
    }
  }
  void TearDown() override {
    if (!folder.empty()) fs::remove_all(folder);
  }

  // Runs the sanitised profile through OpenVPN and judges what it printed.
  void check(const std::string& name, const std::string& sanitised, bool must_be_accepted) {
    SCOPED_TRACE(name);
    std::ofstream(folder / "profile.ovpn", std::ios::trunc) << on_loopback(sanitised);
    std::vector<std::string> command;
    if (isolated) command = {"unshare", "--net", "--"};
    for (const std::string& argument :
         {program, std::string("--config"), (folder / "profile.ovpn").string(),
          std::string("--dev"), std::string("null"), std::string("--verb"), std::string("4"),
          std::string("--suppress-timestamps"), std::string("--ca"), (folder / "ca.pem").string(),
          std::string("--auth-user-pass"), (folder / "auth").string()}) {
      command.push_back(argument);
    }
    const auto run = run_program(command, std::chrono::seconds(10));
    ASSERT_TRUE(run.started);
    const auto output = lines_of(run.output);
    const bool refused = run.output.find("Options error:") != std::string::npos;
    if (refused) {
      EXPECT_FALSE(must_be_accepted) << run.output;
      EXPECT_EQ(run.output.find("Current Parameter Settings"), std::string::npos);
      return;
    }
    // It stopped at the placeholder CA, before any socket was made.
    EXPECT_NE(run.output.find("Cannot load CA certificate file"), std::string::npos) << run.output;
    for (const char* socket_line : {"link local", "link remote", "Attempting to establish"}) {
      EXPECT_EQ(run.output.find(socket_line), std::string::npos) << socket_line;
    }

    std::vector<std::string> filters;
    bool in_filters = false;
    for (const auto& line : output) {
      if (line == "  Pull filters:") {
        in_filters = true;
        continue;
      }
      if (in_filters && line.starts_with("    ")) {
        filters.push_back(line.substr(4));
        continue;
      }
      in_filters = false;
      const auto equals = line.find(" = ");
      if (!line.starts_with("  ") || equals == std::string::npos) continue;
      const auto key = line.substr(2, equals - 2);
      const auto value = line.substr(equals + 3);
      if (key.ends_with("_script") || key == "ipchange" || key == "tls_verify") {
        EXPECT_EQ(value, "'[UNDEF]'") << key;
      }
      EXPECT_FALSE(key.starts_with("plugin")) << line;
      if (key == "route_nopull") {
        EXPECT_EQ(value, "DISABLED");
      }
    }
    std::vector<std::string> named;
    for (const auto& line : lines_of(sanitised)) {
      if (line.starts_with("pull-filter ")) named.push_back(line.substr(12));
    }
    EXPECT_EQ(filters, named);
    const std::vector<std::string> enforced = {R"(ignore "ifconfig-ipv6")",
                                               R"(ignore "redirect-gateway")", R"(ignore "route ")",
                                               R"(ignore "route-ipv6 ")"};
    std::size_t next = 0;
    for (const auto& filter : filters) {
      if (next < enforced.size() && filter == enforced[next]) ++next;
    }
    EXPECT_EQ(next, enforced.size());
    for (const char* setting :
         {"  ifconfig_ipv6_local = 'fd15:53b6:dead::2'", "  ifconfig_ipv6_netbits = 64",
          "  ifconfig_ipv6_remote = 'fd15:53b6:dead::1'", "  route_nopull = DISABLED",
          "  [redirect_default_gateway local=0]"}) {
      EXPECT_NE(std::find(output.begin(), output.end(), setting), output.end()) << setting;
    }
  }

  std::string program;
  fs::path folder;
  bool isolated = false;
};

const std::vector<std::string_view> no_provider;
const std::vector<std::string_view> quad9 = {"9.9.9.9", "149.112.112.112"};
const std::vector<std::string_view> cloudflare = {"1.1.1.1", "1.0.0.1"};

TEST_F(OpenvpnParser, AcceptsTheSamplesAsSanitised) {
  struct Sample {
    std::string name;
    std::string text;
    const std::vector<std::string_view>& dns;
    bool realistic;
  };
  // The own-lines sample names `tls-client` without `client` and a TCP
  // remote: OpenVPN refuses "--proto tcp" as ambiguous without the client
  // mode. That fails closed; a back end sends `client`.
  std::vector<Sample> samples = {
      {"minimal", testing::openvpn_minimal, no_provider, true},
      {"minimal with quad9", testing::openvpn_minimal, quad9, true},
      {"own lines", testing::openvpn_own_lines, no_provider, false},
      {"own lines with cloudflare", testing::openvpn_own_lines, cloudflare, false},
      {"ca block", testing::openvpn_minimal + testing::openvpn_ca_block, no_provider, true},
  };
  for (const auto& added : testing::openvpn_accepted_additions) {
    samples.push_back(
        {added.substr(0, 24), testing::openvpn_minimal + added + "\n", no_provider, true});
  }
  for (const auto& sample : samples) {
    const auto sanitised = sanitize_openvpn_profile(sample.text, sample.dns);
    ASSERT_TRUE(sanitised) << sample.name;
    check(sample.name, *sanitised, sample.realistic);
  }
}

TEST_F(OpenvpnParser, RefusesOrKeepsThePolicyForEveryAcceptedCorpusProfile) {
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(MORVEX_OPENVPN_CORPUS)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (bytes.empty()) continue;
    // The fuzz target's reading: the first byte picks the provider.
    const auto& dns = bytes[0] % 3 == 1 ? quad9 : bytes[0] % 3 == 2 ? cloudflare : no_provider;
    const auto sanitised = sanitize_openvpn_profile(bytes.substr(1), dns);
    if (!sanitised) continue;
    check(entry.path().filename().string(), *sanitised, false);
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace morvex
