// Importing a module by name, as an import statement does.
#pragma once

#include <string_view>

#include "errors.hpp"

namespace korvane {

// Imports a module as an import statement in the calling Python code would:
// through the `__import__` of that code's builtins (a replaced
// builtins.__import__ is called), which are the interpreter's own when the
// caller's globals hold no `__builtins__`. Builtins without `__import__` give
// the statement's ImportError "__import__ not found". Returns the named
// module itself (for a dotted name the submodule, not its top-level package)
// from the interpreter's module table, where an already imported module is
// found as with any import statement.
Result<PyRef> import_module(std::string_view name);

}  // namespace korvane
