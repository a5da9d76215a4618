#include "windows/service/service_host.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "windows/detached_work.hpp"

namespace morvex {
namespace {

// Reports `pending` again with a growing check point every interval, on the
// thread pool, until it is ended; no report of it comes after end() returns.
class PendingProgress {
 public:
  PendingProgress(const ServiceLifecycle& lifecycle, DWORD pending)
      : shared_(std::make_shared<Shared>()) {
    lifecycle.report(pending, 0);
    // Work that cannot be queued leaves the one report above.
    (void)run_detached([shared = shared_, report = lifecycle.report,
                        interval = lifecycle.progress_interval, pending] {
      DWORD check_point = 0;
      std::unique_lock lock(shared->mutex);
      while (!shared->ended.wait_for(lock, interval, [&] { return shared->done; })) {
        report(pending, ++check_point);
      }
    });
  }
  PendingProgress(const PendingProgress&) = delete;
  PendingProgress& operator=(const PendingProgress&) = delete;
  ~PendingProgress() { end(); }

  void end() {
    {
      const std::lock_guard lock(shared_->mutex);
      shared_->done = true;
    }
    shared_->ended.notify_all();
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
  };
  std::shared_ptr<Shared> shared_;
};

void stop_sequence(Dispatcher& dispatcher, const ServiceLifecycle& lifecycle) {
  dispatcher.begin_stop();
  {
    PendingProgress progress(lifecycle, SERVICE_STOP_PENDING);
    // Waits for any request that still holds the lock. After an internal
    // fault the record's state is unknown, so it is left alone.
    auto lock = dispatcher.cell().lock();
    if (!lock.unusable()) (void)lifecycle.teardown(lock.record());
    lock.release();
  }
  lifecycle.report(SERVICE_STOPPED, 0);
}

}  // namespace

SERVICE_STATUS service_status(DWORD current_state, DWORD check_point) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = current_state;
  status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = check_point;
  status.dwWaitHint = service_wait_hint_ms;
  return status;
}

void run_service(Dispatcher& dispatcher, const ServiceLifecycle& lifecycle) {
  auto record = [&] {
    const PendingProgress progress(lifecycle, SERVICE_START_PENDING);
    return lifecycle.prepare_storage();
  }();
  if (!record) {
    lifecycle.report(SERVICE_STOPPED, 0);
    return;
  }
  // The record is never freed: connection threads may still reach it
  // through the dispatcher until the process ends.
  dispatcher.cell().fill(*record->release());
  lifecycle.report(SERVICE_RUNNING, 0);
  (void)lifecycle.run_pipe_server();
  stop_sequence(dispatcher, lifecycle);
}

DWORD handle_service_control(DWORD control, Dispatcher& dispatcher,
                             const std::function<void()>& wake_up) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      dispatcher.begin_stop();
      // Work that cannot be queued changes nothing else: the flag is set, and
      // the loop sees it at its next client or retry.
      (void)run_detached(wake_up);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

}  // namespace morvex
