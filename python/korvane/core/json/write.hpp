// Compact writing of the value tree as JSON text.
#pragma once

#include <string>

#include "json/value.hpp"

namespace korvane {

// Compact text: no whitespace, keys in order, non-finite doubles as null.
std::string write_json_text(const JsonValue& value);
// Same, appended to `out`.
void write_json_text(const JsonValue& value, std::string& out);

}  // namespace korvane
