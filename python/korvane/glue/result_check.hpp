// The one verdict on what a bundle's execute function returned, as execute
// gives it: a dict, whose json.dumps text parses and keeps the rules of the
// execution result. The korvane module's execute and korvane_tools (the kit,
// `korvane check-result`, `korvane run`) all reach it here, so a rejected
// result gets the same exception, message and notes from each.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "provider_metadata.hpp"

namespace korvane {

// Where the checks stopped.
enum class ResultStage {
  accepted,
  mapping,   // not a dict
  dumps,     // json.dumps (or the import of json) raised: its own exception
  encoding,  // json.dumps gave no str with a UTF-8 form
  json,      // the text does not parse
  rule,      // a rule of the execution result
};

// What the checks found, for readers that show more than the exception.
struct ResultFindings {
  ResultStage stage = ResultStage::accepted;
  PyRef text;          // the str json.dumps returned, once it has
  std::string detail;  // the parse error's text form, or the rule's message
  std::size_t line = 0;
  std::size_t column = 0;  // of the parse error
  std::string path;        // of the member at the parse error; empty at the top level
};

// Checks `result` as execute does. The error is what execute raises: the
// module's own with its notes (what came back, where the text breaks, how a
// status is written, and, with `from`, which bundle function returned it), or
// the very exception json.dumps raised. `findings` receives the rest.
Result<Ok> check_execution_result(PyObject* result, const BundleProvider* from, ResultFindings& findings);

// The same checks from the JSON text on: a document read as execute reads
// the text json.dumps gave.
Result<Ok> check_execution_result_text(std::string_view text, ResultFindings& findings);

}  // namespace korvane
