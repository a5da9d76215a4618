#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "dispatch/messages.hpp"

namespace morvex {

// The record that describes this machine's tunnel. Its definition belongs to
// the service host; the dispatcher only passes it, locked, to the engine.
struct TunnelState;

// A connect attempt's view of cancellation: it is cancelled once the service
// stops or any newer cancel, connect or disconnect has moved the counter on.
class Attempt {
 public:
  Attempt(const std::atomic<bool>& service_stopping,
          const std::atomic<std::uint64_t>& attempt_generation, std::uint64_t generation)
      : service_stopping_(service_stopping),
        attempt_generation_(attempt_generation),
        generation_(generation) {}

  bool cancelled() const {
    if (service_stopping_.load()) return true;
    return attempt_generation_.load() != generation_;
  }
  std::uint64_t generation() const { return generation_; }

 private:
  const std::atomic<bool>& service_stopping_;
  const std::atomic<std::uint64_t>& attempt_generation_;
  std::uint64_t generation_;
};

// The operations the dispatcher runs on the locked record. A failure is a
// value; an exception escaping an operation is an internal fault.
class Engine {
 public:
  virtual ~Engine() = default;
  virtual EngineCapabilities query_capabilities(TunnelState& state) = 0;
  virtual VpnStatus probe_status(TunnelState& state) = 0;
  virtual std::optional<TrafficTotals> read_traffic(TunnelState& state) = 0;
  virtual Result<void> teardown_tunnel(TunnelState& state) = 0;
  virtual Result<Profile> validate_connect_request(Profile profile) = 0;
  virtual Result<VpnStatus> connect_with_recovery(TunnelState& state, Profile profile,
                                                  const Attempt& attempt) = 0;
};

// Holds the tunnel-state record once it exists, with the one lock that
// serialises all work on it and the lock's "unusable" bit.
class TunnelStateCell {
 public:
  class Lock {
   public:
    TunnelState& record() { return *record_; }
    bool unusable() const { return cell_->unusable_; }
    void mark_unusable() { cell_->unusable_ = true; }
    bool held() const { return guard_.owns_lock(); }
    void release() { guard_.unlock(); }

   private:
    friend class TunnelStateCell;
    explicit Lock(TunnelStateCell& cell)
        : cell_(&cell), record_(cell.record_.load()), guard_(cell.mutex_) {}
    TunnelStateCell* cell_;
    TunnelState* record_;
    std::unique_lock<std::mutex> guard_;
  };

  // Fills the cell; only the first call has an effect. Returns whether this
  // call filled it.
  bool fill(TunnelState& record) {
    TunnelState* expected = nullptr;
    return record_.compare_exchange_strong(expected, &record);
  }
  bool filled() const { return record_.load() != nullptr; }
  // Waits for the lock. The cell must be filled.
  Lock lock() { return Lock(*this); }

 private:
  std::atomic<TunnelState*> record_{nullptr};
  std::mutex mutex_;
  bool unusable_ = false;  // guarded by mutex_
};

// Turns one request body into one reply text. Owns the process-wide shared
// state: the stop flag, the attempt counter and the tunnel-state cell.
class Dispatcher {
 public:
  explicit Dispatcher(Engine& engine) : engine_(engine) {}

  std::string handle_request(std::string_view body);

  // Marks the stop: sets the flag, then advances the counter so that a running
  // connect ends at its next check.
  void begin_stop() {
    service_stopping_.store(true);
    attempt_generation_.fetch_add(1);
  }
  bool stopping() const { return service_stopping_.load(); }
  std::uint64_t attempt_generation() const { return attempt_generation_.load(); }
  TunnelStateCell& cell() { return cell_; }

 private:
  Result<ReplyValue> run_locked(TunnelState& state, Request& request, std::uint64_t generation);

  Engine& engine_;
  std::atomic<bool> service_stopping_{false};
  std::atomic<std::uint64_t> attempt_generation_{0};
  TunnelStateCell cell_;
};

}  // namespace morvex
