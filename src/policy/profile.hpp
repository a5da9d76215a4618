#pragma once

#include <cstdint>
#include <string>

namespace morvex {

// The connection profile of a connect request, with its defaults applied: the
// back end's server, location and profile text, the user's DNS provider and
// recovery choice, and the OpenVPN credentials.
struct Profile {
  std::int32_t server_id = 0;
  std::string location;
  std::string protocol;
  std::string config;
  std::string dns = "server";
  std::string recovery_protocol;
  std::string username;
  std::string password;

  friend bool operator==(const Profile&, const Profile&) = default;
};

}  // namespace morvex
