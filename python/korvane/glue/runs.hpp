// Preparing a run of one machine and executing it: the routing to the
// bundle's prepare and execute functions, the process-wide run counter, the
// sink checks and the acceptance of the execution result.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "provider_metadata.hpp"
#include "result_check.hpp"

namespace korvane {

// The four optional inputs of a preparation; null when absent.
struct OptionalInputs {
  PyObject* configuration;
  PyObject* input_schedule;
  PyObject* execution_controls;
  PyObject* observation;
};

// What a new PreparedRun holds: its own copy of the record and the object the
// bundle's prepare function returned.
struct PreparedContents {
  BundleProvider provider;
  PyRef prepared;
};

Result<PreparedContents> prepare_run(const std::vector<BundleProvider>& providers, std::string_view machine_id,
                                     std::string_view artifact, const OptionalInputs& inputs);

// `sinks` and `file_recorder` are null when absent. Returns the very mapping
// the bundle's execute function returned, once it has passed every check.
Result<PyRef> execute_run(const BundleProvider& provider, PyObject* prepared, PyObject* sinks, PyObject* file_recorder);

// What an execution gave: the value the bundle's execute function returned,
// and, when execute's checks reject it, the error execute raises for it.
struct Execution {
  PyRef returned;
  std::optional<Error> rejection;
  ResultFindings findings;
};

// execute_run up to its verdict, for readers that want the rejected value
// too. A FileRecorder must be an instance of `recorder_class` (korvane's
// class; null when the caller has none, and then none is accepted). Errors
// before the bundle's function returned are the result's own.
Result<Execution> execute_bundle(const BundleProvider& provider, PyObject* prepared, PyObject* sinks,
                                 PyObject* file_recorder, PyTypeObject* recorder_class);

// The sequence handed to the bundle: a new empty list for an absent argument,
// otherwise the caller's own list or tuple once every sink has the three
// callable methods.
Result<PyRef> check_sinks(PyObject* sinks);

}  // namespace korvane
