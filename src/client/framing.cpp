#include "client/framing.hpp"

namespace morvex::client {

std::string frame_length(std::uint32_t length) {
  std::string bytes(frame_length_bytes, '\0');
  for (std::size_t i = 0; i < frame_length_bytes; ++i) {
    bytes[i] = static_cast<char>((length >> (8 * i)) & 0xFFu);
  }
  return bytes;
}

std::string frame(std::string_view body) {
  return frame_length(static_cast<std::uint32_t>(body.size())).append(body);
}

std::uint32_t decode_frame_length(std::string_view bytes) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < frame_length_bytes && i < bytes.size(); ++i) {
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return length;
}

}  // namespace morvex::client
