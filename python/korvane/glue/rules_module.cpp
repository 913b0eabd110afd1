// korvane_tools._rules: korvane's verdicts on a provider's text and on an
// execution result, for the korvane command and the kit for bundle authors,
// and korvane's discovery over chosen entry points for `korvane run`. Built
// from the korvane module's own glue and core and calling the same functions,
// so the exceptions, messages and notes are korvane's. Its statics are its
// own: the Runtime and PreparedRun it makes are instances of its own copies
// of korvane's classes, and their runs are numbered apart from korvane's.
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "classes.hpp"
#include "discovery.hpp"
#include "execution_result.hpp"
#include "file_recorder.hpp"
#include "once_per_process.hpp"
#include "py_str.hpp"
#include "result_check.hpp"
#include "runs.hpp"

namespace korvane {

namespace {

Unexpected<Error> type_error(std::string message) { return module_error(ErrorType::type_error, std::move(message)); }

// The UTF-8 text of a str argument, or the cast TypeError.
Result<std::string> text_argument(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    auto message = cast_message(value, "str");
    if (!message) return unexpected(std::move(message).error());
    return type_error(std::move(*message));
  }
  return utf8_of(value);
}

// provider_record(entry_point_name, returned) -> str
Result<PyRef> provider_record(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyUnicode_Check(args[0])) {
    return type_error("provider_record(entry_point_name: str, returned: object)");
  }
  auto name = utf8_of(args[0]);
  if (!name) return unexpected(std::move(name).error());
  auto text = text_argument(args[1]);
  if (!text) return unexpected(std::move(text).error());
  auto record = validate_provider_metadata(*name, *text);
  if (!record) return module_error(ErrorType::runtime_error, std::move(record).error());
  std::vector<BundleProvider> one{std::move(*record)};
  std::string listing = write_bundle_listing(one);
  // "[{...}]": the object alone.
  return new_str(std::string_view(listing).substr(1, listing.size() - 2));
}

// The verdict as Python sees it: None when accepted, otherwise (exception,
// kind, detail, text, line, column, path) with the exception execute raises.
Result<PyRef> verdict_of(Result<Ok>&& checked, const ResultFindings& findings) {
  if (checked) return PyRef::borrow(Py_None);
  static constexpr std::array<const char*, 6> kKinds = {"accepted", "mapping", "dumps", "encoding", "json", "rule"};
  PyRef exception = exception_of(std::move(checked).error());
  if (!exception) return take_pending();
  PyObject* text = findings.text ? findings.text.get() : Py_None;
  PyRef verdict = PyRef::steal(Py_BuildValue(
      "(Oss#Onns#)", exception.get(), kKinds[static_cast<std::size_t>(findings.stage)], findings.detail.data(),
      static_cast<Py_ssize_t>(findings.detail.size()), text, static_cast<Py_ssize_t>(findings.line),
      static_cast<Py_ssize_t>(findings.column), findings.path.data(), static_cast<Py_ssize_t>(findings.path.size())));
  if (!verdict) return take_pending();
  return verdict;
}

// result_verdict(result) -> None | verdict
Result<PyRef> result_verdict(PyObject* result) {
  ResultFindings findings;
  auto checked = check_execution_result(result, nullptr, findings);
  return verdict_of(std::move(checked), findings);
}

// text_verdict(text) -> None | verdict
Result<PyRef> text_verdict(PyObject* text) {
  auto utf8 = text_argument(text);
  if (!utf8) return unexpected(std::move(utf8).error());
  ResultFindings findings;
  auto checked = check_execution_result_text(*utf8, findings);
  return verdict_of(std::move(checked), findings);
}

// Whether `type` is the korvane module's class `name`, built from the same
// definitions as this code: a class with that name, instances of that size,
// and the immutability and finality korvane gives its classes, which no class
// made in Python has. Its instances then have the layout of `Object`.
template <class Object>
bool is_korvane_class(PyTypeObject* type, const char* name) {
  return std::strcmp(type->tp_name, name) == 0 && type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Object)) &&
         PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) && !PyType_HasFeature(type, Py_TPFLAGS_BASETYPE);
}

// execute(run, sinks, file_recorder) -> (returned, None | verdict)
// What run.execute(sinks, file_recorder) does, keeping the value the bundle's
// execute function returned when the checks reject it: errors before it
// returned are raised as execute raises them.
Result<PyRef> execute(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    return type_error("execute(run: korvane.PreparedRun, sinks: object = None, file_recorder: object = None)");
  }
  if (!is_korvane_class<PreparedRunObject>(Py_TYPE(args[0]), "builtins.PreparedRun")) {
    auto message = cast_message(args[0], "PreparedRun");
    if (!message) return unexpected(std::move(message).error());
    return type_error(std::move(*message));
  }
  const auto* run = reinterpret_cast<const PreparedRunObject*>(args[0]);
  if (!run->prepared) return invariant_failure("PreparedRun was cleared by the garbage collector");
  PyObject* sinks = nargs > 1 && args[1] != Py_None ? args[1] : nullptr;
  PyObject* file_recorder = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
  PyTypeObject* recorder_class = nullptr;
  if (file_recorder != nullptr &&
      is_korvane_class<FileRecorderObject>(Py_TYPE(file_recorder), "builtins.FileRecorder")) {
    recorder_class = Py_TYPE(file_recorder);
  }
  auto execution = execute_bundle(run->provider, run->prepared.get(), sinks, file_recorder, recorder_class);
  if (!execution) return unexpected(std::move(execution).error());
  Result<Ok> checked = Ok{};
  if (execution->rejection) checked = unexpected(std::move(*execution->rejection));
  auto verdict = verdict_of(std::move(checked), execution->findings);
  if (!verdict) return unexpected(std::move(verdict).error());
  PyRef pair = PyRef::steal(PyTuple_Pack(2, execution->returned.get(), verdict->get()));
  if (!pair) return take_pending();
  return pair;
}

// discover(entry_points) -> Runtime
// Runtime.discover() over the entry points given instead of the installed
// group: the same reading, validation, clash check and order.
Result<PyRef> discover(PyObject* entry_points) {
  auto providers = discover_providers_from(entry_points);
  if (!providers) return unexpected(std::move(providers).error());
  return new_runtime(std::move(*providers));
}

// clash_message(machine_id) -> str
Result<PyRef> clash_message(PyObject* machine_id) {
  auto text = text_argument(machine_id);
  if (!text) return unexpected(std::move(text).error());
  return new_str(duplicate_machine_id_message(*text));
}

// status_words() -> {field: (word, ...)}
Result<PyRef> status_words() {
  PyRef words = PyRef::steal(PyDict_New());
  if (!words) return take_pending();
  for (const auto& [field, accepted] : kStatusVocabulary) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(accepted.size())));
    if (!tuple) return take_pending();
    for (std::size_t i = 0; i < accepted.size(); ++i) {
      auto word = new_str(accepted[i]);
      if (!word) return unexpected(std::move(word).error());
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), word->release());
    }
    auto key = new_str(field);
    if (!key) return unexpected(std::move(key).error());
    if (PyDict_SetItem(words.get(), key->get(), tuple.get()) < 0) return take_pending();
  }
  return words;
}

PyObject* provider_record_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return run_entry_point([=] { return provider_record(args, nargs); });
}
PyObject* result_verdict_entry(PyObject*, PyObject* result) {
  return run_entry_point([=] { return result_verdict(result); });
}
PyObject* text_verdict_entry(PyObject*, PyObject* text) {
  return run_entry_point([=] { return text_verdict(text); });
}
PyObject* execute_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return run_entry_point([=] { return execute(args, nargs); });
}
PyObject* discover_entry(PyObject*, PyObject* entry_points) {
  return run_entry_point([=] { return discover(entry_points); });
}
PyObject* clash_message_entry(PyObject*, PyObject* machine_id) {
  return run_entry_point([=] { return clash_message(machine_id); });
}
PyObject* status_words_entry(PyObject*, PyObject*) {
  return run_entry_point([] { return status_words(); });
}

template <class Function>
PyCFunction fastcall(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"provider_record", fastcall(provider_record_entry), METH_FASTCALL,
     "provider_record(entry_point_name, returned, /)\n--\n\n"
     "korvane's verdict on what a provider returned: the listing object's JSON text, or the\n"
     "TypeError or RuntimeError korvane's discovery raises for it."},
    {"result_verdict", result_verdict_entry, METH_O,
     "result_verdict(result, /)\n--\n\n"
     "None when korvane's execute accepts `result`, otherwise (exception, kind, detail, text,\n"
     "line, column, path): the exception execute raises for it (json.dumps's own included),\n"
     "kind 'mapping', 'dumps', 'encoding', 'json' or 'rule', the parse error or rule message,\n"
     "the JSON text checked, the parse error's place and the member there."},
    {"text_verdict", text_verdict_entry, METH_O,
     "text_verdict(text, /)\n--\n\n"
     "The same verdict on a JSON text, read as execute reads the text json.dumps gives."},
    {"execute", fastcall(execute_entry), METH_FASTCALL,
     "execute(run, sinks=None, file_recorder=None, /)\n--\n\n"
     "run.execute(sinks, file_recorder), returning (returned, verdict): what the bundle's\n"
     "execute function returned, and None or the verdict on it as result_verdict gives it\n"
     "(with the note naming the bundle's function). Errors before the function returned\n"
     "are raised as execute raises them."},
    {"discover", discover_entry, METH_O,
     "discover(entry_points, /)\n--\n\n"
     "korvane.Runtime.discover() over `entry_points` (an iterable of entry points, whatever\n"
     "their group) instead of the installed ones. The Runtime and the runs it prepares are\n"
     "this module's own copies of korvane's classes; execute() takes its runs too."},
    {"clash_message", clash_message_entry, METH_O,
     "clash_message(machine_id, /)\n--\n\n"
     "korvane's message for a machine id that several entry points advertise."},
    {"status_words", status_words_entry, METH_NOARGS,
     "status_words()\n--\n\n"
     "The status words korvane accepts, by member of the execution result."},
    {nullptr, nullptr, 0, nullptr},
};

// The glue's values made once per process (the sink method names, the
// invariant-failure type) belong to one interpreter, as the korvane
// module's do.
FirstInterpreter g_interpreter;

int exec_module(PyObject*) {
  auto claimed = g_interpreter.claim("korvane_tools._rules");
  if (!claimed) {
    raise_error(std::move(claimed).error());
    return -1;
  }
  // Made now, so that a failure is the import's own error.
  for (auto type_of : {runtime_type, prepared_run_type}) {
    auto type = type_of(TypeUse::import);
    if (!type) {
      raise_error(std::move(type).error());
      return -1;
    }
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "korvane_tools._rules",
    "korvane's rules for provider texts and execution results, for korvane_tools.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace korvane

PyMODINIT_FUNC PyInit__rules(void) { return PyModuleDef_Init(&korvane::module_def); }
