#include "policy/wireguard_profile.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "policy/ip_address.hpp"
#include "policy/policy_messages.hpp"
#include "policy/profile_lines.hpp"
#include "policy/unicode_text.hpp"
#include "policy/whole_number.hpp"
#include "policy/wireguard_values.hpp"

namespace morvex {
namespace {

enum class Section { none, interface, peer };

enum class Key {
  private_key,
  address,
  dns,
  mtu,
  listen_port,
  public_key,
  preshared_key,
  allowed_ips,
  endpoint,
  persistent_keepalive,
};

struct KeySpec {
  Section section;
  std::string_view name;
  Key key;
};

// The only keys a profile may hold, by section, in the order of Key. Each
// may appear once.
constexpr std::array<KeySpec, 10> allowed_keys = {{
    {Section::interface, "PrivateKey", Key::private_key},
    {Section::interface, "Address", Key::address},
    {Section::interface, "DNS", Key::dns},
    {Section::interface, "MTU", Key::mtu},
    {Section::interface, "ListenPort", Key::listen_port},
    {Section::peer, "PublicKey", Key::public_key},
    {Section::peer, "PresharedKey", Key::preshared_key},
    {Section::peer, "AllowedIPs", Key::allowed_ips},
    {Section::peer, "Endpoint", Key::endpoint},
    {Section::peer, "PersistentKeepalive", Key::persistent_keepalive},
}};

static_assert([] {
  for (std::size_t i = 0; i < allowed_keys.size(); ++i) {
    if (static_cast<std::size_t>(allowed_keys[i].key) != i) return false;
  }
  return true;
}());

// Split-tunnel lists of the WireGuard client: dropped wherever they stand.
constexpr std::array<std::string_view, 2> dropped_keys = {"IncludedApplications",
                                                          "ExcludedApplications"};

struct WholeNumberKey {
  Key key;
  std::uint32_t min;
  std::uint32_t max;
};

constexpr std::array<WholeNumberKey, 3> whole_number_keys = {{
    {Key::mtu, 1280, 9000},
    {Key::listen_port, 0, 65535},
    {Key::persistent_keepalive, 0, 65535},
}};

constexpr std::string_view interface_header = "[Interface]";
constexpr std::string_view peer_header = "[Peer]";
constexpr std::string_view full_ipv4 = "0.0.0.0/0";
constexpr std::string_view full_ipv6 = "::/0";

std::unexpected<Failure> fail_with(std::string_view message) { return fail(std::string(message)); }

std::optional<Key> find_key(Section section, std::string_view name) {
  for (const auto& allowed : allowed_keys) {
    if (allowed.section == section && allowed.name == name) return allowed.key;
  }
  return std::nullopt;
}

bool is_dropped_key(std::string_view name) {
  for (const auto dropped : dropped_keys) {
    if (dropped == name) return true;
  }
  return false;
}

// Calls `check` on every comma-separated item of `list`, trimmed, left to
// right, and stops at the first failure.
template <typename Check>
Result<void> check_each_item(std::string_view list, Check check) {
  while (true) {
    const auto comma = list.find(',');
    if (auto checked = check(trim_white_space(list.substr(0, comma))); !checked) return checked;
    if (comma == std::string_view::npos) return {};
    list.remove_prefix(comma + 1);
  }
}

// Address/prefix items, written as their checks give them and joined by ", ".
Result<std::string> prefix_list(std::string_view list) {
  std::string written;
  auto checked = check_each_item(list, [&](std::string_view item) -> Result<void> {
    auto written_item = address_prefix_item(item);
    if (!written_item) return std::unexpected(std::move(written_item.error()));
    written.append(written.empty() ? "" : ", ").append(*written_item);
    return {};
  });
  if (!checked) return std::unexpected(std::move(checked.error()));
  return written;
}

// AllowedIPs: routing both 0.0.0.0/0 and ::/0 is judged first, then the first
// item that is not a valid address/prefix item.
Result<std::string> allowed_ips(std::string_view list) {
  bool full_ipv4_seen = false;
  bool full_ipv6_seen = false;
  (void)check_each_item(list, [&](std::string_view item) -> Result<void> {
    full_ipv4_seen |= item == full_ipv4;
    full_ipv6_seen |= item == full_ipv6;
    return {};
  });
  if (!full_ipv4_seen || !full_ipv6_seen) return fail_with(policy_message::not_full_tunnel);
  return prefix_list(list);
}

// No value may hold a control character but tab: the DNS list of a profile
// without provider is written as it came, with the padding of its items, and
// a carriage return, vertical tab or form feed there would break the written
// profile's plain line structure. The rule holds for every value alike.
bool is_writable_value(std::string_view value) {
  return std::ranges::none_of(value, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
  });
}

std::string provider_dns_line(DnsServers servers) {
  std::string line = "DNS = ";
  for (std::size_t i = 0; i < servers.size(); ++i) {
    if (i > 0) line += ", ";
    line += servers[i];
  }
  line += '\n';
  return line;
}

// The values read, by key, and each value as it is written.
struct ProfileValues {
  std::array<std::optional<std::string_view>, allowed_keys.size()> read;
  std::array<std::string, allowed_keys.size()> written;

  std::optional<std::string_view>& operator[](Key key) {
    return read[static_cast<std::size_t>(key)];
  }
  std::string& written_value(Key key) { return written[static_cast<std::size_t>(key)]; }
};

Result<void> check_key(const std::optional<std::string_view>& value) {
  if (!value) return fail_with(policy_message::incomplete_wireguard_profile);
  if (!is_wireguard_key(*value)) return fail_with(policy_message::unsupported_profile);
  return {};
}

// Checks a required value with `check` and keeps what it gives for writing.
template <typename Check>
Result<void> check_required(ProfileValues& values, Key key, Check check) {
  const auto value = values[key];
  if (!value) return fail_with(policy_message::incomplete_wireguard_profile);
  auto written = check(*value);
  if (!written) return std::unexpected(std::move(written.error()));
  values.written_value(key) = std::move(*written);
  return {};
}

Result<void> check_values(ProfileValues& values, bool provider_chosen) {
  if (auto checked = check_key(values[Key::private_key]); !checked) return checked;
  if (auto checked = check_key(values[Key::public_key]); !checked) return checked;
  if (values[Key::public_key] == zero_wireguard_key) {
    return fail_with(policy_message::unsupported_profile);
  }
  if (values[Key::preshared_key] && !is_wireguard_key(*values[Key::preshared_key])) {
    return fail_with(policy_message::unsupported_profile);
  }
  if (auto checked = check_required(values, Key::address, prefix_list); !checked) return checked;
  if (auto checked = check_required(values, Key::endpoint, endpoint_value); !checked) {
    return checked;
  }
  if (auto checked = check_required(values, Key::allowed_ips, allowed_ips); !checked) {
    return checked;
  }

  for (const auto& rule : whole_number_keys) {
    const auto value = values[rule.key];
    if (!value) continue;
    const auto number = parse_whole_number(*value, UINT32_MAX);
    if (!number || *number < rule.min || *number > rule.max) {
      return fail_with(policy_message::unsupported_profile);
    }
    values.written_value(rule.key) = std::to_string(*number);
  }

  if (!provider_chosen) {
    const auto dns = values[Key::dns];
    if (!dns) return fail_with(policy_message::incomplete_wireguard_profile);
    return check_each_item(*dns, [](std::string_view item) -> Result<void> {
      if (!ip_address_family(item)) return fail_with(policy_message::invalid_dns_server);
      return {};
    });
  }
  return {};
}

}  // namespace

Result<std::string> validate_wireguard_profile(std::string_view text, DnsServers dns_servers) {
  const bool provider_chosen = !dns_servers.empty();

  ProfileValues values;
  // The keys in the order they came; each section's keys are written in it.
  std::vector<Key> order;
  bool interface_seen = false;
  bool peer_seen = false;
  Section section = Section::none;
  // A value that would break the written text's line structure is refused
  // only after the value checks, so that a control character in a value gets
  // the sentence of the check that owns that value.
  bool unwritable_value = false;

  ProfileLineReader lines(text);
  while (const auto line = lines.next()) {
    if (line->empty() || line->front() == '#') continue;

    if (*line == interface_header || *line == peer_header) {
      const bool is_peer = *line == peer_header;
      bool& seen = is_peer ? peer_seen : interface_seen;
      if (seen) return fail_with(policy_message::unsupported_profile);
      seen = true;
      section = is_peer ? Section::peer : Section::interface;
      continue;
    }

    const auto equals = line->find('=');
    if (equals == std::string_view::npos)
      return fail_with(policy_message::invalid_wireguard_profile);
    const auto name = trim_white_space(line->substr(0, equals));
    const auto value = trim_white_space(line->substr(equals + 1));
    if (is_dropped_key(name)) continue;

    const auto key = find_key(section, name);
    if (!key || value.empty() || values[*key]) {
      return fail_with(policy_message::unsupported_profile);
    }
    values[*key] = value;
    order.push_back(*key);
    // The provider's servers replace a DNS value unseen.
    if (*key != Key::dns || !provider_chosen) unwritable_value |= !is_writable_value(value);
  }

  if (auto checked = check_values(values, provider_chosen); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (unwritable_value) return fail_with(policy_message::unsupported_profile);

  // [Interface] is written first whatever the input's order: WireGuard's
  // reader takes a [Peer] that stands before [Interface] as two peers. The
  // provider's servers replace the profile's own DNS line where it stands, or
  // end the [Interface] section.
  const std::string dns_line = provider_chosen ? provider_dns_line(dns_servers) : std::string();
  std::string written;
  written.reserve(text.size() + dns_line.size() + 1);
  for (const auto& [header, written_section] :
       {std::pair{interface_header, Section::interface}, std::pair{peer_header, Section::peer}}) {
    written.append(header).push_back('\n');
    for (const auto key : order) {
      const auto& entry = allowed_keys[static_cast<std::size_t>(key)];
      if (entry.section != written_section) continue;
      if (key == Key::dns && provider_chosen) {
        written.append(dns_line);
        continue;
      }
      const auto& normalised = values.written_value(key);
      written.append(entry.name).append(" = ");
      written.append(normalised.empty() ? *values[key] : normalised).push_back('\n');
    }
    if (written_section == Section::interface && provider_chosen && !values[Key::dns]) {
      written.append(dns_line);
    }
  }
  return written;
}

}  // namespace morvex
