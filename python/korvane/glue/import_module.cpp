#include "import_module.hpp"

#include "py_str.hpp"
#include "quoted.hpp"

namespace korvane {

Result<PyRef> import_module(std::string_view name) {
  auto text = new_str(name);
  if (!text) return unexpected(std::move(text).error());
  // The builtins an import statement of the calling code uses: its frame's,
  // which the interpreter took from the globals' __builtins__ or, without
  // one, from its own builtins; the interpreter's when no Python code runs.
  // (The C API's PyImport_Import instead reads __builtins__ from the globals
  // and fails with KeyError without it, a LookupError that callers would
  // read as "not installed".)
  PyRef builtins = PyRef::steal(PyEval_GetFrameBuiltins());
  if (!builtins) return take_pending();
  PyObject* found = nullptr;
  const int has_import = PyMapping_GetOptionalItemString(builtins.get(), "__import__", &found);
  if (has_import < 0) return take_pending();
  PyRef import = PyRef::steal(found);
  if (has_import == 0) return module_error(ErrorType::import_error, "__import__ not found");

  // The statement's arguments: the caller's globals (None when no Python code
  // runs), no locals, no from-list, an absolute import.
  PyRef globals = PyRef::steal(PyEval_GetFrameGlobals());
  if (!globals && PyErr_Occurred()) return take_pending();
  PyRef level = PyRef::steal(PyLong_FromLong(0));
  if (!level) return take_pending();
  PyObject* arguments[] = {text->get(), globals ? globals.get() : Py_None, Py_None, Py_None, level.get()};
  PyRef top = PyRef::steal(PyObject_Vectorcall(import.get(), arguments, 5, nullptr));
  if (!top) return take_pending();

  // The named module itself, from the module table. An __import__ that left
  // none there (a shim that makes modules of its own) is taken at its word
  // for a plain name, as the statement binds what it returned; for a dotted
  // name nothing names the submodule.
  PyRef module = PyRef::steal(PyImport_GetModule(text->get()));
  if (module) return module;
  if (PyErr_Occurred()) return take_pending();
  if (name.find('.') == std::string_view::npos) return top;
  return module_error(ErrorType::import_error, "import of " + quoted(name) + " left no module of that name");
}

}  // namespace korvane
