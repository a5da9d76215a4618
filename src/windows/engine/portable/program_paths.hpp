#pragma once

#include <optional>
#include <string>
#include <string_view>

// How absolute program paths are put together from a root directory that an
// environment variable names.
namespace morvex {

// The root to use: the variable's value as it is, or `fallback` when it is
// unset, empty or not valid UTF-16 (an unpaired surrogate).
std::wstring program_root(const std::optional<std::wstring>& value, std::wstring_view fallback);

// `root` and `relative` with exactly one backslash between them (none added
// when `root` already ends with a separator).
std::wstring join_path(std::wstring_view root, std::wstring_view relative);

}  // namespace morvex
