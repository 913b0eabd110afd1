// FileRecorder: a request value carrying the path at which the bundle's
// reference recorder should write one execution. The module never opens,
// creates or checks the path; it only keeps a non-empty copy of it and hands
// it to the bundle's execute function.
#pragma once

#include <optional>
#include <string>

#include "errors.hpp"
#include "heap_types.hpp"

namespace korvane {

struct FileRecorderObject {
  PyObject_HEAD std::string path;  // UTF-8, never empty
};

// The process-wide FileRecorder class, made on first use.
Result<PyTypeObject*> file_recorder_type(TypeUse use = TypeUse::call);

// The path of a FileRecorder (an instance of `recorder_class`, the class as
// the caller knows it) for an execution; nothing for an object of any other
// type.
inline std::optional<std::string> read_recorder_path(PyObject* object, PyTypeObject* recorder_class) {
  if (!PyObject_TypeCheck(object, recorder_class)) return std::nullopt;
  return reinterpret_cast<FileRecorderObject*>(object)->path;
}

}  // namespace korvane
