#include "windows/detached_work.hpp"

#include <windows.h>

#include <memory>
#include <new>

namespace morvex {
namespace {

void CALLBACK run_work(PTP_CALLBACK_INSTANCE instance, void* context) {
  const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(context));
  // The work may block for minutes (a connection waits for its engine); the
  // pool is told so, and starts another thread for other items rather than
  // let them wait behind it (Microsoft's CallbackMayRunLong page).
  (void)CallbackMayRunLong(instance);
  try {
    (*work)();
  } catch (...) {
  }
}

}  // namespace

bool run_detached(std::function<void()> work) {
  std::unique_ptr<std::function<void()>> queued(new (std::nothrow)
                                                    std::function<void()>(std::move(work)));
  if (!queued) return false;
  if (!TrySubmitThreadpoolCallback(run_work, queued.get(), nullptr)) return false;
  (void)queued.release();
  return true;
}

}  // namespace morvex
