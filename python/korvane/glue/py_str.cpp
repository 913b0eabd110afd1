#include "py_str.hpp"

namespace korvane {

Result<std::string> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return take_pending();
  return std::string(data, static_cast<std::size_t>(size));
}

Result<PyRef> new_str(std::string_view text) {
  PyRef object = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!object) return take_pending();
  return object;
}

Result<std::string> type_qualname(PyObject* value) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!name) return take_pending();
  return utf8_of(name.get());
}

Result<std::string> cast_message(PyObject* value, const char* target) {
  auto name = type_qualname(value);
  if (!name) return unexpected(std::move(name).error());
  return "'" + *name + "' object cannot be cast as '" + target + "'";
}

}  // namespace korvane
