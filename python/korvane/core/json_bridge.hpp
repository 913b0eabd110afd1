// The module's JSON: the value tree (json/value.hpp), the strict parser
// (json/parse.hpp) and the compact writer (json/write.hpp), all pure C++.
// Turning Python values into JSON text through the interpreter's own
// `json.dumps` is the glue's part, in python_json.hpp.
#pragma once

#include "json/parse.hpp"
#include "json/value.hpp"
#include "json/write.hpp"
