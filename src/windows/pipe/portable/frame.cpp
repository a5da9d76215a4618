#include "windows/pipe/portable/frame.hpp"

namespace morvex {

std::array<char, frame_length_bytes> encode_frame_length(std::uint32_t length) {
  std::array<char, frame_length_bytes> bytes{};
  for (std::size_t i = 0; i < frame_length_bytes; ++i) {
    bytes[i] = static_cast<char>((length >> (8 * i)) & 0xFFu);
  }
  return bytes;
}

std::uint32_t decode_frame_length(std::string_view bytes) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < frame_length_bytes && i < bytes.size(); ++i) {
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return length;
}

}  // namespace morvex
