#pragma once

#include <expected>
#include <string>
#include <utility>

namespace morvex {

// A failure carries exactly one user-facing English sentence. It travels
// unchanged to the dispatcher, which sends it as the reply's error.
struct Failure {
  std::string message;

  friend bool operator==(const Failure&, const Failure&) = default;
};

template <typename T>
using Result = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(std::string message) {
  return std::unexpected<Failure>(Failure{std::move(message)});
}

}  // namespace morvex
