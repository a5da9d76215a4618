#pragma once

// Shared by the profile policy fuzz targets: the first input byte picks the
// DNS provider, the rest is the profile text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace morvex::fuzz {

struct ProfileInput {
  std::vector<std::string_view> dns_servers;
  std::string_view text;
};

inline ProfileInput profile_input(const std::uint8_t* data, std::size_t size) {
  static constexpr std::array<std::string_view, 2> quad9 = {"9.9.9.9", "149.112.112.112"};
  static constexpr std::array<std::string_view, 2> cloudflare = {"1.1.1.1", "1.0.0.1"};
  ProfileInput input;
  if (size == 0) return input;
  switch (data[0] % 3) {
    case 1: input.dns_servers.assign(quad9.begin(), quad9.end()); break;
    case 2: input.dns_servers.assign(cloudflare.begin(), cloudflare.end()); break;
    default: break;
  }
  input.text = std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1);
  return input;
}

// The text's lines, split at line feeds (the text ends with one).
inline std::vector<std::string_view> written_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

inline void require(bool holds) {
  if (!holds) __builtin_trap();
}

}  // namespace morvex::fuzz
