#include "file_recorder.hpp"

#include <array>
#include <new>
#include <string_view>

#include "call_binding.hpp"

namespace korvane {

namespace {

constexpr std::string_view kFileRecorderParameters[] = {"path"};
constexpr ArgumentSignature kFileRecorderSignature{"FileRecorder", "__new__", kFileRecorderParameters, 1};

Result<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 1> bound{};
  if (auto ok = bind_tuple_call(kFileRecorderSignature, args, kwargs, bound); !ok)
    return unexpected(std::move(ok).error());
  auto path = str_argument(bound[0], "path");
  if (!path) return unexpected(std::move(path).error());
  if (path->empty()) return module_error(ErrorType::value_error, "file recorder path must not be empty");

  auto object = allocate_instance(type);
  if (!object) return unexpected(std::move(object).error());
  new (&reinterpret_cast<FileRecorderObject*>(*object)->path) std::string(std::move(*path));
  return PyRef::steal(*object);
}

PyObject* file_recorder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_entry_point([=]() { return construct(type, args, kwargs); });
}

PyType_Slot file_recorder_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("FileRecorder(path)\n--\n\n"
                       "Selects the reference file recorder for one execution.\n"
                       "A FileRecorder is a small request value: it carries only the path.\n"
                       "The recorder implementation and the publication lifecycle stay owned by the provider side.")},
    {Py_tp_new, reinterpret_cast<void*>(file_recorder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<FileRecorderObject>)},
    {0, nullptr},
};

// Immutable like the other two classes (see classes.cpp).
PyType_Spec file_recorder_definition = {
    "builtins.FileRecorder",
    static_cast<int>(sizeof(FileRecorderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    file_recorder_slots,
};

TypeSlot g_file_recorder_type{&file_recorder_definition};

}  // namespace

Result<PyTypeObject*> file_recorder_type(TypeUse use) { return obtain_type(g_file_recorder_type, use); }

}  // namespace korvane
