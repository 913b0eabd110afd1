#include "import_module.hpp"

#include "py_str.hpp"

namespace korvane {

Result<PyRef> import_module(std::string_view name) {
  auto text = new_str(name);
  if (!text) return unexpected(std::move(text).error());
  // Through the interpreter's import function, builtins.__import__, as an
  // import statement runs it: a replaced __import__ (an import tracer, a
  // lazy-import shim, a sandbox) sees korvane's imports too. The result is
  // the named module itself from the module table, the submodule for a
  // dotted name.
  PyRef module = PyRef::steal(PyImport_Import(text->get()));
  if (!module) return take_pending();
  return module;
}

}  // namespace korvane
