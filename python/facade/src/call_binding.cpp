#include "call_binding.hpp"

#include <vector>

#include "py_str.hpp"

namespace korvane {

namespace {

Result<Ok> finish_binding(const ArgumentSignature& signature, std::size_t positional_count,
                          std::span<const std::string_view> keyword_names, PyObject* const* positional,
                          PyObject* const* keyword_values, std::span<PyObject*> out) {
  auto bound = bind_arguments(signature, positional_count, keyword_names);
  if (!bound) return module_error(ErrorType::type_error, std::move(bound).error());
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    const auto& slot = bound->slots[i];
    switch (slot.source) {
      case BoundArguments::Source::absent: out[i] = nullptr; break;
      case BoundArguments::Source::positional: out[i] = positional[slot.index]; break;
      case BoundArguments::Source::keyword: out[i] = keyword_values[slot.index]; break;
    }
  }
  return Ok{};
}

// Reads keyword names as UTF-8 views; the names stay alive in the caller's
// keyword tuple or dictionary for the whole call.
Result<Ok> keyword_view(PyObject* name, std::string_view& view) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name, &size);
  if (data == nullptr) return take_pending();
  view = std::string_view(data, static_cast<std::size_t>(size));
  return Ok{};
}

}  // namespace

Result<Ok> bind_fastcall(const ArgumentSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         std::span<PyObject*> out) {
  std::size_t positional = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargs)));
  std::size_t keywords = kwnames == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
  std::vector<std::string_view> names(keywords);
  for (std::size_t k = 0; k < keywords; ++k) {
    if (auto ok = keyword_view(PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k)), names[k]); !ok) return ok;
  }
  return finish_binding(signature, positional, names, args, args + positional, out);
}

Result<Ok> bind_tuple_call(const ArgumentSignature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  std::size_t positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  std::vector<std::string_view> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      std::string_view view;
      if (!PyUnicode_Check(key)) return module_error(ErrorType::type_error, "keywords must be strings");
      if (auto ok = keyword_view(key, view); !ok) return ok;
      names.push_back(view);
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
