#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace morvex {

// One frame: a 4-byte little-endian body length, then the body. The same
// limit holds in both directions.
inline constexpr std::size_t frame_length_bytes = 4;
inline constexpr std::uint32_t max_message_bytes = 131072;

// What an untrusted client receives instead of a reply.
inline constexpr std::string_view refusal_body =
    R"({"error":"Only the Morvex VPN app can use this service."})";

std::array<char, frame_length_bytes> encode_frame_length(std::uint32_t length);
// `bytes` must hold exactly frame_length_bytes bytes.
std::uint32_t decode_frame_length(std::string_view bytes);

}  // namespace morvex
