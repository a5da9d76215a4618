#include "policy/openvpn_profile.hpp"

#include <algorithm>
#include <cstdint>

#include "policy/openvpn_directives.hpp"
#include "policy/policy_messages.hpp"
#include "policy/unicode_text.hpp"

namespace morvex {
namespace {

// OpenVPN reads its configuration through a fixed line buffer; a longer line
// may be read as several, and the tail of a harmless line (or of a line inside
// an inline block) would then act as a directive of its own.
constexpr std::size_t max_line_bytes = 255;

constexpr std::string_view net_gateway = "net_gateway";

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
// both ends. Most lines begin and end with a plain ASCII character; only the
// others need the Unicode-aware trim.
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

// Checks every line the sanitiser writes, directive or block content: short
// enough to be read as one line, no backslash (OpenVPN's escape character),
// no control character but tab, and no mention of the pre-tunnel gateway in
// any form of quoting.
bool is_safe_line(std::string_view line) {
  if (line.size() > max_line_bytes) return false;
  // A branch-free first pass, which the compiler turns into vector code, looks
  // for any byte that needs a closer look; most lines have none.
  std::uint8_t notable = 0;
  for (const char c : line) {
    const auto byte = static_cast<std::uint8_t>(c);
    notable |=
        static_cast<std::uint8_t>((byte < 0x20) | (byte == '\\') | (byte == '_') | (byte == 0x7F));
  }
  if (notable == 0) return true;
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

class Sanitizer {
 public:
  Sanitizer(std::size_t text_size, bool provider_chosen) : provider_chosen_(provider_chosen) {
    written_.reserve(text_size + 512);
  }

  Result<void> read(std::string_view line) {
    if (line.empty() || line.front() == '#' || line.front() == ';') return {};
    // The enforced lines are appended at the end, so they never appear twice.
    if (is_enforced_line(line)) return {};
    if (!open_tag_.empty()) return read_block_line(line);
    if (line.front() == '<') return open_block(line);
    if (line == dns_filter_line) return keep(line);
    return read_directive(line);
  }

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
    if (provider_chosen_) keep(dns_filter_line);
    return std::move(written_);
  }

 private:
  static unsigned bit(DirectiveMark mark) { return 1U << static_cast<unsigned>(mark); }

  Result<void> keep(std::string_view line) {
    written_.append(line).push_back('\n');
    return {};
  }

  // Inside a block only its own end tag may begin with '<'.
  Result<void> read_block_line(std::string_view line) {
    if (line.front() == '<') {
      if (!is_end_tag(line, open_tag_)) return fail_with(policy_message::unsupported_profile);
      open_tag_ = {};
      return keep(line);
    }
    if (!is_safe_line(line)) return fail_with(policy_message::unsupported_profile);
    return keep(line);
  }

  Result<void> open_block(std::string_view line) {
    if (line.size() == 1 || line.back() != '>') {
      return fail_with(policy_message::invalid_openvpn_profile);
    }
    const auto tag = line.substr(1, line.size() - 2);
    if (!is_allowed_inline_tag(tag)) return fail_with(policy_message::unsupported_profile);
    open_tag_ = tag;
    return keep(line);
  }

  Result<void> read_directive(std::string_view line) {
    const auto* directive = find_directive(first_word(line));
    if (directive == nullptr || !is_safe_line(line) || !arguments_allowed(*directive, line)) {
      return fail_with(policy_message::unsupported_profile);
    }
    // Only directives count as marks: a line inside an inline block that
    // looks like "remote-cert-tls server" does not require anything.
    marks_ |= bit(directive->mark);
    if (is_dropped(*directive, provider_chosen_)) return {};
    return keep(line);
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
    if (auto read = sanitizer.read(line); !read) return std::unexpected(std::move(read.error()));
  }
  return std::move(sanitizer).finish(dns_servers);
}

}  // namespace morvex
