#include "call_binding.hpp"

#include <vector>

#include "py_str.hpp"

namespace korvane {

namespace {

// Binds the call with the keyword names read as UTF-8 views (they stay alive
// in the caller's keyword tuple or dictionary for the whole call). A name with
// lone surrogates names no parameter: it is read with its surrogates as they
// are (the message shows the name as written, as the interpreter's own
// functions do), its bytes held in `kept` until the message is made.
Result<Ok> finish_binding(const ArgumentSignature& signature, std::size_t positional_count,
                          std::span<PyObject* const> keyword_names, PyObject* const* positional,
                          PyObject* const* keyword_values, std::span<PyObject*> out) {
  std::vector<std::string_view> names;
  std::vector<PyRef> kept;
  names.reserve(keyword_names.size());
  for (PyObject* name : keyword_names) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name, &size);
    if (data == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return take_pending();
      PyErr_Clear();
      PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
      if (!bytes) return take_pending();
      data = PyBytes_AS_STRING(bytes.get());
      size = PyBytes_GET_SIZE(bytes.get());
      kept.push_back(std::move(bytes));
    }
    names.emplace_back(data, static_cast<std::size_t>(size));
  }
  auto bound = bind_arguments(signature, positional_count, names);
  if (!bound) return module_error(ErrorType::type_error, std::move(bound).error());
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    const auto& slot = bound->slots[i];
    switch (slot.source) {
      case BoundArguments::Source::absent:
        out[i] = nullptr;
        break;
      case BoundArguments::Source::positional:
        out[i] = positional[slot.index];
        break;
      case BoundArguments::Source::keyword:
        out[i] = keyword_values[slot.index];
        break;
    }
  }
  return Ok{};
}

}  // namespace

Result<Ok> bind_fastcall(const ArgumentSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         std::span<PyObject*> out) {
  const std::size_t positional = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargs)));
  const std::size_t keywords = kwnames == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
  PyObject* const* names = kwnames == nullptr ? nullptr : reinterpret_cast<PyTupleObject*>(kwnames)->ob_item;
  return finish_binding(signature, positional, std::span<PyObject* const>(names, keywords), args, args + positional,
                        out);
}

Result<Ok> bind_tuple_call(const ArgumentSignature& signature, PyObject* args, PyObject* kwargs,
                           std::span<PyObject*> out) {
  const std::size_t positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  std::vector<PyObject*> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) return module_error(ErrorType::type_error, "keywords must be strings");
      names.push_back(key);
      values.push_back(value);
    }
  }
  return finish_binding(signature, positional, names, reinterpret_cast<PyTupleObject*>(args)->ob_item, values.data(),
                        out);
}

Result<std::string> str_argument(PyObject* value, std::string_view parameter) {
  if (!PyUnicode_Check(value)) {
    auto message = cast_message(value, "str");
    if (!message) return unexpected(std::move(message).error());
    return module_error(ErrorType::type_error, argument_cast_message(parameter, *message));
  }
  return utf8_of(value);
}

}  // namespace korvane
