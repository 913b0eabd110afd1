#include "execution_result.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "quoted.hpp"

namespace korvane {
namespace {

// ---------------------------------------------------------------------------
// Every message of the execution-result checks. Field names and status words
// are shown in quoted form.
// ---------------------------------------------------------------------------

constexpr std::string_view kNotAnObject = "bundle execution result must be an object";
constexpr std::string_view kEvidenceNeedsStatus = "evidence_fulfillment must contain a string status";
constexpr std::string_view kPublishedNeedsFinalized =
    "published run requires finalized recorder outcome and a run reference";
constexpr std::string_view kPublishedNeedsObjectReference =
    "published outcome requires an object published-run reference";
constexpr std::string_view kReferenceNeedsPathAndFlag =
    "published-run reference needs a non-empty path and published=true";
constexpr std::string_view kUnpublishedCarriesReference = "unpublished outcome cannot carry a published-run reference";

std::string message_missing(std::string_view field) {
  return "bundle execution result is missing " + korvane::quoted(field);
}

std::string message_needs_string_status(std::string_view field) {
  return "bundle execution result field " + korvane::quoted(field) + " needs a string status";
}

std::string message_unsupported_status(std::string_view what, std::string_view status) {
  return "bundle execution result has unsupported " + std::string(what) + " status " + korvane::quoted(status);
}

std::string message_unsupported_machine_status(std::string_view status) {
  return message_unsupported_status("machine-execution", status);
}

std::string message_unsupported_evidence_status(std::string_view status) {
  return message_unsupported_status("evidence", status);
}

std::string message_unsupported_sink_status(std::string_view status) {
  return message_unsupported_status("Python-sink", status);
}

std::string message_unsupported_recorder_status(std::string_view status) {
  return message_unsupported_status("recorder", status);
}

std::string message_unsupported_publication_status(std::string_view status) {
  return message_unsupported_status("publication", status);
}

// ---------------------------------------------------------------------------

constexpr std::string_view kMachineExecution = "machine_execution";
constexpr std::string_view kEvidenceFulfillment = "evidence_fulfillment";
constexpr std::string_view kPythonSinkDelivery = "python_sink_delivery";
constexpr std::string_view kRecorderFinalization = "recorder_finalization";
constexpr std::string_view kPublication = "publication";
constexpr std::string_view kPublishedRun = "published_run";

// The words the publication rules below name, as the vocabulary lists them.
static_assert(kPublicationWords[0] == "published" && kPublicationWords[1] == "not_published");

// The same words as the list in the header, in its order.
static_assert(kExecutionResultMembers == std::array{kMachineExecution, kEvidenceFulfillment, kPythonSinkDelivery,
                                                    kRecorderFinalization, kPublication, kPublishedRun});

bool is_one_of(std::string_view word, std::span<const std::string_view> accepted) {
  return std::find(accepted.begin(), accepted.end(), word) != accepted.end();
}

// The `status` string of a status object, if it has one.
std::optional<std::string_view> status_of(const JsonValue* member) {
  const JsonObject* object = member != nullptr ? member->as_object() : nullptr;
  const JsonValue* status = object != nullptr ? object->find("status") : nullptr;
  return status != nullptr ? status->as_string() : std::nullopt;
}

// How a status member given as a bare string must be written; empty for a
// member of any other kind.
std::string bare_status_note(const JsonValue* member) {
  const std::optional<std::string_view> word = member != nullptr ? member->as_string() : std::nullopt;
  if (!word) return {};
  return "a status must be an object: {\"status\": " + korvane::quoted(*word) + "}, not the bare string " +
         korvane::quoted(*word);
}

bool is_valid_published_reference(const JsonObject& reference) {
  const JsonValue* published = reference.find("published");
  if (published == nullptr || !published->is_bool() || !published->as_bool()) {
    return false;
  }
  const JsonValue* path = reference.find("path");
  const std::optional<std::string_view> path_text = path != nullptr ? path->as_string() : std::nullopt;
  return path_text && !path_text->empty();
}

}  // namespace

Expected<std::string_view, std::string> read_field_status(const JsonValue& result, std::string_view field) {
  const JsonObject* object = result.as_object();
  const std::optional<std::string_view> status = status_of(object != nullptr ? object->find(field) : nullptr);
  if (!status) {
    return unexpected(message_needs_string_status(field));
  }
  return *status;
}

Expected<JsonValue, JsonParseError> parse_execution_result(std::string_view text) {
  return parse_json_text(text, kExecutionResultDepth, kExecutionResultMembers);
}

Expected<Ok, std::string> validate_execution_result(const JsonValue& result, std::string* note) {
  const JsonObject* object = result.as_object();
  if (object == nullptr) {
    return unexpected(std::string(kNotAnObject));
  }
  // Presence first, for all six; null counts as present.
  for (const std::string_view field : kExecutionResultMembers) {
    if (object->find(field) == nullptr) {
      return unexpected(message_missing(field));
    }
  }

  Expected<std::string_view, std::string> machine = read_field_status(result, kMachineExecution);
  if (!machine) {
    if (note != nullptr) *note = bare_status_note(object->find(kMachineExecution));
    return unexpected(std::move(machine).error());
  }
  if (!is_one_of(*machine, kMachineExecutionWords)) {
    return unexpected(message_unsupported_machine_status(*machine));
  }

  const std::optional<std::string_view> evidence = status_of(object->find(kEvidenceFulfillment));
  if (!evidence) {
    if (note != nullptr) *note = bare_status_note(object->find(kEvidenceFulfillment));
    return unexpected(std::string(kEvidenceNeedsStatus));
  }
  if (!is_one_of(*evidence, kEvidenceWords)) {
    return unexpected(message_unsupported_evidence_status(*evidence));
  }

  Expected<std::string_view, std::string> sinks = read_field_status(result, kPythonSinkDelivery);
  if (!sinks) {
    if (note != nullptr) *note = bare_status_note(object->find(kPythonSinkDelivery));
    return unexpected(std::move(sinks).error());
  }
  if (!is_one_of(*sinks, kSinkDeliveryWords)) {
    return unexpected(message_unsupported_sink_status(*sinks));
  }

  Expected<std::string_view, std::string> recorder = read_field_status(result, kRecorderFinalization);
  if (!recorder) {
    if (note != nullptr) *note = bare_status_note(object->find(kRecorderFinalization));
    return unexpected(std::move(recorder).error());
  }
  if (!is_one_of(*recorder, kRecorderWords)) {
    return unexpected(message_unsupported_recorder_status(*recorder));
  }

  Expected<std::string_view, std::string> publication = read_field_status(result, kPublication);
  if (!publication) {
    if (note != nullptr) *note = bare_status_note(object->find(kPublication));
    return unexpected(std::move(publication).error());
  }

  const JsonValue& published_run = *object->find(kPublishedRun);
  if (*publication == "published") {
    if (*recorder != "finalized") {
      return unexpected(std::string(kPublishedNeedsFinalized));
    }
    const JsonObject* reference = published_run.as_object();
    if (reference == nullptr) {
      return unexpected(std::string(kPublishedNeedsObjectReference));
    }
    if (!is_valid_published_reference(*reference)) {
      return unexpected(std::string(kReferenceNeedsPathAndFlag));
    }
    return Ok{};
  }
  if (*publication == "not_published") {
    if (!published_run.is_null()) {
      return unexpected(std::string(kUnpublishedCarriesReference));
    }
    return Ok{};
  }
  return unexpected(message_unsupported_publication_status(*publication));
}

}  // namespace korvane
