// The Python-facing shell: the module object, the three classes, argument
// binding against the interpreter's calling conventions, the `self` check and
// the creation of instances handed back to Python.
#pragma once

#include <array>
#include <span>
#include <optional>
#include <string>
#include <vector>

#include "arg_binding.hpp"
#include "errors.hpp"
#include "provider_metadata.hpp"

namespace korvane {

struct RuntimeObject {
  PyObject_HEAD
  std::vector<BundleProvider> providers;
};

struct PreparedRunObject {
  PyObject_HEAD
  // Released after `provider` (members are destroyed in reverse order).
  PyRef prepared;
  BundleProvider provider;
};

struct FileRecorderObject {
  PyObject_HEAD
  std::string path;  // UTF-8, never empty
};

// The process-wide type objects, created on first use.
Result<PyTypeObject*> runtime_type();
Result<PyTypeObject*> prepared_run_type();
Result<PyTypeObject*> file_recorder_type();

// Allocates an instance through the type's allocation slot (the generic
// allocator when it has none); the caller constructs the fields in place.
Result<PyObject*> allocate_instance(PyTypeObject* type);

// New instances owning the given fields.
Result<PyRef> new_runtime(std::vector<BundleProvider>&& providers);
Result<PyRef> new_prepared_run(BundleProvider&& provider, PyRef&& prepared);

// Binds a call to `signature`, filling `out` (one slot per parameter) with a
// borrowed object per parameter, null when the parameter was not given.
// Vectorcall form: positional array plus a tuple of keyword names.
Result<Ok> bind_fastcall(const ArgumentSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         std::span<PyObject*> out);
// Classic form: an argument tuple plus a keyword dictionary (may be null).
Result<Ok> bind_tuple_call(const ArgumentSignature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Takes a bound argument as UTF-8 text: it must be a str (or subclass).
Result<std::string> str_argument(PyObject* value, std::string_view parameter);

// `None` and an omitted argument are the same: both become null.
inline PyObject* none_as_absent(PyObject* value) { return value == Py_None ? nullptr : value; }

// FileRecorder: the constructor slot and the reading of its path for an
// execution; the reader returns nothing for an object of another type.
PyObject* file_recorder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
Result<std::optional<std::string>> read_recorder_path(PyObject* object);

}  // namespace korvane
