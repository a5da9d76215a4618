#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvex::client {

// A frame is a 4-byte little-endian body length, then the body.
inline constexpr std::size_t frame_length_bytes = 4;

std::string frame_length(std::uint32_t length);
std::string frame(std::string_view body);
// `bytes` holds at least frame_length_bytes bytes.
std::uint32_t decode_frame_length(std::string_view bytes);

}  // namespace morvex::client
