#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "access_rights.hpp"
#include "engines/engine_test_support.hpp"
#include "win32/local_memory.hpp"
#include "win32/unique_handle.hpp"
#include "windows/engine/openvpn_engine.hpp"
#include "windows/engine/tunnel_state.hpp"
#include "windows/pipe/security_descriptor.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using testing::read_file;
using testing::ScriptedRunner;
using testing::TempFolder;
using testing::write_file;

// What tapctl 2.7 prints for the adapter it made, in text mode.
const std::string good_adapter =
    "{0123ABCD-89ab-cdef-0123-456789ABCDEF}\tMorvexOpenVPN\troot\\tap0901\r\n";

TEST(EnsureTapAdapter, CreatesTheAdapterOnceAndKeepsItsIdentifier) {
  struct Case {
    std::string output;
    std::optional<std::string> failure;
  };
  const Case cases[] = {
      {good_adapter, std::nullopt},
      {"{0123ABCD-89ab-cdef-0123-456789ABCDEF}\tMorvexOpenVPN\troot\\tap0901\tx\n",
       "Windows returned an unexpected VPN adapter."},
      {"0123ABCD-89ab-cdef-0123-456789ABCDEF\tMorvexOpenVPN\troot\\tap0901\n",
       "Windows returned an invalid VPN adapter identifier."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    TempFolder folder;
    ScriptedRunner runner;
    runner.answer = [&c](const EngineCommand&) -> Result<std::string> { return c.output; };
    const auto context = testing::test_context(runner, folder.path() / L"pf");
    const auto result = ensure_tap_adapter(folder.path(), context);
    ASSERT_EQ(runner.runs.size(), 1u);
    EXPECT_EQ(runner.runs[0].command.program,
              (folder.path() / L"pf" / L"OpenVPN\\bin\\tapctl.exe").wstring());
    EXPECT_EQ(runner.runs[0].command.arguments,
              (std::vector<std::wstring>{L"create", L"--hwid", L"root\\tap0901", L"--name",
                                         L"MorvexOpenVPN"}));
    EXPECT_EQ(runner.runs[0].timeout, 15s);
    const auto id_file = folder.path() / L"adapter-tap.id";
    if (c.failure) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message, *c.failure);
      EXPECT_FALSE(std::filesystem::exists(id_file));
    } else {
      ASSERT_TRUE(result) << result.error().message;
      EXPECT_EQ(read_file(id_file), "{0123ABCD-89ab-cdef-0123-456789ABCDEF}");
      // From now on the file alone answers, whatever it holds.
      write_file(id_file, "anything");
      EXPECT_TRUE(ensure_tap_adapter(folder.path(), context));
      EXPECT_EQ(runner.runs.size(), 1u);
      EXPECT_EQ(read_file(id_file), "anything");
    }
  }
}

TEST(EnsureTapAdapter, PassesTheRunnersFailureOn) {
  TempFolder folder;
  ScriptedRunner runner;
  runner.answer = [](const EngineCommand&) -> Result<std::string> {
    return fail("Could not start the VPN component.");
  };
  const auto result =
      ensure_tap_adapter(folder.path(), testing::test_context(runner, folder.path()));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "Could not start the VPN component.");
}

// Private storage and a program-files root with the simulated OpenVPN, whose
// adapter already exists.
struct OpenvpnSetup {
  explicit OpenvpnSetup(const std::string& scenario, bool with_program = true) {
    std::filesystem::create_directories(storage);
    write_file(storage / L"adapter-tap.id", "{0123ABCD-89ab-cdef-0123-456789ABCDEF}");
    if (with_program) {
      testing::install_simulated(L"openvpn", root, L"OpenVPN\\bin\\openvpn.exe");
      write_file(root / L"OpenVPN\\bin\\scenario.txt",
                 "status_interval_ms=100\n" + scenario + "\n");
    }
  }
  Profile profile(const std::string& username, const std::string& password) const {
    Profile p;
    p.protocol = "openvpn";
    p.config = "client\ndev tun\nremote 198.51.100.7 1194 udp\n";
    p.username = username;
    p.password = password;
    return p;
  }
  std::string recorded_command_lines() const {
    return read_file(root / L"OpenVPN\\bin\\openvpn-command-lines.txt");
  }

  TempFolder folder;
  std::filesystem::path storage = folder.path() / L"private-runtime";
  std::filesystem::path root = folder.path() / L"pf";
  ScriptedRunner runner;
  EngineContext context = testing::test_context(runner, root);
  TunnelState state{storage};
};

// Another handle to the recorded OpenVPN process, to watch it after the
// record lets go of its own.
UniqueHandle watch(const TunnelState& state) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), state.openvpn_process.get(), GetCurrentProcess(), &copy,
                  SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
  return UniqueHandle(copy);
}

DWORD exit_code(const UniqueHandle& process) {
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

// A handle to a process that runs for the whole test: this one.
UniqueHandle running_process() {
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                  SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
  return UniqueHandle(self);
}

bool wait_until_ready(const TunnelState& state) {
  for (int i = 0; i < 100; ++i) {
    if (openvpn_readiness(state).state == EngineReadiness::ready) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

std::wstring ascii_wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(OpenvpnEngine, StartsWithTheFixedCommandLineAndLeavesOnTheEvent) {
  OpenvpnSetup setup("openvpn=healthy");
  ASSERT_TRUE(start_openvpn(setup.state, setup.profile("u", "p"), setup.context));
  EXPECT_TRUE(setup.runner.runs.empty());  // the adapter identifier file answered
  EXPECT_EQ(read_file(setup.storage / L"openvpn.auth"), "u\np\n");
  EXPECT_EQ(read_file(setup.storage / L"openvpn.ovpn"), setup.profile("u", "p").config);
  ASSERT_TRUE(setup.state.openvpn_exit_event && setup.state.openvpn_job &&
              setup.state.openvpn_process && setup.state.openvpn_thread);

  ASSERT_TRUE(wait_until_ready(setup.state));
  EXPECT_EQ(openvpn_readiness(setup.state).adapter, "MorvexOpenVPN");
  EXPECT_TRUE(openvpn_traffic(setup.state));

  const auto in_storage = [&](const wchar_t* name) { return (setup.storage / name).wstring(); };
  ASSERT_EQ(in_storage(L"x").find(L' '), std::wstring::npos);  // no quoting in the paths below
  const auto recorded = ascii_wide(setup.recorded_command_lines());
  std::wsmatch event;
  ASSERT_TRUE(std::regex_search(
      recorded, event,
      std::wregex(LR"(--service (Global\\MorvexVPN\.OpenVPN\.Exit\.[0-9A-F]{32}) )")));
  const std::wstring expected =
      L"\"" + (setup.root / L"OpenVPN\\bin\\openvpn.exe").wstring() + L"\" --config " +
      in_storage(L"openvpn.ovpn") + L" --auth-user-pass " + in_storage(L"openvpn.auth") +
      L" --disable-dco --dev-node MorvexOpenVPN --block-outside-dns --service " + event[1].str() +
      L" 0 --verb 3 --status-version 2 --status " + in_storage(L"status.txt") + L" 2 --log " +
      in_storage(L"openvpn.log") + L"\n";
  EXPECT_EQ(recorded, expected);

  const auto process = watch(setup.state);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(teardown_tunnel(setup.state, setup.context));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(exit_code(process), 0u);  // left by itself, not terminated
  EXPECT_FALSE(setup.state.openvpn_exit_event || setup.state.openvpn_job ||
               setup.state.openvpn_process || setup.state.openvpn_thread);
  for (const auto* name : {L"openvpn.ovpn", L"openvpn.auth", L"openvpn.log", L"status.txt"}) {
    EXPECT_FALSE(std::filesystem::exists(setup.storage / name)) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(setup.storage / L"adapter-tap.id"));
}

TEST(OpenvpnEngine, AProcessIgnoringTheEventIsEndedAfterTheWait) {
  OpenvpnSetup setup("openvpn=ignore_exit");
  setup.context.openvpn_exit_wait = 300ms;
  ASSERT_TRUE(start_openvpn(setup.state, setup.profile("alice", "s3cret-pw"), setup.context));
  ASSERT_TRUE(wait_until_ready(setup.state));
  // The credentials travel only in their file.
  EXPECT_EQ(setup.recorded_command_lines().find("s3cret-pw"), std::string::npos);
  EXPECT_EQ(setup.recorded_command_lines().find("alice"), std::string::npos);

  const auto process = watch(setup.state);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(teardown_tunnel(setup.state, setup.context));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(exit_code(process), 1u);  // terminated
}

TEST(OpenvpnEngine, ClosingTheJobEndsTheProcess) {
  OpenvpnSetup setup("openvpn=ignore_exit");
  ASSERT_TRUE(start_openvpn(setup.state, setup.profile("u", "p"), setup.context));
  const auto process = watch(setup.state);
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  setup.state.openvpn_job.reset();
  EXPECT_EQ(WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(teardown_tunnel(setup.state, setup.context));
}

TEST(OpenvpnEngine, AFailedStopLeavesTheRecordAsItWas) {
  // A process handle that cannot be waited on, or cannot end the process.
  const struct {
    DWORD access;
    const char* message;
  } cases[] = {
      {PROCESS_QUERY_LIMITED_INFORMATION, "Cannot check OpenVPN shutdown."},
      {SYNCHRONIZE, "OpenVPN could not stop."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    OpenvpnSetup setup("openvpn=ignore_exit");
    setup.context.openvpn_exit_wait = 0ms;
    ASSERT_TRUE(start_openvpn(setup.state, setup.profile("u", "p"), setup.context));
    setup.state.active_profile = setup.profile("u", "p");
    HANDLE restricted = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), setup.state.openvpn_process.get(),
                                GetCurrentProcess(), &restricted, c.access, FALSE, 0));
    UniqueHandle full(setup.state.openvpn_process.release());
    setup.state.openvpn_process.reset(restricted);
    if (c.access == PROCESS_QUERY_LIMITED_INFORMATION) {
      // A process that cannot be asked counts as stopped.
      EXPECT_EQ(openvpn_readiness(setup.state).state, EngineReadiness::stopped);
    }

    const auto result = teardown_tunnel(setup.state, setup.context);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, c.message);
    EXPECT_TRUE(setup.state.openvpn_exit_event && setup.state.openvpn_job &&
                setup.state.openvpn_process && setup.state.openvpn_thread);
    EXPECT_TRUE(setup.state.active_profile);
    EXPECT_TRUE(std::filesystem::exists(setup.storage / L"openvpn.auth"));
    EXPECT_EQ(WaitForSingleObject(full.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    setup.state.openvpn_process = std::move(full);
    EXPECT_TRUE(teardown_tunnel(setup.state, setup.context));
  }
}

TEST(OpenvpnEngine, ReadinessFollowsTheProcessAndItsLog) {
  {
    OpenvpnSetup setup("openvpn=exit");
    ASSERT_TRUE(start_openvpn(setup.state, setup.profile("u", "p"), setup.context));
    EXPECT_EQ(WaitForSingleObject(watch(setup.state).get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(openvpn_readiness(setup.state).state, EngineReadiness::stopped);
    EXPECT_TRUE(teardown_tunnel(setup.state, setup.context));
  }
  // A completion followed by a restart pause, or one "With Errors": not ready.
  for (const char* scenario : {"openvpn=restart", "openvpn=with_errors"}) {
    OpenvpnSetup setup(scenario);
    ASSERT_TRUE(start_openvpn(setup.state, setup.profile("u", "p"), setup.context));
    for (int i = 0; i < 100 && !std::filesystem::exists(setup.storage / L"status.txt"); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_NE(read_file(setup.storage / L"openvpn.log").find("Completed"), std::string::npos);
    EXPECT_EQ(openvpn_readiness(setup.state).state, EngineReadiness::not_ready);
    EXPECT_TRUE(teardown_tunnel(setup.state, setup.context));
  }
  {
    // Without a process the log is a leftover: stopped, whatever it says.
    OpenvpnSetup setup("", false);
    write_file(setup.storage / L"openvpn.log", "Initialization Sequence Completed\n");
    EXPECT_EQ(openvpn_readiness(setup.state).state, EngineReadiness::stopped);
    // With a running process (this one) the log decides, Latin-1 and all.
    setup.state.openvpn_process = running_process();
    write_file(setup.storage / L"openvpn.log",
               "AUTH: Received control message: 'Bienvenue \xE0 bord'\n"
               "Initialization Sequence Completed\n");
    EXPECT_EQ(openvpn_readiness(setup.state).state, EngineReadiness::ready);
    std::filesystem::remove(setup.storage / L"openvpn.log");
    EXPECT_EQ(openvpn_readiness(setup.state).state, EngineReadiness::not_ready);
  }
}

TEST(OpenvpnEngine, AMissingProgramLeavesItsFilesForTheTeardown) {
  OpenvpnSetup setup("", false);
  const auto result = start_openvpn(setup.state, setup.profile("u", "p"), setup.context);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "Could not start OpenVPN. Repair the Morvex VPN installation.");
  EXPECT_TRUE(std::filesystem::exists(setup.storage / L"openvpn.auth"));
  EXPECT_TRUE(setup.state.openvpn_exit_event);
  EXPECT_FALSE(setup.state.openvpn_process);

  // A start over leftovers refuses to overwrite them.
  const auto again = start_openvpn(setup.state, setup.profile("u", "p"), setup.context);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message, "Cannot create private VPN configuration.");

  ASSERT_TRUE(teardown_tunnel(setup.state, setup.context));
  EXPECT_FALSE(std::filesystem::exists(setup.storage / L"openvpn.auth"));
  EXPECT_FALSE(setup.state.openvpn_exit_event);
}

// What each principal may do with an event, from the access list read back
// from the live object, generic rights mapped as Windows maps them for events
// ("Synchronization Object Security and Access Rights").
std::map<std::string, ACCESS_MASK> event_rights(HANDLE event, bool& is_protected) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                      nullptr, &raw) != ERROR_SUCCESS) {
    return {};
  }
  const UniqueLocal<void> descriptor(raw);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(raw, &control, &revision);
  is_protected = (control & SE_DACL_PROTECTED) != 0;
  constexpr ACCESS_MASK event_query_state = 0x0001;  // not in every SDK's headers
  GENERIC_MAPPING mapping{STANDARD_RIGHTS_READ | event_query_state,
                          STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                          STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS};
  return morvex::testing::rights_by_principal(dacl, mapping);
}

TEST(OpenvpnEngine, TheExitEventIsOursAloneAndNeverTakenFromAnotherOwner) {
  const struct {
    const char* what;
    const wchar_t* squatter;  // the owner and access list of an event made first, if any
    bool starts;
  } cases[] = {
      {"no event of that name", nullptr, true},
      {"our own account's event left signalled", L"D:(A;;GA;;;WD)", true},
      {"another owner's event left signalled", L"O:WDD:(A;;GA;;;WD)", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OpenvpnSetup setup("openvpn=healthy");
    const auto name = L"Global\\" + testing::unique_name(L"MorvexVPNTest") + L".Drawn";
    setup.context.openvpn_exit_event_name = [name] { return Result<std::wstring>(name); };
    // Made before the start by another program, signalled and held open. Wine
    // lets this test name any owner; on Windows another account can only
    // name itself.
    UniqueHandle squatter;
    if (c.squatter != nullptr) {
      const auto descriptor = security_descriptor_from_sddl(c.squatter);
      ASSERT_TRUE(descriptor);
      SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor->get(), FALSE};
      squatter.reset(CreateEventW(&attributes, TRUE, TRUE, name.c_str()));
      ASSERT_TRUE(squatter);
    }
    const auto result = start_openvpn(setup.state, setup.profile("u", "p"), setup.context);
    if (!c.starts) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message, "Cannot prepare VPN shutdown handling.");
      EXPECT_FALSE(setup.state.openvpn_exit_event || setup.state.openvpn_process);
      EXPECT_FALSE(
          std::filesystem::exists(setup.root / L"OpenVPN\\bin\\openvpn-command-lines.txt"));
      // The other program's event is left as it was.
      EXPECT_EQ(WaitForSingleObject(squatter.get(), 0), WAIT_OBJECT_0);
      EXPECT_TRUE(teardown_tunnel(setup.state, setup.context));
      continue;
    }
    ASSERT_TRUE(result) << result.error().message;
    // A signal left on the event does not end the new OpenVPN: it runs and
    // comes up.
    ASSERT_TRUE(wait_until_ready(setup.state));
    EXPECT_EQ(WaitForSingleObject(setup.state.openvpn_process.get(), 0),
              static_cast<DWORD>(WAIT_TIMEOUT));
    if (!squatter) {
      bool is_protected = false;
      const auto rights = event_rights(setup.state.openvpn_exit_event.get(), is_protected);
      EXPECT_TRUE(is_protected);
      EXPECT_EQ(rights, (std::map<std::string, ACCESS_MASK>{{"S-1-5-18", EVENT_ALL_ACCESS},
                                                            {"S-1-5-32-544", EVENT_ALL_ACCESS}}));
    }
    const auto process = watch(setup.state);
    ASSERT_TRUE(teardown_tunnel(setup.state, setup.context));
    EXPECT_EQ(exit_code(process), 0u);  // still leaves on the event
  }
}

TEST(ReadTraffic, AsksTheEngineOfTheActiveProfile) {
  OpenvpnSetup setup("", false);
  write_file(setup.storage / L"status.txt", "TUN/TAP write bytes,100\nTUN/TAP read bytes,200\n");
  setup.runner.answer = [](const EngineCommand&) -> Result<std::string> { return "k\t1\t2\n"; };

  EXPECT_EQ(read_traffic(setup.state, setup.context), std::nullopt);
  EXPECT_TRUE(setup.runner.runs.empty());

  setup.state.active_profile = setup.profile("u", "p");
  // A status file that no running OpenVPN writes holds stale totals.
  EXPECT_EQ(read_traffic(setup.state, setup.context), std::nullopt);
  setup.state.openvpn_process = running_process();
  EXPECT_EQ(read_traffic(setup.state, setup.context), (TrafficTotals{100, 200}));
  EXPECT_TRUE(setup.runner.runs.empty());

  setup.state.active_profile->protocol = "wireguard";
  // Only while our tunnel service runs.
  EXPECT_EQ(read_traffic(setup.state, setup.context), std::nullopt);
  EXPECT_TRUE(setup.runner.runs.empty());
  testing::TunnelService service(
      setup.context.tunnel_name,
      testing::tunnel_service_line(setup.storage / (setup.context.tunnel_name + L".conf")));
  ASSERT_TRUE(service.created() && service.start());
  EXPECT_EQ(read_traffic(setup.state, setup.context), (TrafficTotals{1, 2}));
  ASSERT_EQ(setup.runner.runs.size(), 1u);
  EXPECT_EQ(setup.runner.runs[0].command.arguments.at(2), L"transfer");

  setup.state.active_profile->protocol = "WireGuard";  // exact match only
  EXPECT_EQ(read_traffic(setup.state, setup.context), (TrafficTotals{100, 200}));

  // Once a teardown has stopped the engines, neither is asked.
  setup.state.engines_stopped = true;
  for (const char* protocol : {"openvpn", "wireguard"}) {
    setup.state.active_profile->protocol = protocol;
    EXPECT_EQ(read_traffic(setup.state, setup.context), std::nullopt) << protocol;
  }
  EXPECT_EQ(setup.runner.runs.size(), 1u);
}

}  // namespace
}  // namespace morvex
