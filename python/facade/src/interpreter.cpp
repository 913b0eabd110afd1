#include "interpreter.hpp"

#include "py_str.hpp"

namespace korvane {

Result<PyRef> import_module(std::string_view name) {
  auto text = new_str(name);
  if (!text) return unexpected(std::move(text).error());
  // The import machinery itself (what the import statement and __import__
  // run), absolute, with no fromlist: it returns the top-level package of a
  // dotted name, after which the module table holds the submodule.
  PyRef top = PyRef::steal(PyImport_ImportModuleLevelObject(text->get(), nullptr, nullptr, nullptr, 0));
  if (!top) return take_pending();
  if (name.find('.') == std::string_view::npos) return top;
  PyRef leaf = PyRef::steal(PyImport_GetModule(text->get()));
  if (!leaf) {
    if (PyErr_Occurred()) return take_pending();
    // Imported, yet gone from the module table (the package's own code
    // removed it): the same KeyError the interpreter's PyImport_Import gives.
    PyErr_SetObject(PyExc_KeyError, text->get());
    return take_pending();
  }
  return leaf;
}

}  // namespace korvane
