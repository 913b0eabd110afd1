// Python values to JSON text, always through the interpreter's own
// `json.dumps` with its default settings: what it accepts, rejects and writes
// is what the module accepts, rejects and writes.
#pragma once

#include <string>
#include <string_view>

#include "errors.hpp"

namespace korvane {

// The JSON text of `value` as UTF-8; `null` for an absent value (null pointer)
// without calling the interpreter. Exceptions from importing `json` or from
// `dumps` pass through unchanged; a result that is not a str with a UTF-8 form
// is the ValueError "{label} must be JSON-compatible: {error}".
Result<std::string> python_to_json_text(PyObject* value, std::string_view label);

// The same text without copying it: the str that `dumps` returned, and a view
// of its UTF-8 form that stays valid while `text` is held. For an absent
// value `text` is null and `utf8` is "null".
struct JsonText {
  PyRef text;
  std::string_view utf8;
};
Result<JsonText> python_to_json_view(PyObject* value, std::string_view label);

}  // namespace korvane
