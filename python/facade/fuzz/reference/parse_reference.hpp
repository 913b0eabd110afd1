// The one-pass strict parser frozen as it was when the indexed parser came:
// the reference of the differential fuzz target and of the tests. Never part
// of the module.
#pragma once

#include <cstddef>
#include <string_view>

#include "json/parse.hpp"

namespace korvane::reference {

Expected<JsonValue, JsonParseError> parse_json_text_reference(std::string_view text);
Expected<JsonValue, JsonParseError> parse_json_text_reference(std::string_view text, std::size_t kept_depth);

}  // namespace korvane::reference
