// The portable half of the runner: building commands, quoting command lines,
// assembling environment blocks and checking output text.
#include <algorithm>
#include <string>
#include <string_view>

#include "command/runner.hpp"
#include "command/runner_text.hpp"

namespace morvex {
namespace {

// Appends one argument under the rules that CommandLineToArgvW and the C
// runtime use to split a command line: quotes around an empty argument or
// one with a space or a tab, a backslash before each double quote, and
// backslashes doubled where they precede a double quote or the closing quote.
void append_quoted(std::wstring& line, std::wstring_view argument, bool always_quote) {
  const bool quote =
      always_quote || argument.empty() || argument.find_first_of(L" \t") != std::wstring_view::npos;
  if (quote) line.push_back(L'"');
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line.push_back(c);
  }
  if (quote) {
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
  } else {
    line.append(backslashes, L'\\');
  }
}

wchar_t ascii_upper(wchar_t c) { return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c; }

// The name part of an environment entry. Entries such as "=C:=C:\dir" keep
// the drive's current directory: their name starts with the equals sign.
std::wstring_view entry_name(std::wstring_view entry) {
  const auto end = entry.find(L'=', 1);
  return end == std::wstring_view::npos ? entry : entry.substr(0, end);
}

bool same_name(std::wstring_view a, std::wstring_view b) {
  return std::ranges::equal(a, b,
                            [](wchar_t x, wchar_t y) { return ascii_upper(x) == ascii_upper(y); });
}

bool name_less(std::wstring_view a, std::wstring_view b) {
  return std::ranges::lexicographical_compare(
      a, b, [](wchar_t x, wchar_t y) { return ascii_upper(x) < ascii_upper(y); });
}

}  // namespace

EngineCommand engine_command(std::wstring program) {
  EngineCommand command;
  command.program = std::move(program);
  command.creation_flags = create_no_window;
  command.environment_overrides = {{L"LC_ALL", L"C"}, {L"LANG", L"C"}};
  return command;
}

std::wstring command_line(const EngineCommand& command) {
  std::wstring line;
  append_quoted(line, command.program, true);
  for (const auto& argument : command.arguments) {
    line.push_back(L' ');
    append_quoted(line, argument, false);
  }
  return line;
}

bool is_startable(const EngineCommand& command) {
  const auto has_nul = [](std::wstring_view text) {
    return text.find(L'\0') != std::wstring_view::npos;
  };
  const std::wstring_view program = command.program;
  if (has_nul(program) || program.find(L'"') != std::wstring_view::npos) return false;
  // Absolute: a drive letter with a colon and a separator, or a UNC or
  // device path. Anything else would be looked up relative to the
  // current directory.
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const bool drive_absolute = program.size() >= 3 && ascii_upper(program[0]) >= L'A' &&
                              ascii_upper(program[0]) <= L'Z' && program[1] == L':' &&
                              separator(program[2]);
  const bool unc = program.size() >= 3 && separator(program[0]) && separator(program[1]) &&
                   !separator(program[2]);
  if (!drive_absolute && !unc) return false;
  if (std::ranges::any_of(command.arguments, has_nul)) return false;
  for (const auto& [name, value] : command.environment_overrides) {
    if (name.empty() || name.find(L'=') != std::wstring::npos || has_nul(name) || has_nul(value)) {
      return false;
    }
  }
  return true;
}

std::wstring environment_block(
    const std::vector<std::wstring>& current,
    const std::vector<std::pair<std::wstring, std::wstring>>& overrides) {
  std::vector<std::wstring> entries;
  entries.reserve(current.size() + overrides.size());
  for (const auto& entry : current) {
    if (entry.empty()) continue;
    const auto name = entry_name(entry);
    const bool replaced = std::ranges::any_of(
        overrides, [&](const auto& override) { return same_name(name, override.first); });
    if (!replaced) entries.push_back(entry);
  }
  for (const auto& [name, value] : overrides) {
    // A later override of the same name wins.
    std::erase_if(entries,
                  [&](const std::wstring& entry) { return same_name(entry_name(entry), name); });
    entries.push_back(name + L'=' + value);
  }
  // Windows expects the block sorted by name without regard to case.
  std::ranges::stable_sort(entries, [](const std::wstring& a, const std::wstring& b) {
    return name_less(entry_name(a), entry_name(b));
  });
  std::wstring block;
  for (const auto& entry : entries) {
    block += entry;
    block.push_back(L'\0');
  }
  if (entries.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

std::vector<std::wstring> split_environment_block(const wchar_t* block) {
  std::vector<std::wstring> entries;
  if (block == nullptr) return entries;
  while (*block != L'\0') {
    std::wstring entry(block);
    block += entry.size() + 1;
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    // The second byte's range excludes overlong forms, surrogates and values
    // above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace morvex
