#pragma once

#include <windows.h>
#include <winsvc.h>

#include <utility>

namespace morvex {

// Owns one handle of the Service Control Manager (the manager itself or a
// service) and closes it with CloseServiceHandle.
class UniqueServiceHandle {
 public:
  UniqueServiceHandle() = default;
  explicit UniqueServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  UniqueServiceHandle(const UniqueServiceHandle&) = delete;
  UniqueServiceHandle& operator=(const UniqueServiceHandle&) = delete;
  UniqueServiceHandle(UniqueServiceHandle&& other) noexcept : handle_(other.release()) {}
  UniqueServiceHandle& operator=(UniqueServiceHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueServiceHandle() { reset(); }

  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  SC_HANDLE release() { return std::exchange(handle_, nullptr); }
  void reset(SC_HANDLE handle = nullptr) {
    const SC_HANDLE old = std::exchange(handle_, handle);
    if (old != nullptr) CloseServiceHandle(old);
  }

 private:
  SC_HANDLE handle_ = nullptr;
};

}  // namespace morvex
