// The korvane module: its function discover_bundles and its members in the
// order of __all__. The classes live in classes.cpp.
#include <utility>

#include "classes.hpp"
#include "discovery.hpp"
#include "file_recorder.hpp"
#include "once_per_process.hpp"

namespace korvane {

namespace {

PyObject* discover_bundles(PyObject*, PyObject*) {
  return run_entry_point([]() { return discover_bundles_listing(); });
}

// The module's functions, added after its classes (the definition itself
// carries no table, so that the members come in the order of __all__).
PyMethodDef module_functions[] = {
    {"discover_bundles", discover_bundles, METH_NOARGS,
     "discover_bundles()\n--\n\n"
     "Discovers the separately installed machine-bundle wheels through Python entry points.\n"
     "Providers return metadata only: this boundary exchanges no native objects with the bundles\n"
     "and does not call into Python while a machine is executing."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "korvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

FirstInterpreter g_interpreter;
OncePerProcess<PyObject> g_module;

// Appends `name` to the module's __all__, which the first call creates empty.
Result<Ok> list_in_all(PyObject* module, const char* name) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed, never fails for a module
  PyObject* all = nullptr;
  int found = PyDict_GetItemStringRef(dict, "__all__", &all);
  if (found < 0) return take_pending();
  PyRef all_list = PyRef::steal(all);
  if (found == 0) {
    all_list = PyRef::steal(PyList_New(0));
    if (!all_list) return take_pending();
    if (PyDict_SetItemString(dict, "__all__", all_list.get()) < 0) return take_pending();
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return take_pending();
  if (PyList_Append(all_list.get(), text.get()) < 0) return take_pending();
  return Ok{};
}

// The members in their order: Runtime, PreparedRun, FileRecorder, then the
// functions; each is listed in __all__ before it is added.
Result<PyRef> create_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
  if (!module) return take_pending();
  using TypeOf = Result<PyTypeObject*> (*)(TypeUse);
  for (auto [type_of, name] : {std::pair<TypeOf, const char*>{runtime_type, "Runtime"},
                               std::pair<TypeOf, const char*>{prepared_run_type, "PreparedRun"},
                               std::pair<TypeOf, const char*>{file_recorder_type, "FileRecorder"}}) {
    auto type = type_of(TypeUse::import);
    if (!type) return unexpected(std::move(type).error());
    if (auto ok = list_in_all(module.get(), name); !ok) return unexpected(std::move(ok).error());
    if (PyModule_AddType(module.get(), *type) < 0) return take_pending();
  }
  for (const PyMethodDef* function = module_functions; function->ml_name != nullptr; ++function) {
    if (auto ok = list_in_all(module.get(), function->ml_name); !ok) return unexpected(std::move(ok).error());
  }
  if (PyModule_AddFunctions(module.get(), module_functions) < 0) return take_pending();
  return module;
}

Result<PyRef> initialise() {
  if (auto claimed = g_interpreter.claim("korvane"); !claimed) return unexpected(std::move(claimed).error());
  auto module = g_module.get([]() -> Result<PyObject*> {
    auto created = create_module();
    if (!created) return unexpected(std::move(created).error());
    // The kept module holds the reference it was created with, for the life
    // of the process; each import gets one of its own.
    return created->release();
  });
  if (!module) return unexpected(std::move(module).error());
  return PyRef::borrow(*module);
}

}  // namespace

}  // namespace korvane

PyMODINIT_FUNC PyInit_korvane(void) {
  return korvane::run_entry_point([]() { return korvane::initialise(); });
}
