#pragma once

#include <string_view>

namespace morvex::testing {

// request_shapes.json, built into the test program: rows of request bodies
// with the parser's verdict ("accepted", or refused for its "shape" or its
// "text"), shared with the schema check (check_protocol.py requests).
extern const std::string_view request_shapes_json;

}  // namespace morvex::testing
