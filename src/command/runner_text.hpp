#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command/runner.hpp"

// The parts of the runner that are plain text work and build on every
// platform, so they are tested natively.
namespace morvex {

// The process-creation flag that starts a console program without a window.
inline constexpr std::uint32_t create_no_window = 0x08000000;

// Whether the command can be handed to process creation safely: an absolute
// program path without quotes, and no NUL character in the path, an argument
// or an environment override (whose names must also be free of '=').
bool is_startable(const EngineCommand& command);

// A Unicode environment block: the entries of `current` ("NAME=value", as
// the process environment lists them) with every variable named in
// `overrides` (compared without regard to ASCII case) replaced by the
// override's value, sorted by name without regard to case, each entry ended by
// a NUL and the block by one more.
std::wstring environment_block(const std::vector<std::wstring>& current,
                               const std::vector<std::pair<std::wstring, std::wstring>>& overrides);

// The entries of a NUL-separated block that ends with an empty entry.
std::vector<std::wstring> split_environment_block(const wchar_t* block);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace morvex
