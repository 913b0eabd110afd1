// str in and out of the glue: the UTF-8 form of a str, a new str from UTF-8
// text, and the texts that name an object's type in messages.
#pragma once

#include <string>
#include <string_view>

#include "errors.hpp"

namespace korvane {

// The UTF-8 form of a str (or subclass); a str holding lone surrogates fails
// with the interpreter's encoding error.
Result<std::string> utf8_of(PyObject* text);

// A new str from UTF-8 text.
Result<PyRef> new_str(std::string_view text);

// The qualified name of an object's type as UTF-8 text.
Result<std::string> type_qualname(PyObject* value);

// The text "'{type}' object cannot be cast as '{target}'" for `value`, using
// the qualified name of its type. Fails only if the type's name cannot be read.
Result<std::string> cast_message(PyObject* value, const char* target);

}  // namespace korvane
