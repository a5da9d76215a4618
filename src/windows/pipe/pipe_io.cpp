#include "windows/pipe/pipe_io.hpp"

#include <algorithm>
#include <thread>

#include "windows/pipe/portable/frame.hpp"

namespace morvex {
namespace {

// Largest single ReadFile or WriteFile request; a frame is far smaller.
constexpr std::size_t max_transfer_bytes = 1u << 20;

}  // namespace

Result<std::string> read_exact_until(HANDLE pipe, std::size_t count,
                                     PipeClock::time_point deadline) {
  std::string bytes(count, '\0');
  std::size_t received = 0;
  while (received < count) {
    const DWORD wanted = static_cast<DWORD>(std::min(count - received, max_transfer_bytes));
    DWORD delivered = 0;
    if (!ReadFile(pipe, bytes.data() + received, wanted, &delivered, nullptr)) {
      // A non-blocking pipe with nothing waiting reports ERROR_NO_DATA; any
      // other error means the connection is gone.
      if (GetLastError() != ERROR_NO_DATA) return fail("VPN service connection was interrupted.");
      delivered = 0;
    }
    if (PipeClock::now() >= deadline) return fail("VPN service timed out.");
    if (delivered == 0) std::this_thread::sleep_for(pipe_poll_interval);
    received += delivered;
  }
  return bytes;
}

Result<std::string> read_message(HANDLE pipe, std::chrono::milliseconds timeout) {
  const auto deadline = PipeClock::now() + timeout;
  auto length_bytes = read_exact_until(pipe, frame_length_bytes, deadline);
  if (!length_bytes) return std::unexpected(length_bytes.error());
  const std::uint32_t length = decode_frame_length(*length_bytes);
  if (length > max_message_bytes) return fail("VPN message is too large.");
  return read_exact_until(pipe, length, deadline);
}

Result<void> wait_for_hang_up(HANDLE pipe, PipeClock::time_point deadline) {
  char dropped[4096];
  for (;;) {
    DWORD delivered = 0;
    if (!ReadFile(pipe, dropped, sizeof(dropped), &delivered, nullptr) &&
        GetLastError() != ERROR_NO_DATA) {
      return {};
    }
    if (PipeClock::now() >= deadline) return fail("VPN service timed out.");
    if (delivered == 0) std::this_thread::sleep_for(pipe_poll_interval);
  }
}

Result<void> write_all(HANDLE pipe, std::string_view bytes, std::chrono::milliseconds timeout) {
  const auto deadline = PipeClock::now() + timeout;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const DWORD wanted = static_cast<DWORD>(std::min(bytes.size() - sent, max_transfer_bytes));
    DWORD accepted = 0;
    if (!WriteFile(pipe, bytes.data() + sent, wanted, &accepted, nullptr)) {
      return fail("Cannot send the VPN request.");
    }
    if (PipeClock::now() >= deadline) return fail("VPN service timed out.");
    if (accepted == 0) std::this_thread::sleep_for(pipe_poll_interval);
    sent += accepted;
  }
  return {};
}

}  // namespace morvex
