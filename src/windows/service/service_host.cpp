#include "windows/service/service_host.hpp"

#include "windows/detached_work.hpp"

namespace morvex {
namespace {

void stop_sequence(Dispatcher& dispatcher, const ServiceLifecycle& lifecycle) {
  dispatcher.begin_stop();
  lifecycle.report(SERVICE_STOP_PENDING);
  // Waits for any request that still holds the lock. After an internal
  // fault the record's state is unknown, so it is left alone.
  auto lock = dispatcher.cell().lock();
  if (!lock.unusable()) (void)lifecycle.teardown(lock.record());
  lock.release();
  lifecycle.report(SERVICE_STOPPED);
}

}  // namespace

SERVICE_STATUS service_status(DWORD current_state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = current_state;
  status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = 0;
  status.dwWaitHint = service_wait_hint_ms;
  return status;
}

void run_service(Dispatcher& dispatcher, const ServiceLifecycle& lifecycle) {
  lifecycle.report(SERVICE_START_PENDING);
  auto record = lifecycle.prepare_storage();
  if (!record) {
    lifecycle.report(SERVICE_STOPPED);
    return;
  }
  // The record is never freed: connection threads may still reach it
  // through the dispatcher until the process ends.
  dispatcher.cell().fill(*record->release());
  lifecycle.report(SERVICE_RUNNING);
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
