#include "windows/engine/openvpn_engine.hpp"

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "command/runner_text.hpp"
#include "win32/unique_handle.hpp"
#include "windows/engine/engine_locations.hpp"
#include "windows/engine/openvpn_exit_event.hpp"
#include "windows/engine/portable/engine_text.hpp"
#include "windows/engine/portable/openvpn_output.hpp"
#include "windows/engine/portable/tap_adapter_output.hpp"
#include "windows/engine/private_files.hpp"
#include "windows/service/process_supervision.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;

constexpr auto adapter_timeout = 15s;
constexpr DWORD reap_wait_ms = 5000;
// OpenVPN's log is deleted by every teardown and holds one connection's
// output; a file beyond these sizes is not one that OpenVPN wrote for us.
constexpr std::size_t log_limit = 64u << 20;
constexpr std::size_t status_limit = 1u << 20;

std::filesystem::path in_directory(const TunnelState& state, std::wstring_view name) {
  return state.directory / std::filesystem::path(std::wstring(name));
}

// Clears a copy of the credentials once it has been written.
void wipe(std::string& secret) {
  if (!secret.empty()) SecureZeroMemory(secret.data(), secret.size());
  secret.clear();
}

struct ProcessHandles {
  UniqueHandle process;
  UniqueHandle thread;
};

// Starts OpenVPN suspended, with every standard handle on the null device and
// no other handle inherited. Nothing when it cannot be started.
std::optional<ProcessHandles> create_openvpn_process(const EngineCommand& command) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueHandle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
  UniqueHandle null_out(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!null_in || !null_out) return std::nullopt;

  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_storage(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &list_size)) return std::nullopt;
  const std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, decltype(&DeleteProcThreadAttributeList)>
      list_owner(list, DeleteProcThreadAttributeList);
  HANDLE inherited[] = {null_in.get(), null_out.get()};
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                 sizeof(inherited), nullptr, nullptr)) {
    return std::nullopt;
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_in.get();
  startup.StartupInfo.hStdOutput = null_out.get();
  startup.StartupInfo.hStdError = null_out.get();
  startup.lpAttributeList = list;

  std::vector<std::wstring> current;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    current = split_environment_block(block);
    FreeEnvironmentStringsW(block);
  }
  std::wstring environment = environment_block(current, command.environment_overrides);
  std::wstring line = command_line(command);

  PROCESS_INFORMATION created{};
  const DWORD flags = command.creation_flags | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                      EXTENDED_STARTUPINFO_PRESENT;
  if (!CreateProcessW(command.program.c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                      environment.data(), nullptr, &startup.StartupInfo, &created)) {
    return std::nullopt;
  }
  return ProcessHandles{UniqueHandle(created.hProcess), UniqueHandle(created.hThread)};
}

// Whether an OpenVPN process is recorded and still runs; a process that
// cannot be asked counts as ended.
bool openvpn_running(const TunnelState& state) {
  return state.openvpn_process &&
         WaitForSingleObject(state.openvpn_process.get(), 0) == WAIT_TIMEOUT;
}

void end_process(ProcessHandles& handles) {
  TerminateProcess(handles.process.get(), 1);
  WaitForSingleObject(handles.process.get(), reap_wait_ms);
  handles.thread.reset();
  handles.process.reset();
}

// The identifier of our adapter when the adapter tool did not create it. The
// tool refuses a name that an adapter already has and says so only on its
// error output, so the adapters it lists are looked through: ours may be there
// with its identifier file gone (a repair, a restored or cleaned folder, a
// write that failed).
Result<std::string> adapter_already_there(const Failure& refusal, EngineCommand command,
                                          const EngineContext& context,
                                          std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return std::unexpected(refusal);
  command.arguments = {L"list", L"--hwid", L"root\\tap0901"};
  const auto listed = context.runner.run(command, std::nullopt, left);
  if (!listed) return std::unexpected(refusal);
  if (auto ours = find_tap_adapter(*listed)) return std::move(*ours);
  if (refusal.kind != FailureKind::program_failed) return std::unexpected(refusal);
  // Another adapter holds the name, or a removed one that Windows still keeps
  // in its registry, or no adapter could be made at all.
  return fail(
      "Windows could not create the VPN adapter. If another network adapter is named "
      "MorvexOpenVPN, rename or remove it, then try again.");
}

}  // namespace

Result<void> ensure_tap_adapter(const std::filesystem::path& directory,
                                const EngineContext& context) {
  const auto id_file = directory / std::filesystem::path(std::wstring(adapter_id_file));
  // The same test as for the engine programs: links are followed, so a link
  // that leads nowhere, or to a directory, is no identifier file.
  if (is_existing_regular_file(id_file.wstring())) return {};
  auto command = engine_command(context.program_path(tap_adapter_program));
  command.arguments = {L"create", L"--hwid", L"root\\tap0901", L"--name", L"MorvexOpenVPN"};
  // The create and the list that may follow share one deadline.
  const auto deadline = std::chrono::steady_clock::now() + adapter_timeout;
  const auto created = context.runner.run(command, std::nullopt, adapter_timeout);
  const auto identifier = created
                              ? parse_tap_create_output(*created)
                              : adapter_already_there(created.error(), command, context, deadline);
  if (!identifier) return std::unexpected(identifier.error());
  const auto written = write_private_file(directory, adapter_id_file, *identifier);
  if (!written) return std::unexpected(written.error());
  return {};
}

Result<void> start_openvpn(TunnelState& state, const Profile& profile,
                           const EngineContext& context) {
  if (const auto adapter = ensure_tap_adapter(state.directory, context); !adapter) return adapter;

  const auto config = write_private_file(state.directory, openvpn_config_file, profile.config);
  if (!config) return std::unexpected(config.error());
  // Built in one buffer so that no other copy of the password is left behind.
  std::string credentials;
  credentials.reserve(profile.username.size() + profile.password.size() + 2);
  credentials.append(profile.username).append(1, '\n').append(profile.password).append(1, '\n');
  const auto auth = write_private_file(state.directory, openvpn_auth_file, credentials);
  wipe(credentials);
  if (!auth) return std::unexpected(auth.error());

  // The owner check of create_exit_event still guards against a name met
  // by chance.
  const auto event_name = context.openvpn_exit_event_name();
  if (!event_name) return std::unexpected(event_name.error());
  auto event = create_exit_event(*event_name);
  if (!event) return std::unexpected(event.error());
  state.openvpn_exit_event = std::move(*event);

  auto command = engine_command(context.program_path(openvpn_program));
  command.arguments = {L"--config",
                       config->wstring(),
                       L"--auth-user-pass",
                       auth->wstring(),
                       L"--disable-dco",
                       L"--dev-node",
                       L"MorvexOpenVPN",
                       L"--block-outside-dns",
                       L"--service",
                       *event_name,
                       L"0",
                       L"--verb",
                       L"3",
                       L"--status-version",
                       L"2",
                       L"--status",
                       in_directory(state, openvpn_status_file).wstring(),
                       L"2",
                       L"--log",
                       in_directory(state, openvpn_log_file).wstring()};
  auto started = create_openvpn_process(command);
  if (!started) return fail("Could not start OpenVPN. Repair the Morvex VPN installation.");

  auto job = supervise_process(started->process.get());
  if (!job) {
    end_process(*started);
    return std::unexpected(job.error());
  }
  if (ResumeThread(started->thread.get()) == static_cast<DWORD>(-1)) {
    // Closing the job ends the suspended process.
    job->reset();
    end_process(*started);
    return fail("Could not start OpenVPN. Repair the Morvex VPN installation.");
  }
  state.openvpn_job = std::move(*job);
  state.openvpn_process = std::move(started->process);
  state.openvpn_thread = std::move(started->thread);
  return {};
}

Readiness openvpn_readiness(const TunnelState& state) {
  // Without a running process the log and status files are leftovers: a
  // teardown stopped OpenVPN and then failed, or OpenVPN ended by itself.
  if (!openvpn_running(state)) return {EngineReadiness::stopped, {}};
  // OpenVPN writes what a server pushes or says as it came, and releases
  // before 2.7 wrote their own messages in the ANSI code page: the log is
  // searched as bytes, whatever their encoding.
  const auto log = read_file_bytes(in_directory(state, openvpn_log_file), log_limit);
  if (!log || !openvpn_log_ready(*log)) return {};
  return {EngineReadiness::ready, "MorvexOpenVPN"};
}

std::optional<TrafficTotals> openvpn_traffic(const TunnelState& state) {
  if (!openvpn_running(state)) return std::nullopt;
  const auto status = read_file_bytes(in_directory(state, openvpn_status_file), status_limit);
  if (!status || !engine_text::is_utf8(*status)) return std::nullopt;
  return parse_openvpn_status(*status);
}

}  // namespace morvex
