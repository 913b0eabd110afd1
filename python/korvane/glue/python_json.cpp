#include "python_json.hpp"

#include "import_module.hpp"
#include "py_str.hpp"

namespace korvane {

namespace {

// The text form of an exception: its type's qualified name, ": " and its
// str(), with a stand-in when str() itself fails.
std::string describe_exception(PyObject* exception) {
  std::string text;
  if (auto name = type_qualname(exception)) {
    text = std::move(*name);
  } else {
    text = "<unknown>";
  }
  text += ": ";
  PyRef rendered = PyRef::steal(PyObject_Str(exception));
  Py_ssize_t size = 0;
  const char* data = rendered ? PyUnicode_AsUTF8AndSize(rendered.get(), &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    text += "<exception str() failed>";
  } else {
    text.append(data, static_cast<std::size_t>(size));
  }
  return text;
}

Unexpected<Error> not_json_compatible(std::string_view label, const std::string& error) {
  std::string message(label);
  message.append(" must be JSON-compatible: ").append(error);
  return module_error(ErrorType::value_error, std::move(message));
}

}  // namespace

Result<JsonText> python_to_json_text(PyObject* value, std::string_view label) {
  if (value == nullptr) return JsonText{PyRef(), "null"};
  auto json = import_module("json");
  if (!json) return unexpected(std::move(json).error());
  PyRef dumps = PyRef::steal(PyObject_GetAttrString(json->get(), "dumps"));
  if (!dumps) return take_pending();
  PyRef text = PyRef::steal(PyObject_CallOneArg(dumps.get(), value));
  if (!text) return take_pending();

  if (!PyUnicode_Check(text.get())) {
    auto cast = cast_message(text.get(), "str");
    if (!cast) return unexpected(std::move(cast).error());
    return not_json_compatible(label, "TypeError: " + *cast);
  }
  // For the ASCII text that dumps writes by default this is the str's own
  // storage; the view lives as long as the str.
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) {
    auto failure = take_pending();
    auto* pending = std::get_if<PendingException>(&failure.error);
    if (pending == nullptr) return failure;
    return not_json_compatible(label, describe_exception(pending->exception.get()));
  }
  return JsonText{std::move(text), std::string_view(data, static_cast<std::size_t>(size))};
}

}  // namespace korvane
