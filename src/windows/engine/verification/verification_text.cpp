#include "windows/engine/verification/verification_text.hpp"

#include <nlohmann/json.hpp>

#include "policy/ip_address.hpp"
#include "policy/unicode_text.hpp"

namespace morvex {
namespace {

// Calls `visit` with each line of `text`, without its line feed and without a
// carriage return before it.
template <typename Visit>
bool for_each_line(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (visit(line)) return true;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return false;
}

void collect_addresses(std::string_view list, std::vector<std::string>& servers) {
  while (true) {
    const auto comma = list.find(',');
    const auto piece = trim_white_space(list.substr(0, comma));
    if (ip_address_family(piece)) servers.emplace_back(piece);
    if (comma == std::string_view::npos) return;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace

std::vector<std::string> expected_dns_servers(std::string_view profile_text) {
  static constexpr std::string_view prefixes[] = {"DNS = ", "dhcp-option DNS "};
  std::vector<std::string> servers;
  for_each_line(profile_text, [&](std::string_view line) {
    for (const auto prefix : prefixes) {
      if (line.starts_with(prefix)) collect_addresses(line.substr(prefix.size()), servers);
    }
    return false;
  });
  return servers;
}

std::string script_input(std::string_view adapter, const std::vector<std::string>& dns_servers) {
  // Members in this order: adapter, then dns.
  nlohmann::ordered_json input = nlohmann::ordered_json::object();
  input["adapter"] = std::string(adapter);
  input["dns"] = dns_servers;
  return input.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<std::string> script_source_address(std::string_view output) {
  const auto document = nlohmann::json::parse(output, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) return std::nullopt;
  const auto source = document.find("source");
  if (source == document.end() || !source->is_string()) return std::nullopt;
  const auto& text = source->get_ref<const std::string&>();
  if (!is_ipv4_address(text)) return std::nullopt;
  return text;
}

std::optional<std::string> trace_public_address(std::string_view body) {
  std::optional<std::string> address;
  for_each_line(body, [&](std::string_view line) {
    if (!line.starts_with("ip=")) return false;
    line.remove_prefix(3);
    if (ip_address_family(line)) address = std::string(line);
    return true;
  });
  return address;
}

}  // namespace morvex
