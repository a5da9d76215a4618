#pragma once

#include <string>

namespace morvex::testing {

// Keeps a reply body that a test client received for the schema check that
// the Wine test scripts run at their end (check_protocol.py exchanges): each
// process appends "< BODY" lines to a file of its own in the folder that
// MORVEX_EXCHANGE_LOG names. Nothing is kept when the variable is unset.
void log_reply(const std::string& body);

}  // namespace morvex::testing
