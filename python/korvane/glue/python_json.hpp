// Python values to JSON text, always through the interpreter's own
// `json.dumps` with its default settings: what it accepts, rejects and writes
// is what the module accepts, rejects and writes.
#pragma once

#include <string>
#include <string_view>

#include "errors.hpp"

namespace korvane {

// JSON text: the str that `dumps` returned (kept alive here) and a view of its
// UTF-8 form, valid while `text` is held. For an absent value `text` is null
// and `utf8` is "null".
struct JsonText {
  PyRef text;
  std::string_view utf8;
};

// The JSON text of `value`; `null` for an absent value (null pointer) without
// calling the interpreter. Exceptions from importing `json` or from `dumps`
// pass through unchanged; a result that is not a str with a UTF-8 form is the
// ValueError "{label} must be JSON-compatible: {error}".
Result<JsonText> python_to_json_text(PyObject* value, std::string_view label);

}  // namespace korvane
