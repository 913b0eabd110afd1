// FileRecorder: a request value carrying the path at which the bundle's
// reference recorder should write one execution. The module never opens,
// creates or checks the path; it only keeps a non-empty copy of it.
#include <new>

#include "module.hpp"

namespace korvane {

namespace {

constexpr std::string_view kFileRecorderParameters[] = {"path"};
constexpr ArgumentSignature kFileRecorderSignature{"FileRecorder", "__new__", kFileRecorderParameters, 1};

Result<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 1> bound{};
  if (auto ok = bind_tuple_call(kFileRecorderSignature, args, kwargs, bound); !ok) return unexpected(std::move(ok).error());
  auto path = str_argument(bound[0], "path");
  if (!path) return unexpected(std::move(path).error());
  if (path->empty()) return module_error(ErrorType::value_error, "file recorder path must not be empty");

  auto object = allocate_instance(type);
  if (!object) return unexpected(std::move(object).error());
  new (&reinterpret_cast<FileRecorderObject*>(*object)->path) std::string(std::move(*path));
  return PyRef::steal(*object);
}

}  // namespace

PyObject* file_recorder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_entry_point([=]() { return construct(type, args, kwargs); });
}

Result<std::optional<std::string>> read_recorder_path(PyObject* object) {
  auto type = file_recorder_type();
  if (!type) return unexpected(std::move(type).error());
  if (!PyObject_TypeCheck(object, *type)) return std::optional<std::string>();
  return std::optional<std::string>(reinterpret_cast<FileRecorderObject*>(object)->path);
}

}  // namespace korvane
