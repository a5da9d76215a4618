#include "windows/pipe/pipe_server.hpp"

#include <algorithm>
#include <string>
#include <thread>
#include <utility>

#include "windows/pipe/pipe_owner.hpp"
#include "windows/pipe/portable/admission.hpp"
#include "windows/pipe/portable/frame.hpp"
#include "windows/pipe/security_descriptor.hpp"

namespace morvex {
namespace {

// Clears the running flag however the loop ends.
class RunningFlag {
 public:
  explicit RunningFlag(std::atomic<bool>& flag) : flag_(flag) { flag_.exchange(true); }
  RunningFlag(const RunningFlag&) = delete;
  RunningFlag& operator=(const RunningFlag&) = delete;
  ~RunningFlag() { flag_.exchange(false); }

 private:
  std::atomic<bool>& flag_;
};

// Hands an admitted instance to a detached thread of its own. A thread that
// cannot be started takes the instance down with it: the handle is closed
// and the loop goes on.
void start_connection_thread(UniqueHandle pipe, bool trusted,
                             const std::shared_ptr<const ConnectionSettings>& settings) {
  try {
    std::thread([pipe = std::move(pipe), trusted, settings]() mutable {
      try {
        (void)serve_connection(pipe.get(), trusted, *settings);
      } catch (...) {
        // Out of memory on this connection: it ends without an answer.
      }
      // The client has had its time to read the reply. DisconnectNamedPipe
      // forces its end closed (Microsoft's DisconnectNamedPipe page); closing
      // the server handle alone would leave an instance that a client still
      // holding its end keeps, and sixteen such ends could lock the app out.
      (void)DisconnectNamedPipe(pipe.get());
    }).detach();
  } catch (...) {
  }
}

// The loop's work for one instance, from waiting for a client to handing the
// connection over; whatever becomes of the client, the instance is either
// closed here or owned by its thread.
void accept_one(UniqueHandle pipe, const std::function<bool()>& service_stopping,
                ClientIdentity& identity,
                const std::shared_ptr<const ConnectionSettings>& settings) {
  if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
  if (service_stopping()) return;
  if (!session_admitted(identity.client_session(pipe.get()), identity.console_session())) return;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return;
  const bool trusted = decide_trust(identity, pipe.get());
  start_connection_thread(std::move(pipe), trusted, settings);
}

}  // namespace

HANDLE create_pipe_instance(const PipeInstanceParameters& p) {
  const std::wstring name(p.name);
  return CreateNamedPipeW(name.c_str(), p.open_mode, p.pipe_mode, p.max_instances,
                          p.out_buffer_bytes, p.in_buffer_bytes, p.default_timeout_ms,
                          p.attributes);
}

namespace {

Result<void> accept_loop(const PipeServerConfig& config,
                         const std::function<bool()>& service_stopping) {
  auto descriptor = security_descriptor_from_sddl(pipe_sddl);
  if (!descriptor) return std::unexpected(descriptor.error());
  const auto owners = own_accounts();
  if (!owners) return std::unexpected(owners.error());

  const auto settings = std::make_shared<const ConnectionSettings>(config.connection);
  std::shared_ptr<ClientIdentity> identity = config.identity;
  if (!identity) identity = std::make_shared<SystemClientIdentity>();

  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor->get();
  attributes.bInheritHandle = FALSE;

  PipeInstanceParameters parameters;
  parameters.name = config.pipe_name;
  // Only the service's first instance claims the name: it fails when the
  // pipe exists already, whoever made it.
  parameters.open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;
  parameters.pipe_mode =
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  parameters.max_instances = max_pipe_instances;
  parameters.out_buffer_bytes = pipe_buffer_bytes;
  parameters.in_buffer_bytes = pipe_buffer_bytes;
  parameters.default_timeout_ms = pipe_default_timeout_ms;
  parameters.attributes = &attributes;

  while (!service_stopping()) {
    UniqueHandle pipe(config.create_instance(parameters));
    if (!pipe) {
      const DWORD error = GetLastError();
      // Every instance is held by a connection: try again shortly, looking
      // at the stop flag between tries.
      if (error == ERROR_PIPE_BUSY) {
        std::this_thread::sleep_for(config.busy_retry);
        continue;
      }
      // The name is alive already. A client of an earlier run of the service
      // that still holds its end keeps it so, and that pipe is ours; the owner
      // check below tells it from a pipe that someone else created.
      if (error == ERROR_ACCESS_DENIED &&
          (parameters.open_mode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0) {
        parameters.open_mode = PIPE_ACCESS_DUPLEX;
        continue;
      }
      return fail("Cannot start the private VPN service channel.");
    }
    // The first-instance flag guards the name only while one of the service's
    // instances exists, and is dropped when the name is alive at the start.
    // Whenever an instance joins a pipe that another process created, it
    // reports that pipe's owner and access list: an owner other than the
    // service's account, or another access list (an older build's, or
    // anyone's), means the name was taken, so the instance is closed and the
    // loop ends.
    if (!owned_by(pipe.get(), *owners) ||
        !carries_access_list(pipe.get(), descriptor->get(), pipe_generic_mapping)) {
      return fail("Cannot start the private VPN service channel.");
    }
    try {
      accept_one(std::move(pipe), service_stopping, *identity, settings);
    } catch (...) {
      // Out of memory while admitting this client (its path buffers): it is
      // not trusted and gets no answer, its instance is closed on the way out,
      // and the loop goes on with the next client.
    }
    parameters.open_mode = PIPE_ACCESS_DUPLEX;
  }
  return {};
}

}  // namespace

Result<void> run_pipe_server(const PipeServerConfig& config,
                             const std::function<bool()>& service_stopping,
                             std::atomic<bool>& pipe_server_running) {
  const RunningFlag running(pipe_server_running);
  try {
    return accept_loop(config, service_stopping);
  } catch (...) {
    // Out of memory while setting the loop up: the channel cannot start. A
    // failure while admitting one client ends only that client.
    return fail("Cannot start the private VPN service channel.");
  }
}

Result<void> serve_connection(HANDLE pipe, bool trusted, const ConnectionSettings& settings) {
  // A program that is not the app gets one short deadline for the whole
  // connection, so that it cannot keep instances from the app for long by
  // taking nearly all of it for each step.
  const auto untrusted_end = PipeClock::now() + settings.untrusted_timeout;
  const auto limit = [&](std::chrono::milliseconds timeout) {
    if (trusted) return timeout;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(untrusted_end - PipeClock::now());
    return std::clamp(left, std::chrono::milliseconds{0}, timeout);
  };
  auto request = read_message(pipe, limit(settings.receive_timeout));
  if (!request) return std::unexpected(request.error());

  std::string reply;
  if (trusted) {
    try {
      reply = settings.handle_request(*request);
    } catch (...) {
      // The handler never throws; if it did, the client gets no answer.
      return fail("VPN service could not complete the request.");
    }
  } else {
    reply = refusal_body;
  }
  if (reply.size() > max_message_bytes) return fail("VPN message is too large.");

  const auto length = encode_frame_length(static_cast<std::uint32_t>(reply.size()));
  auto sent = write_all(pipe, std::string_view(length.data(), length.size()),
                        limit(settings.write_timeout));
  if (!sent) return sent;
  sent = write_all(pipe, reply, limit(settings.write_timeout));
  if (!sent) return sent;

  // Keep the instance until the client has read the reply and closed its end,
  // or the wait ends. The caller disconnects the instance then, which
  // discards whatever the client has not read, so bytes that the client sends
  // after its request are dropped and do not end the wait: only its hang-up
  // tells that it has read the reply.
  (void)wait_for_hang_up(pipe, PipeClock::now() + limit(settings.final_wait));
  return {};
}

void wake_pipe_server(std::wstring_view pipe_name, const std::atomic<bool>& pipe_server_running,
                      WakeTiming timing) {
  const std::wstring name(pipe_name);
  const auto deadline = PipeClock::now() + timing.window;
  while (pipe_server_running.load() && PipeClock::now() < deadline) {
    UniqueHandle client(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    service_pipe_open_flags, nullptr));
    client.reset();
    std::this_thread::sleep_for(timing.interval);
  }
}

}  // namespace morvex
