// Binding the arguments of a call from Python to a method's signature, in
// the interpreter's two calling conventions, and taking the bound values in
// the forms the entry points read.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "arg_binding.hpp"
#include "errors.hpp"

namespace korvane {

// Binds a call to `signature`, filling `out` (one slot per parameter) with a
// borrowed object per parameter, null when the parameter was not given.
// Vectorcall form: positional array plus a tuple of keyword names.
Result<Ok> bind_fastcall(const ArgumentSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         std::span<PyObject*> out);
// Classic form: an argument tuple plus a keyword dictionary (may be null).
Result<Ok> bind_tuple_call(const ArgumentSignature& signature, PyObject* args, PyObject* kwargs,
                           std::span<PyObject*> out);

// Takes a bound argument as UTF-8 text: it must be a str (or subclass).
Result<std::string> str_argument(PyObject* value, std::string_view parameter);

// `None` and an omitted argument are the same: both become null.
inline PyObject* none_as_absent(PyObject* value) { return value == Py_None ? nullptr : value; }

}  // namespace korvane
