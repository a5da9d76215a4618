#pragma once

#include <initializer_list>
#include <string>

#include "common/failure.hpp"

namespace morvex::testing {

// The written text, or the failure's sentence, so one expectation covers both.
inline std::string outcome(const Result<std::string>& result) {
  return result ? *result : result.error().message;
}

inline std::string outcome(const Result<void>& result) {
  return result ? std::string("passes") : result.error().message;
}

// Replaces the first occurrence of `from` in `text` (which must hold it).
inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

// The lines, each ended by a line feed.
inline std::string lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const auto& line : lines) text += line + '\n';
  return text;
}

inline const std::string unsupported =
    "Morvex returned an unsupported VPN profile. Try another location.";

}  // namespace morvex::testing
