#include "result_check.hpp"

#include "execution_result.hpp"
#include "json/path.hpp"
#include "py_str.hpp"
#include "python_json.hpp"

namespace korvane {

namespace {

Unexpected<Error> type_error(std::string message) { return module_error(ErrorType::type_error, std::move(message)); }

// What came back instead of a dict, for the note beside the fixed message.
std::string returned_note(PyObject* result) {
  if (result == Py_None) return "None \u2014 is a return missing?";
  auto name = type_qualname(result);
  if (!name) {
    PyErr_Clear();  // a note is not worth replacing the message with its failure
    return {};
  }
  if (PyUnicode_Check(result)) return *name + " \u2014 JSON text? return the dict itself, not json.dumps of it";
  return *name + " \u2014 return a dict (a subclass of dict counts, other mappings do not)";
}

}  // namespace

Result<Ok> check_execution_result_text(std::string_view text, ResultFindings& findings) {
  // Checked in full, built only as deep as the validation reads.
  auto parsed = parse_execution_result(text);
  if (!parsed) {
    const JsonParseError& error = parsed.error();
    findings.stage = ResultStage::json;
    findings.detail = error.to_string();
    findings.line = error.line;
    findings.column = error.column;
    findings.path = json_path_at(text, error.line, error.column);
    auto failure = type_error(std::string(kNotJsonPrefix) + findings.detail);
    if (findings.path.empty()) return failure;
    return with_note(std::move(failure), "in member " + findings.path + " of the execution result");
  }
  std::string note;
  if (auto valid = validate_execution_result(*parsed, &note); !valid) {
    findings.stage = ResultStage::rule;
    findings.detail = valid.error();
    auto failure = type_error(std::move(valid).error());
    if (note.empty()) return failure;
    return with_note(std::move(failure), std::move(note));
  }
  findings.stage = ResultStage::accepted;
  return Ok{};
}

Result<Ok> check_execution_result(PyObject* result, const BundleProvider* from, ResultFindings& findings) {
  auto checked = [&]() -> Result<Ok> {
    if (!PyDict_Check(result)) {
      findings.stage = ResultStage::mapping;
      findings.detail = kNotMappingMessage;
      auto failure = type_error(std::string(kNotMappingMessage));
      std::string note = returned_note(result);
      if (note.empty()) return failure;
      return with_note(std::move(failure), std::move(note));
    }
    auto text = python_to_json_text(result, "execution result");
    if (!text) {
      findings.stage =
          std::holds_alternative<PendingException>(text.error()) ? ResultStage::dumps : ResultStage::encoding;
      return unexpected(std::move(text).error());
    }
    findings.text = PyRef::borrow(text->text.get());
    return check_execution_result_text(text->utf8, findings);
  }();
  if (checked || from == nullptr) return checked;
  // The message names no function of the bundle's ("execute_prepared" in one
  // of them, whatever its name), so the note does.
  return with_note(unexpected(std::move(checked).error()),
                   "returned by " + from->module + ":" + from->execute_function);
}

}  // namespace korvane
