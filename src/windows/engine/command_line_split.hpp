#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/failure.hpp"

namespace morvex {

// The arguments of a Windows command line (UTF-8), split by the system's own
// rules, the program path first.
Result<std::vector<std::string>> split_command_line(std::string_view command_line);

}  // namespace morvex
