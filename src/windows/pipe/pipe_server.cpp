#include "windows/pipe/pipe_server.hpp"

#include <aclapi.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "windows/detached_work.hpp"
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

// The longest the loop waits without looking at the stop flag, when it does
// not wait for a client.
constexpr std::chrono::milliseconds stop_check_interval{50};

// Keeps the pipe's name the service's. A pipe exists only while a handle to
// one of its instances is open (Microsoft's DisconnectNamedPipe page), and
// once it is gone any program may create the name and catch the app's
// requests. The loop therefore never closes an instance it holds before it
// holds another, and a connection that ends while the loop holds none (every
// instance was taken) keeps its instance for the loop instead of closing it:
// a disconnected one to be handed back, one whose disconnect failed (its
// client may still be connected, so it must never serve again) only until the
// loop holds an instance again.
class InstanceKeeper {
 public:
  // The loop holds an instance (true), or has handed its only one to a
  // connection (false). Instances kept meanwhile are closed once it holds one.
  void loop_holds(bool holds) {
    UniqueHandle spare;
    UniqueHandle stale;
    const std::lock_guard lock(mutex_);
    loop_holds_ = holds;
    if (holds) spare = std::move(kept_), stale = std::move(stale_);
  }

  // An instance handed back within `patience`, which the loop then holds.
  UniqueHandle take_back(std::chrono::milliseconds patience) {
    UniqueHandle stale;
    std::unique_lock lock(mutex_);
    handed_back_.wait_for(lock, patience, [this] { return kept_.valid(); });
    if (kept_) loop_holds_ = true, stale = std::move(stale_);
    return std::move(kept_);
  }

  // A connection is done with its instance: kept for the loop while the loop
  // runs and holds none, closed otherwise (another instance, the loop's or
  // the kept one, then keeps the pipe alive).
  void done_with(UniqueHandle instance, bool disconnected) {
    const std::lock_guard lock(mutex_);
    if (!running_ || loop_holds_) return;
    if (!disconnected) {
      // Replaces (and so closes) an older one: this one keeps the name now.
      if (!kept_) stale_ = std::move(instance);
      return;
    }
    if (kept_) return;
    kept_ = std::move(instance);
    handed_back_.notify_one();
  }

  // Connections of clients that are not the app, in flight.
  std::atomic<int> untrusted{0};

  // The loop has ended: every instance is closed from now on.
  void loop_ended() {
    UniqueHandle spare;
    UniqueHandle stale;
    const std::lock_guard lock(mutex_);
    running_ = false;
    spare = std::move(kept_), stale = std::move(stale_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable handed_back_;
  bool running_ = true;
  bool loop_holds_ = false;
  UniqueHandle kept_;
  UniqueHandle stale_;
};

// Makes an instance that a client has left (or that a connection handed back,
// disconnected already) wait for the next client: DisconnectNamedPipe must
// come before ConnectNamedPipe can take another client, and the instance must
// block again in ConnectNamedPipe.
bool listen_again(HANDLE pipe, bool disconnect) {
  if (disconnect && !DisconnectNamedPipe(pipe)) return false;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
  return SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) != FALSE;
}

// Serves one connection as detached work of its own, which then disconnects
// the instance and hands it back or closes it. The loop lets go of the
// instance first, so that a connection that ends at once already knows the
// loop holds none. Work that cannot be queued leaves the instance with the
// loop, as an instance whose client went away.
void start_connection(UniqueHandle& pipe, bool trusted,
                      const std::shared_ptr<const ConnectionSettings>& settings,
                      const std::shared_ptr<InstanceKeeper>& keeper) {
  const HANDLE instance = pipe.get();
  keeper->loop_holds(false);
  if (!trusted) ++keeper->untrusted;
  bool queued = false;
  try {
    queued = run_detached([instance, trusted, settings, keeper] {
      // Counted out however the work ends.
      const std::unique_ptr<InstanceKeeper, void (*)(InstanceKeeper*)> counted(
          trusted ? nullptr : keeper.get(), [](InstanceKeeper* k) { --k->untrusted; });
      UniqueHandle owned(instance);
      try {
        (void)serve_connection(owned.get(), trusted, *settings);
      } catch (...) {
        // Out of memory on this connection: it ends without an answer.
      }
      // The client has had its time to read the reply. DisconnectNamedPipe
      // forces its end closed (Microsoft's DisconnectNamedPipe page); closing
      // the server handle alone would leave an instance that a client still
      // holding its end keeps, and sixteen such ends could lock the app out.
      const bool disconnected = DisconnectNamedPipe(owned.get()) != FALSE;
      try {
        keeper->done_with(std::move(owned), disconnected);
      } catch (...) {
        // The lock failed: the instance is closed.
      }
    });
  } catch (...) {
    // Out of memory for the work itself.
  }
  if (queued) {
    (void)pipe.release();
  } else {
    if (!trusted) --keeper->untrusted;
    keeper->loop_holds(true);
  }
}

// The loop's work for one client, from waiting for it to handing the
// connection over. An instance that is not handed over (the client went away
// before ConnectNamedPipe completed, is refused, is a stranger beyond the
// limit, or its mode cannot be changed; the stop) stays in `pipe` for the
// loop.
void accept_one(UniqueHandle& pipe, const std::function<bool()>& service_stopping,
                ClientIdentity& identity, const std::shared_ptr<const ConnectionSettings>& settings,
                const std::shared_ptr<InstanceKeeper>& keeper) {
  if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
  if (service_stopping()) return;
  if (!session_admitted(identity.client_session(pipe.get()), identity.console_session())) return;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return;
  const bool trusted = decide_trust(identity, pipe.get());
  // Beyond the limit a stranger's instance stays with the loop, which
  // disconnects it at once.
  if (!trusted && keeper->untrusted.load() >= max_untrusted_connections) return;
  start_connection(pipe, trusted, settings, keeper);
}

}  // namespace

HANDLE create_pipe_instance(const PipeInstanceParameters& p) {
  const std::wstring name(p.name);
  return CreateNamedPipeW(name.c_str(), p.open_mode, p.pipe_mode, p.max_instances,
                          p.out_buffer_bytes, p.in_buffer_bytes, p.default_timeout_ms,
                          p.attributes);
}

namespace {

// The accept loop's state: how instances are made, and whether the next one
// claims the name.
class AcceptLoop {
 public:
  AcceptLoop(const PipeServerConfig& config, const std::function<bool()>& service_stopping,
             PSECURITY_DESCRIPTOR descriptor, OwnAccounts owners)
      : config_(config),
        stopping_(service_stopping),
        descriptor_(descriptor),
        owners_(std::move(owners)),
        settings_(std::make_shared<const ConnectionSettings>(config.connection)),
        identity_(config.identity ? config.identity : std::make_shared<SystemClientIdentity>()) {
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
    stored_ = stored_descriptor(attributes_);
    parameters_.name = config.pipe_name;
    parameters_.pipe_mode =
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    parameters_.max_instances = max_pipe_instances;
    parameters_.out_buffer_bytes = pipe_buffer_bytes;
    parameters_.in_buffer_bytes = pipe_buffer_bytes;
    parameters_.default_timeout_ms = pipe_default_timeout_ms;
    parameters_.attributes = &attributes_;
  }
  AcceptLoop(const AcceptLoop&) = delete;
  AcceptLoop& operator=(const AcceptLoop&) = delete;
  ~AcceptLoop() { keeper_->loop_ended(); }

  void run() {
    while (!stopping_()) {
      try {
        if (!listening_) {
          find_instance();
          continue;
        }
        try {
          accept_one(listening_, stopping_, *identity_, settings_, keeper_);
        } catch (...) {
          // Out of memory while admitting this client (its path buffers): it
          // is not trusted and gets no answer, and its instance listens again.
        }
        if (listening_ && !stopping_() && !listen_again(listening_.get(), true)) {
          retiring_ = std::move(listening_);
        }
      } catch (...) {
        // Out of memory while making an instance (its name): what the loop
        // holds stays held, and after a pause the loop goes on rather than
        // stop the service.
        try {
          if (!listening_) (void)pause_for_handed_back(config_.name_lost_retry);
        } catch (...) {
          // Not even the pause: the next round tries again.
        }
      }
    }
  }

 private:
  // The loop listens on `instance`, which the keeper learns; an instance
  // that was retiring goes now that another keeps the name.
  void hold(UniqueHandle instance) {
    listening_ = std::move(instance);
    retiring_.reset();
    keeper_->loop_holds(true);
  }

  // An instance handed back by a connection: the loop listens on it, or keeps
  // it only for the name when it cannot listen again. Whether it listens.
  bool adopt(UniqueHandle back) {
    if (listen_again(back.get(), false)) {
      hold(std::move(back));
      return true;
    }
    // Closes an older retiring one: this one keeps the name now.
    retiring_ = std::move(back);
    return false;
  }

  // Finds an instance of the service's own pipe to listen on, created anew or
  // handed back by a connection; returns with none only at the stop.
  void find_instance() {
    while (!stopping_()) {
      if (auto back = keeper_->take_back(std::chrono::milliseconds{0})) {
        if (adopt(std::move(back))) return;
        continue;
      }
      // Only a claim made while no instance of the service exists can
      // succeed; Windows refuses it (access denied) when the pipe is alive.
      parameters_.open_mode = PIPE_ACCESS_DUPLEX | (claim_ ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
      UniqueHandle pipe(config_.create_instance(parameters_));
      if (pipe) {
        // An instance added to a pipe that another program created has that
        // pipe's owner and access list; the loop closes it and keeps trying.
        if (owned_by(pipe.get(), owners_) &&
            carries_access_list(pipe.get(), stored_ ? stored_.get() : descriptor_,
                                pipe_generic_mapping)) {
          claim_ = false;
          hold(std::move(pipe));
          return;
        }
        pipe.reset();
        if (name_lost()) return;
        continue;
      }
      const DWORD error = GetLastError();
      if (error == ERROR_PIPE_BUSY) {
        // Every instance is held by a connection; the first to end hands its
        // instance back. The busy answer of a further client stays as it was.
        if (pause_for_handed_back(config_.busy_retry)) return;
      } else if (error == ERROR_ACCESS_DENIED && claim_) {
        // The pipe is alive: join it and let its owner and access list decide.
        claim_ = false;
      } else if (name_lost()) {
        return;
      }
    }
  }

  // The name is not the service's pipe, or cannot be had for another reason:
  // claim it again after a pause. Whether the loop listens meanwhile.
  bool name_lost() {
    claim_ = true;
    return pause_for_handed_back(config_.name_lost_retry);
  }

  // Waits up to `pause`, looking at the stop flag, for a connection's
  // instance to listen on. Whether the loop listens on one.
  bool pause_for_handed_back(std::chrono::milliseconds pause) {
    const auto until = PipeClock::now() + pause;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - PipeClock::now());
      if (auto back = keeper_->take_back(
              std::clamp(left, std::chrono::milliseconds{0}, stop_check_interval))) {
        if (adopt(std::move(back))) return true;
      }
      if (stopping_() || PipeClock::now() >= until) return false;
    }
  }

  const PipeServerConfig& config_;
  const std::function<bool()>& stopping_;
  PSECURITY_DESCRIPTOR descriptor_;
  UniqueSecurityDescriptor stored_;
  OwnAccounts owners_;
  std::shared_ptr<const ConnectionSettings> settings_;
  std::shared_ptr<ClientIdentity> identity_;
  std::shared_ptr<InstanceKeeper> keeper_ = std::make_shared<InstanceKeeper>();
  SECURITY_ATTRIBUTES attributes_{};
  PipeInstanceParameters parameters_;
  bool claim_ = true;
  // The loop's hold on the pipe, in one place: `listening_` is the instance
  // it listens on (none once it has handed its last one to a connection),
  // `retiring_` one that cannot listen again, held only so that the name
  // stays the service's until the loop holds another. At most one is set,
  // and the keeper knows the loop holds an instance while either is.
  UniqueHandle listening_;
  UniqueHandle retiring_;
};

Result<void> accept_loop(const PipeServerConfig& config,
                         const std::function<bool()>& service_stopping) {
  auto descriptor = security_descriptor_from_sddl(pipe_sddl);
  if (!descriptor) return std::unexpected(descriptor.error());
  // A living pipe is the service's only with the owner its descriptor names.
  auto owners = named_owner(descriptor->get());
  if (!owners) return std::unexpected(owners.error());
  AcceptLoop(config, service_stopping, descriptor->get(), std::move(*owners)).run();
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
