#pragma once

#include <windows.h>

#include <utility>

namespace morvex {

// Owns memory that a Windows call allocated for the caller to release with
// LocalFree (converted security descriptors, for example).
template <typename T>
class UniqueLocal {
 public:
  UniqueLocal() = default;
  explicit UniqueLocal(T* pointer) : pointer_(pointer) {}
  UniqueLocal(const UniqueLocal&) = delete;
  UniqueLocal& operator=(const UniqueLocal&) = delete;
  UniqueLocal(UniqueLocal&& other) noexcept : pointer_(other.release()) {}
  UniqueLocal& operator=(UniqueLocal&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueLocal() { reset(); }

  T* get() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  T* release() { return std::exchange(pointer_, nullptr); }
  void reset(T* pointer = nullptr) {
    T* const old = std::exchange(pointer_, pointer);
    if (old != nullptr) LocalFree(reinterpret_cast<HLOCAL>(old));
  }

 private:
  T* pointer_ = nullptr;
};

}  // namespace morvex
