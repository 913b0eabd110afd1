// Importing a module by name, as an import statement does.
#pragma once

#include <string_view>

#include "errors.hpp"

namespace korvane {

// Imports a module through the interpreter's import function (a replaced
// builtins.__import__ is called) and returns the named module itself (for a
// dotted name the submodule, not its top-level package). An already imported
// module comes from the interpreter's module table, as with any import
// statement.
Result<PyRef> import_module(std::string_view name);

}  // namespace korvane
