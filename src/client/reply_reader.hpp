#pragma once

#include <optional>
#include <string_view>

#include "client/client_values.hpp"

namespace morvex::client {

// Strict readers of reply bodies, one per action. A reply is either
// {"result":...} with the value that the action gives, or {"error":sentence},
// which comes back as an Error of kind service (refused for the fixed
// refusal). Anything else is an Error of kind malformed: a body above the
// largest body, text that is not UTF-8 JSON, a byte-order mark, a repeated or
// unknown member, a missing member, a value of the wrong type or range, a
// state that the action cannot give, or a status whose members contradict
// its state.
Outcome<Capabilities> read_capabilities_reply(std::string_view body);
Outcome<Status> read_status_reply(std::string_view body);
// Null when no tunnel is up or the totals cannot be read.
Outcome<std::optional<Traffic>> read_traffic_reply(std::string_view body);
Outcome<void> read_cancel_reply(std::string_view body);
// Always the disconnected state.
Outcome<Status> read_disconnect_reply(std::string_view body);
// Connected, or disconnected when the connect was cancelled.
Outcome<Status> read_connect_reply(std::string_view body);

}  // namespace morvex::client
