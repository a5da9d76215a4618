#pragma once

#include <expected>
#include <string>
#include <utility>

namespace morvex {

// What kind of failure it is, for a caller that must tell some apart; only
// the sentence ever reaches the user.
enum class FailureKind {
  general,
  program_failed,  // an outside program ran and ended with a non-zero exit code
};

// A failure carries exactly one user-facing English sentence. It travels
// unchanged to the dispatcher, which sends it as the reply's error.
struct Failure {
  std::string message;
  FailureKind kind = FailureKind::general;

  // Two failures are the same when they say the same sentence.
  friend bool operator==(const Failure& a, const Failure& b) { return a.message == b.message; }
};

template <typename T>
using Result = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(std::string message, FailureKind kind = FailureKind::general) {
  return std::unexpected<Failure>(Failure{std::move(message), kind});
}

}  // namespace morvex
