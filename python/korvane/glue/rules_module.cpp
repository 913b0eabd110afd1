// korvane_tools._rules: korvane's verdicts on a provider's text and on an
// execution result, for the korvane command and the kit for bundle authors.
// Built from the same core library as the korvane module and calling the
// same functions, so the messages are korvane's; it keeps no state and
// touches nothing process-wide (no discovery, no run numbers, no imports of
// bundle code).
#include <string>
#include <string_view>
#include <vector>

#include "execution_result.hpp"
#include "json/parse.hpp"
#include "json/path.hpp"
#include "provider_metadata.hpp"
#include "py_ref.hpp"
#include "quoted.hpp"

namespace {

using korvane::PyRef;

bool utf8_of(PyObject* text, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* new_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// TypeError "'{type}' object cannot be cast as 'str'", as korvane's discovery
// says it for a provider that returns no str.
PyObject* not_text(PyObject* value) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as 'str'", name.get());
  return nullptr;
}

// provider_record(entry_point_name, returned) -> str
PyObject* provider_record(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "provider_record(entry_point_name: str, returned: object)");
    return nullptr;
  }
  if (!PyUnicode_Check(args[1])) return not_text(args[1]);
  std::string_view name, text;
  if (!utf8_of(args[0], name) || !utf8_of(args[1], text)) return nullptr;
  auto record = korvane::validate_provider_metadata(name, text);
  if (!record) {
    PyRef message = PyRef::steal(new_text(record.error()));
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
    return nullptr;
  }
  std::vector<korvane::BundleProvider> one{std::move(*record)};
  std::string listing = korvane::write_bundle_listing(one);
  // "[{...}]": the object alone.
  return new_text(std::string_view(listing).substr(1, listing.size() - 2));
}

// None, or (kind, message, description, line, column): kind "json" for a
// text that is not JSON (message: "{description} at line {line} column
// {column}", after `prefix`), "rule" for a result that breaks a rule (message
// and description: the rule's message, line and column 0).
PyObject* problem_of_text(std::string_view text, std::string_view prefix) {
  auto parsed = korvane::parse_execution_result(text);
  if (!parsed) {
    const auto& error = parsed.error();
    std::string message = std::string(prefix) + error.to_string();
    return Py_BuildValue("(ss#s#nn)", "json", message.data(), static_cast<Py_ssize_t>(message.size()),
                         error.description.data(), static_cast<Py_ssize_t>(error.description.size()),
                         static_cast<Py_ssize_t>(error.line), static_cast<Py_ssize_t>(error.column));
  }
  auto valid = korvane::validate_execution_result(*parsed);
  if (!valid) {
    const auto& message = valid.error();
    auto size = static_cast<Py_ssize_t>(message.size());
    return Py_BuildValue("(ss#s#nn)", "rule", message.data(), size, message.data(), size, Py_ssize_t{0}, Py_ssize_t{0});
  }
  Py_RETURN_NONE;
}

// result_text_problem(text) -> None | (kind, message, description, line, column)
PyObject* result_text_problem(PyObject*, PyObject* text) {
  if (!PyUnicode_Check(text)) return not_text(text);
  std::string_view utf8;
  if (!utf8_of(text, utf8)) return nullptr;
  return problem_of_text(utf8, "");
}

// result_problem(result) -> None | (kind, message, description, line, column)
// The checks of korvane's execute on what execute_prepared returned: a dict
// (kind "mapping" otherwise), its json.dumps text (exceptions of dumps pass
// through), that text parsed, then the rules; the message is korvane's.
PyObject* result_problem(PyObject*, PyObject* result) {
  if (!PyDict_Check(result)) {
    const auto size = static_cast<Py_ssize_t>(korvane::kNotMappingMessage.size());
    return Py_BuildValue("(ss#s#nn)", "mapping", korvane::kNotMappingMessage.data(), size,
                         korvane::kNotMappingMessage.data(), size, Py_ssize_t{0}, Py_ssize_t{0});
  }
  PyRef json = PyRef::steal(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  PyRef text = PyRef::steal(PyObject_CallMethod(json.get(), "dumps", "O", result));
  if (!text) return nullptr;
  if (!PyUnicode_Check(text.get())) return not_text(text.get());
  std::string_view utf8;
  if (!utf8_of(text.get(), utf8)) return nullptr;
  return problem_of_text(utf8, korvane::kNotJsonPrefix);
}

// member_path(text, offset) -> str
PyObject* member_path(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyLong_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "member_path(text: str, offset: int)");
    return nullptr;
  }
  std::string_view utf8;
  if (!utf8_of(args[0], utf8)) return nullptr;
  const std::size_t offset = PyLong_AsSize_t(args[1]);
  if (offset == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  return new_text(korvane::json_path_at(utf8, offset));
}

// clash_message(machine_id) -> str
PyObject* clash_message(PyObject*, PyObject* machine_id) {
  if (!PyUnicode_Check(machine_id)) return not_text(machine_id);
  std::string_view utf8;
  if (!utf8_of(machine_id, utf8)) return nullptr;
  return new_text(korvane::duplicate_machine_id_message(utf8));
}

// status_words() -> {field: (word, ...)}
PyObject* status_words(PyObject*, PyObject*) {
  PyRef words = PyRef::steal(PyDict_New());
  if (!words) return nullptr;
  for (const auto& [field, accepted] : korvane::kStatusVocabulary) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(accepted.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < accepted.size(); ++i) {
      PyObject* word = new_text(accepted[i]);
      if (word == nullptr) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), word);
    }
    PyRef key = PyRef::steal(new_text(field));
    if (!key || PyDict_SetItem(words.get(), key.get(), tuple.get()) < 0) return nullptr;
  }
  return words.release();
}

PyMethodDef methods[] = {
    {"provider_record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(provider_record)), METH_FASTCALL,
     "provider_record(entry_point_name, returned, /)\n--\n\n"
     "korvane's verdict on what a provider returned: the listing object's JSON text, or the\n"
     "TypeError or RuntimeError korvane's discovery raises for it."},
    {"result_text_problem", result_text_problem, METH_O,
     "result_text_problem(text, /)\n--\n\n"
     "None when korvane accepts the JSON text as an execution result, otherwise\n"
     "(kind, message, description, line, column), kind 'json' or 'rule'."},
    {"result_problem", result_problem, METH_O,
     "result_problem(result, /)\n--\n\n"
     "None when korvane's execute accepts `result`, otherwise (kind, message, description,\n"
     "line, column) with korvane's own message; kind is 'mapping', 'json' or 'rule'."},
    {"member_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(member_path)), METH_FASTCALL,
     "member_path(text, offset, /)\n--\n\n"
     "The path of the member or element of the JSON text that holds the byte at `offset`,\n"
     "as korvane's execute names it in its note ('' at the top level)."},
    {"clash_message", clash_message, METH_O,
     "clash_message(machine_id, /)\n--\n\n"
     "korvane's message for a machine id that several entry points advertise."},
    {"status_words", status_words, METH_NOARGS,
     "status_words()\n--\n\n"
     "The status words korvane accepts, by member of the execution result."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
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

PyMODINIT_FUNC PyInit__rules(void) { return PyModuleDef_Init(&module_def); }
