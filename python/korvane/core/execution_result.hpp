// The structured execution result that a bundle's execute function returns:
// six status members, a fixed vocabulary of status words and the publication
// rules. Pure C++ over the parsed JSON value of the result.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "expected.hpp"
#include "json_bridge.hpp"

namespace korvane {

// The levels of the parsed result that the checks read: the top-level object
// (level 1), its members (level 2: the status objects and published_run), and
// their members (level 3: each `status`, and `published` and `path` of the
// reference), of which only the kind and the scalar values are looked at.
// Parsing with parse_json_text(text, kExecutionResultDepth) therefore gives
// the same outcome as a full parse, without building the rest of a large
// result.
inline constexpr std::size_t kExecutionResultDepth = 3;

// The six members every execution result has, in the order they are checked.
inline constexpr std::array<std::string_view, 6> kExecutionResultMembers = {
    "machine_execution",     "evidence_fulfillment", "python_sink_delivery",
    "recorder_finalization", "publication",          "published_run",
};

// The status words each status member accepts, by member, in the order the
// checks read them. The one list of the vocabulary: the type stubs and the
// command's colours are held to it by the tests.
struct StatusVocabulary {
  std::string_view field;
  std::span<const std::string_view> words;
};
inline constexpr std::string_view kMachineExecutionWords[] = {"completed", "failed", "interrupted_by_evidence_failure"};
inline constexpr std::string_view kEvidenceWords[] = {"complete", "incomplete", "failed"};
inline constexpr std::string_view kSinkDeliveryWords[] = {"complete", "failed", "not_requested"};
inline constexpr std::string_view kRecorderWords[] = {"finalized", "failed", "not_requested", "not_finalized"};
inline constexpr std::string_view kPublicationWords[] = {"published", "not_published"};
inline constexpr std::array<StatusVocabulary, 5> kStatusVocabulary = {{
    {"machine_execution", kMachineExecutionWords},
    {"evidence_fulfillment", kEvidenceWords},
    {"python_sink_delivery", kSinkDeliveryWords},
    {"recorder_finalization", kRecorderWords},
    {"publication", kPublicationWords},
}};

// The texts of the checks that execute makes around these rules (the result
// must be a dict; its JSON text must parse), for every reader that reports
// them as korvane does.
inline constexpr std::string_view kNotMappingMessage = "bundle execute_prepared must return a structured mapping";
inline constexpr std::string_view kNotJsonPrefix = "bundle execution result is not JSON-compatible: ";

// Parses the text of an execution result as deep as the checks read: to
// kExecutionResultDepth in the six members that the format names, and only
// the kind of every other member (a large `rows` array, say, is checked but
// stored empty). Accepts and rejects exactly what parse_json_text does.
Expected<JsonValue, JsonParseError> parse_execution_result(std::string_view text);

// Checks a parsed execution result; the first failing check decides the
// message, which the caller raises as TypeError. Members that the format
// does not name are allowed and ignored. Reads no deeper than
// kExecutionResultDepth. When the check that fails finds a status member
// given as a bare string, `note` (if given) receives the form it must take.
Expected<Ok, std::string> validate_execution_result(const JsonValue& result, std::string* note = nullptr);

// The `status` text of the top-level member `field`, when that member is an
// object whose `status` is a string; otherwise the message
// "bundle execution result field {field} needs a string status".
// The view points into `result`.
Expected<std::string_view, std::string> read_field_status(const JsonValue& result, std::string_view field);

}  // namespace korvane
