#pragma once

#include <optional>
#include <string_view>

namespace morvex {

// Reads a profile text line by line. Lines end at line feeds; a carriage
// return just before a line feed goes with it, and a final line without a line
// feed still counts. Each line comes back trimmed of white space at both ends.
// The lines are views into the text, which must outlive the reader.
class ProfileLineReader {
 public:
  explicit ProfileLineReader(std::string_view text) : rest_(text) {}

  // The next trimmed line, or nothing after the last one.
  std::optional<std::string_view> next();

 private:
  std::string_view rest_;
};

}  // namespace morvex
