#pragma once

#include <optional>
#include <string>
#include <string_view>

// UTF-8 and UTF-16 conversions at the Windows boundary of the engines.
namespace morvex::engines {

// Nothing when the text is not well-formed.
std::optional<std::wstring> wide_from_utf8(std::string_view text);
std::optional<std::string> utf8_from_wide(std::wstring_view text);

}  // namespace morvex::engines
