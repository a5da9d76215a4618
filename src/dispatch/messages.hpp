#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/failure.hpp"
#include "dispatch/reply_values.hpp"
#include "policy/profile.hpp"

namespace morvex {

// Largest request body the service reads and parses.
inline constexpr std::size_t max_request_bytes = 131072;

namespace request {
struct Capabilities {};
struct Status {};
struct Traffic {};
struct Cancel {};
struct Disconnect {};
struct Connect {
  Profile profile;
};
}  // namespace request

using Request = std::variant<request::Capabilities, request::Status, request::Traffic,
                             request::Cancel, request::Disconnect, request::Connect>;

// The result of a successful action: null, capabilities, a status, or
// traffic totals (where an absent total is written as null).
using ReplyValue = std::variant<std::monostate, EngineCapabilities, VpnStatus, TrafficTotals>;

Result<Request> parse_request(std::string_view body);

// Writes {"result":value} or {"error":message} as compact JSON with members
// sorted by name. Never fails.
std::string write_reply(const Result<ReplyValue>& reply);

VpnStatus disconnected_status();
VpnStatus error_status(std::string message);
ConnectionInfo connection_info_from_profile(const Profile& profile);

}  // namespace morvex
