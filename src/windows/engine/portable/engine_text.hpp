#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// Small text rules shared by the readers of engine output. Engine output is
// outside data: these functions only ever read within the given view.
namespace morvex::engine_text {

// Space, tab, line feed, vertical tab, form feed and carriage return.
bool is_ascii_space(char c);

// The text without ASCII white space at either end.
std::string_view trim(std::string_view text);

// The lines of `text`: each ends at a line feed (not included), and a final
// line without one counts too. An empty text has no lines.
std::vector<std::string_view> lines(std::string_view text);

// The words of one line, separated by runs of ASCII white space.
std::vector<std::string_view> words(std::string_view line);

// An unsigned decimal number that fits in 64 bits, optionally preceded by one
// "+". Any number of leading zeros is accepted.
std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// Whether the whole text is well-formed UTF-8.
bool is_utf8(std::string_view text);

}  // namespace morvex::engine_text
