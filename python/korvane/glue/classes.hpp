// The classes Runtime and PreparedRun with their methods. FileRecorder lives
// in file_recorder.hpp, argument binding in call_binding.hpp. Like every glue
// unit, they are compiled into both modules, each with its own type objects:
// korvane_tools._rules makes its own Runtime over chosen entry points.
#pragma once

#include <vector>

#include "errors.hpp"
#include "heap_types.hpp"
#include "provider_metadata.hpp"

namespace korvane {

struct RuntimeObject {
  PyObject_HEAD std::vector<BundleProvider> providers;
};

struct PreparedRunObject {
  PyObject_HEAD
      // Released after `provider` (members are destroyed in reverse order).
      PyRef prepared;
  BundleProvider provider;
};

// The process-wide type objects, made on first use.
Result<PyTypeObject*> runtime_type(TypeUse use = TypeUse::call);
Result<PyTypeObject*> prepared_run_type(TypeUse use = TypeUse::call);

// New instances owning the given fields.
Result<PyRef> new_runtime(std::vector<BundleProvider>&& providers);
Result<PyRef> new_prepared_run(BundleProvider&& provider, PyRef&& prepared);

}  // namespace korvane
