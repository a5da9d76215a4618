// The input is read as the output of `openvpn --version`. Invariants: a
// passing banner starts with "OpenVPN " and keeps passing whatever lines come
// after it (the first OpenSSL line decides, later ones are never read); a
// version number read from a word has exactly two dots and digits elsewhere,
// and its decimal form reads back as the same number.
#include <cstdint>
#include <string>
#include <string_view>

#include "windows/engine/portable/openvpn_version.hpp"

namespace {

void check_version_word(std::string_view word) {
  const auto version = morvex::parse_version_number(word);
  if (!version) return;
  std::size_t dots = 0;
  for (const char c : word) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      __builtin_trap();
    }
  }
  if (dots != 2) __builtin_trap();
  const std::string canonical = std::to_string(version->major) + "." +
                                std::to_string(version->minor) + "." +
                                std::to_string(version->patch);
  if (morvex::parse_version_number(canonical) != version) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (morvex::openvpn_banner_passes(text)) {
    if (!text.starts_with("OpenVPN ")) __builtin_trap();
    if (!morvex::openvpn_banner_passes(std::string(text) +
                                       "\nlibrary versions: OpenSSL 1.0.2 refused\n")) {
      __builtin_trap();
    }
  }

  // Every line, and every space-separated word of it, as a version number.
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = std::min(text.find_first_of("\n ", start), text.size());
    check_version_word(text.substr(start, end - start));
    start = end + 1;
  }
  check_version_word(text);
  return 0;
}
