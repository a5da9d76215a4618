#pragma once

#include <string>

#include "client/client_values.hpp"
#include "policy/profile.hpp"

namespace morvex::client {

// Request bodies, compact JSON as the service reads them.
std::string capabilities_request();
std::string status_request();
std::string traffic_request();
std::string cancel_request();
std::string disconnect_request();
// A connect with every member of the profile. Fails with invalid_request
// when a text is not valid UTF-8 ("Invalid VPN request.") or the body would
// exceed the largest body ("VPN request is too large."), so neither is sent.
Outcome<std::string> connect_request(const Profile& profile);

}  // namespace morvex::client
