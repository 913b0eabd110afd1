#include "runs.hpp"

#include <array>
#include <atomic>
#include <cstdint>

#include "file_recorder.hpp"
#include "import_module.hpp"
#include "once_per_process.hpp"
#include "py_str.hpp"
#include "python_json.hpp"
#include "quoted.hpp"
#include "result_check.hpp"

namespace korvane {

namespace {

constexpr const char* kSinksMessage = "sinks must be a list or tuple of emission consumers";
constexpr const char* kFileRecorderMessage = "file_recorder must be a korvane.FileRecorder or None";
constexpr std::array<const char*, 3> kSinkMethods = {"emit_batch", "record_capability_outputs",
                                                     "record_capability_receipts"};

// The process-wide run sequence: the first number issued is 1, and a number
// once issued is used up even if the preparation fails afterwards.
std::atomic<std::uint64_t> g_run_sequence{1};

std::string not_installed_message(std::string_view machine_id) {
  std::string message =
      "machine bundle " + korvane::quoted(machine_id) + " is not installed; install `korvane` and `korvane-";
  message.append(machine_id).append("`, or use `korvane-machines[").append(machine_id).append("]`");
  return message;
}

// The bundle's function: a fresh import of the module (the submodule itself
// for a dotted name), then the named attribute, unexamined. Both names are
// handed over whole: metadata texts may hold NUL, and a name cut at its first
// NUL would reach a different function than the one the bundle names.
Result<PyRef> bundle_function(const std::string& module_name, const std::string& function_name) {
  auto module = import_module(module_name);
  if (!module) return unexpected(std::move(module).error());
  auto attribute_name = new_str(function_name);
  if (!attribute_name) return unexpected(std::move(attribute_name).error());
  PyRef attribute = PyRef::steal(PyObject_GetAttr(module->get(), attribute_name->get()));
  if (!attribute) return take_pending();
  return attribute;
}

// The JSON text handed to the bundle: the very str that dumps returned when
// it is a plain str, else a plain str with the same text. `null_text` is the
// one "null" str shared by the absent values of one call.
Result<PyRef> json_text_argument(PyObject* value, std::string_view label, PyRef& null_text) {
  if (value == nullptr) {
    if (!null_text) {
      auto text = new_str("null");
      if (!text) return unexpected(std::move(text).error());
      null_text = std::move(*text);
    }
    return PyRef::borrow(null_text.get());
  }
  auto text = python_to_json_text(value, label);
  if (!text) return unexpected(std::move(text).error());
  if (PyUnicode_CheckExact(text->text.get())) return std::move(text->text);
  return new_str(text->utf8);
}

// The sink method names as interned str, made once per process like the
// classes and kept until it ends: the interpreter's type attribute cache
// serves only interned names.
using SinkNames = std::array<PyObject*, kSinkMethods.size()>;

SinkNames g_sink_names{};
OncePerProcess<const SinkNames> g_sink_names_made;

Result<const SinkNames*> sink_method_names() {
  return g_sink_names_made.get([]() -> Result<const SinkNames*> {
    std::array<PyRef, kSinkMethods.size()> names;
    for (std::size_t i = 0; i < names.size(); ++i) {
      names[i] = PyRef::steal(PyUnicode_InternFromString(kSinkMethods[i]));
      if (!names[i]) return take_pending();
    }
    for (std::size_t i = 0; i < names.size(); ++i) g_sink_names[i] = names[i].release();
    return &g_sink_names;
  });
}

Unexpected<Error> type_error(std::string message) { return module_error(ErrorType::type_error, std::move(message)); }

}  // namespace

Result<PreparedContents> prepare_run(const std::vector<BundleProvider>& providers, std::string_view machine_id,
                                     std::string_view artifact, const OptionalInputs& inputs) {
  const BundleProvider* found = find_provider(providers, machine_id);
  if (found == nullptr) return module_error(ErrorType::lookup_error, not_installed_message(machine_id));
  BundleProvider provider = *found;

  auto prepare = bundle_function(provider.module, provider.prepare_function);
  if (!prepare) return unexpected(std::move(prepare).error());

  const std::uint64_t sequence = g_run_sequence.fetch_add(1, std::memory_order_relaxed);
  std::string run_id = "python-" + provider.machine_id + "-" + std::to_string(sequence);

  std::array<PyRef, 6> arguments;
  arguments[0] = PyRef::steal(PyBytes_FromStringAndSize(artifact.data(), static_cast<Py_ssize_t>(artifact.size())));
  if (!arguments[0]) return take_pending();
  auto run_id_text = new_str(run_id);
  if (!run_id_text) return unexpected(std::move(run_id_text).error());
  arguments[1] = std::move(*run_id_text);
  const std::pair<PyObject*, std::string_view> optional[] = {{inputs.configuration, "configuration"},
                                                             {inputs.input_schedule, "input_schedule"},
                                                             {inputs.execution_controls, "execution_controls"},
                                                             {inputs.observation, "observation"}};
  PyRef null_text;
  for (std::size_t i = 0; i < 4; ++i) {
    auto text = json_text_argument(optional[i].first, optional[i].second, null_text);
    if (!text) return unexpected(std::move(text).error());
    arguments[2 + i] = std::move(*text);
  }

  std::array<PyObject*, 6> call_arguments;
  for (std::size_t i = 0; i < 6; ++i) call_arguments[i] = arguments[i].get();
  PyRef prepared = PyRef::steal(PyObject_Vectorcall(prepare->get(), call_arguments.data(), 6, nullptr));
  if (!prepared) return take_pending();
  return PreparedContents{std::move(provider), std::move(prepared)};
}

Result<PyRef> check_sinks(PyObject* sinks) {
  if (sinks == nullptr) {
    PyRef empty = PyRef::steal(PyList_New(0));
    if (!empty) return take_pending();
    return empty;
  }
  if (!PyList_Check(sinks) && !PyTuple_Check(sinks)) return type_error(kSinksMessage);

  PyRef iterator = PyRef::steal(PyObject_GetIter(sinks));
  if (!iterator) return take_pending();
  const SinkNames* names = nullptr;  // looked up at the first sink
  for (std::size_t index = 0;; ++index) {
    PyObject* next = nullptr;
    int status = PyIter_NextItem(iterator.get(), &next);
    if (status < 0) return take_pending();
    if (status == 0) break;
    PyRef sink = PyRef::steal(next);
    if (names == nullptr) {
      auto made = sink_method_names();
      if (!made) return unexpected(std::move(made).error());
      names = *made;
    }
    for (std::size_t i = 0; i < kSinkMethods.size(); ++i) {
      const char* name = kSinkMethods[i];
      PyRef method = PyRef::steal(PyObject_GetAttr(sink.get(), (*names)[i]));
      if (!method) {
        // Whatever ordinary error the lookup raised, the caller hears about the
        // missing method; KeyboardInterrupt, SystemExit and the other
        // exceptions outside Exception are never swallowed.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return take_pending();
        PyErr_Clear();
        return type_error("sink at index " + std::to_string(index) + " must define callable " + name);
      }
      if (!PyCallable_Check(method.get())) {
        return type_error("sink at index " + std::to_string(index) + " attribute " + name + " must be callable");
      }
    }
  }
  return PyRef::borrow(sinks);
}

Result<Execution> execute_bundle(const BundleProvider& provider, PyObject* prepared, PyObject* sinks,
                                 PyObject* file_recorder, PyTypeObject* recorder_class) {
  auto sequence = check_sinks(sinks);
  if (!sequence) return unexpected(std::move(sequence).error());

  PyRef recorder_path = PyRef::borrow(Py_None);
  if (file_recorder != nullptr) {
    std::optional<std::string> path;
    if (recorder_class != nullptr) path = read_recorder_path(file_recorder, recorder_class);
    if (!path) return type_error(kFileRecorderMessage);
    auto text = new_str(*path);
    if (!text) return unexpected(std::move(text).error());
    recorder_path = std::move(*text);
  }

  auto execute = bundle_function(provider.module, provider.execute_function);
  if (!execute) return unexpected(std::move(execute).error());
  PyObject* call_arguments[] = {prepared, sequence->get(), recorder_path.get()};
  Execution execution;
  execution.returned = PyRef::steal(PyObject_Vectorcall(execute->get(), call_arguments, 3, nullptr));
  if (!execution.returned) return take_pending();
  if (auto checked = check_execution_result(execution.returned.get(), &provider, execution.findings); !checked) {
    execution.rejection = std::move(checked).error();
  }
  return execution;
}

Result<PyRef> execute_run(const BundleProvider& provider, PyObject* prepared, PyObject* sinks,
                          PyObject* file_recorder) {
  PyTypeObject* recorder_class = nullptr;
  if (file_recorder != nullptr) {
    auto type = file_recorder_type();
    if (!type) return unexpected(std::move(type).error());
    recorder_class = *type;
  }
  auto execution = execute_bundle(provider, prepared, sinks, file_recorder, recorder_class);
  if (!execution) return unexpected(std::move(execution).error());
  if (execution->rejection) return unexpected(std::move(*execution->rejection));
  return std::move(execution->returned);
}

}  // namespace korvane
