#include "policy/openvpn_profile.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "policy/openvpn_directives.hpp"
#include "policy/policy_messages.hpp"
#include "policy/unicode_text.hpp"
#include "policy/whole_number.hpp"

namespace morvex {
namespace {

// OpenVPN reads its configuration through a fixed line buffer; a longer line
// may be read as several, and the tail of a harmless line (or of a line inside
// an inline block) would then act as a directive of its own.
constexpr std::size_t max_line_bytes = 255;

constexpr std::string_view net_gateway = "net_gateway";

// OpenVPN leaves only this many seconds after its exit event when the profile
// asks it to notify the server first; every disconnect and switch waits for it.
constexpr std::string_view exit_notify_directive = "explicit-exit-notify";
constexpr std::uint32_t max_exit_notify_seconds = 3;
constexpr std::string_view capped_exit_notify_line = "explicit-exit-notify 3";

std::unexpected<Failure> fail_with(std::string_view message) { return fail(std::string(message)); }

// True for a byte that can neither be white space nor begin a multi-byte
// character: a printable ASCII character other than the space.
bool is_plain_ascii(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x80;
}

// Splits the profile into lines exactly as ProfileLineReader does: at line
// feeds, a carriage return just before the line feed going with it, a final
// line without a line feed still counting, each line trimmed of white space at
// both ends. It runs for every line, so it lives here where it can be inlined:
// most lines begin and end with a plain ASCII character, and only the others
// need the Unicode-aware trim.
class LineSplitter {
 public:
  explicit LineSplitter(std::string_view text) : rest_(text) {}

  bool next(std::string_view& line) {
    if (rest_.empty()) return false;
    const auto end = rest_.find('\n');
    if (end == std::string_view::npos) {
      line = rest_;
      rest_ = {};
    } else {
      line = rest_.substr(0, end);
      rest_.remove_prefix(end + 1);
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || !is_plain_ascii(line.front()) || !is_plain_ascii(line.back())) {
      line = trim_white_space(line);
    }
    return true;
  }

 private:
  std::string_view rest_;
};

// Bytes that make a line worth a closer look: control characters (tab
// among them), the backslash, and the underscore of net_gateway. 0x7F is
// found together with the underscore, from which it differs in one bit.
constexpr bool is_notable(char c) {
  const auto byte = static_cast<std::uint8_t>(c);
  return (byte < 0x20) | (byte == '\\') | ((byte & 0xDF) == '_');
}

// Whether any byte of the line is notable. Branch-free blocks of 16 bytes,
// which the compiler turns into vector code; the last block overlaps the one
// before it instead of leaving a tail to check byte by byte. Each byte of
// `found` is all ones or all zeros, so the block reads as two 64-bit words.
bool has_notable_byte(std::string_view line) {
  constexpr std::size_t block = 16;
  if (line.size() < block) return std::ranges::any_of(line, is_notable);
  std::array<std::uint8_t, block> found{};
  const auto scan = [&](std::size_t at) {
    for (std::size_t k = 0; k < block; ++k) {
      found[k] |= static_cast<std::uint8_t>(-static_cast<int>(is_notable(line[at + k])));
    }
  };
  for (std::size_t at = 0; at + block <= line.size(); at += block) scan(at);
  scan(line.size() - block);
  std::array<std::uint64_t, 2> words{};
  static_assert(sizeof words == sizeof found);
  std::memcpy(words.data(), found.data(), sizeof words);
  return (words[0] | words[1]) != 0;
}

// Checks every line the sanitiser writes, directive or block content: short
// enough to be read as one line, no backslash (OpenVPN's escape character),
// no control character but tab, and no mention of the pre-tunnel gateway in
// any form of quoting. Most lines have no notable byte and pass at once.
bool is_safe_line(std::string_view line) {
  if (line.size() > max_line_bytes) return false;
  if (!has_notable_byte(line)) return true;
  for (const char c : line) {
    const auto byte = static_cast<std::uint8_t>(c);
    if ((byte < 0x20 && byte != '\t') || byte == '\\' || byte == 0x7F) return false;
  }
  return line.find(net_gateway) == std::string_view::npos;
}

bool is_end_tag(std::string_view line, std::string_view tag) {
  return line.size() == tag.size() + 3 && line.starts_with("</") && line.ends_with('>') &&
         line.substr(2, tag.size()) == tag;
}

bool arguments_allowed(const Directive& directive, std::string_view line) {
  switch (directive.arguments) {
    case DirectiveArguments::any: return true;
    case DirectiveArguments::none: return line == directive.name;
    case DirectiveArguments::exact_lines:
      return std::ranges::find(directive.exact_lines, line) != directive.exact_lines.end();
    case DirectiveArguments::refused: return false;
  }
  return false;
}

bool is_dropped(const Directive& directive, bool provider_chosen) {
  switch (directive.drop) {
    case DirectiveDrop::never: return false;
    case DirectiveDrop::when_provider_chosen: return provider_chosen;
    case DirectiveDrop::always: return true;
  }
  return false;
}

// What becomes of one line of the profile.
enum class Verdict {
  keep,         // written to the output as trimmed
  cap,          // written as the capped exit notification
  drop,         // left out (comments, enforced lines, dropped directives)
  unsupported,  // the profile is refused as unsupported
  invalid,      // the profile is refused as invalid
};

class Sanitizer {
 public:
  Sanitizer(std::size_t text_size, bool provider_chosen) : provider_chosen_(provider_chosen) {
    written_.reserve(text_size + 512);
  }

  // Decides about one trimmed line and notes what it tells about the profile.
  Verdict read(std::string_view line) {
    if (line.empty() || line.front() == '#' || line.front() == ';') return Verdict::drop;
    // The enforced lines are appended at the end, so they never appear twice.
    if (is_enforced_line(line)) return Verdict::drop;
    if (!open_tag_.empty()) return read_block_line(line);
    if (line.front() == '<') return open_block(line);
    if (line == dns_filter_line || line == dns_option_filter_line) return Verdict::keep;
    return read_directive(line);
  }

  void keep(std::string_view line) { written_.append(line).push_back('\n'); }

  Result<std::string> finish(DnsServers dns_servers) && {
    if (!open_tag_.empty() || !(marks_ & bit(DirectiveMark::client)) ||
        !(marks_ & bit(DirectiveMark::remote))) {
      return fail_with(policy_message::unsupported_profile);
    }
    if (!(marks_ & bit(DirectiveMark::server_certificate))) keep(server_certificate_line);
    if (!(marks_ & bit(DirectiveMark::minimum_tls_version))) keep(minimum_tls_version_line);
    for (const auto server : dns_servers) {
      written_.append(dns_server_line_prefix).append(server).push_back('\n');
    }
    for (const auto line : enforced_lines()) keep(line);
    if (provider_chosen_) {
      keep(dns_filter_line);
      keep(dns_option_filter_line);
    }
    return std::move(written_);
  }

 private:
  static unsigned bit(DirectiveMark mark) { return 1U << static_cast<unsigned>(mark); }

  // Inside a block only its own end tag may begin with '<'.
  Verdict read_block_line(std::string_view line) {
    if (line.front() == '<') {
      if (!is_end_tag(line, open_tag_)) return Verdict::unsupported;
      open_tag_ = {};
      return Verdict::keep;
    }
    return is_safe_line(line) ? Verdict::keep : Verdict::unsupported;
  }

  Verdict open_block(std::string_view line) {
    if (line.size() == 1 || line.back() != '>') return Verdict::invalid;
    const auto tag = line.substr(1, line.size() - 2);
    if (!is_allowed_inline_tag(tag)) return Verdict::unsupported;
    open_tag_ = tag;
    return Verdict::keep;
  }

  Verdict read_directive(std::string_view line) {
    const auto* directive = find_directive(first_word(line));
    if (directive == nullptr || !is_safe_line(line) || !arguments_allowed(*directive, line)) {
      return Verdict::unsupported;
    }
    // Only directives count as marks: a line inside an inline block that
    // looks like "remote-cert-tls server" does not require anything.
    marks_ |= bit(directive->mark);
    if (directive->name == exit_notify_directive) return exit_notify_verdict(line);
    return is_dropped(*directive, provider_chosen_) ? Verdict::drop : Verdict::keep;
  }

  // OpenVPN waits the given number of seconds after its exit event before it
  // leaves (src/openvpn/sig.c), and the teardown ends it after 10 s: a
  // longer wait is written as the longest one allowed.
  static Verdict exit_notify_verdict(std::string_view line) {
    auto seconds = line.substr(exit_notify_directive.size());
    seconds.remove_prefix(std::min(seconds.find_first_not_of(" \t"), seconds.size()));
    const bool number =
        !seconds.empty() &&
        seconds.find_first_not_of("0123456789", seconds.front() == '+') == std::string_view::npos &&
        seconds != "+";
    return number && !parse_whole_number(seconds, max_exit_notify_seconds) ? Verdict::cap
                                                                           : Verdict::keep;
  }

  bool provider_chosen_;
  // The tag of the open inline block; empty outside blocks (no allowed tag is empty).
  std::string_view open_tag_;
  unsigned marks_ = 0;
  std::string written_;
};

}  // namespace

Result<std::string> sanitize_openvpn_profile(std::string_view text, DnsServers dns_servers) {
  Sanitizer sanitizer(text.size(), !dns_servers.empty());
  LineSplitter lines(text);
  std::string_view line;
  while (lines.next(line)) {
    switch (sanitizer.read(line)) {
      case Verdict::keep: sanitizer.keep(line); break;
      case Verdict::cap: sanitizer.keep(capped_exit_notify_line); break;
      case Verdict::drop: break;
      case Verdict::unsupported: return fail_with(policy_message::unsupported_profile);
      case Verdict::invalid: return fail_with(policy_message::invalid_openvpn_profile);
    }
  }
  return std::move(sanitizer).finish(dns_servers);
}

}  // namespace morvex
