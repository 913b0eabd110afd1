#include "execution_result.hpp"

#include <gtest/gtest.h>

#include "object_text.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using korvane::JsonValue;

// Top-level members as raw JSON.
using korvane::test_support::Members;

Members unpublished_members() {
  return {
      {"machine_execution", R"({"status":"completed"})"},
      {"evidence_fulfillment", R"({"status":"complete"})"},
      {"python_sink_delivery", R"({"status":"not_requested"})"},
      {"recorder_finalization", R"({"status":"not_finalized"})"},
      {"publication", R"({"status":"not_published"})"},
      {"published_run", "null"},
  };
}

std::string result_text(const Members& changes = {}) { return korvane::test_support::object_text(unpublished_members(), changes); }

// "<valid>" or the message of the first failing check.
std::string check_parsed(const korvane::Expected<JsonValue, korvane::JsonParseError>& parsed) {
  if (!parsed) return "<unparsable: " + parsed.error().to_string() + ">";
  auto result = korvane::validate_execution_result(*parsed);
  return result ? "<valid>" : result.error();
}

// Every verdict is also checked on the tree kept only as deep as the checks
// read, which is how results are parsed for real.
std::string check_text(const std::string& text) {
  const std::string verdict = check_parsed(korvane::parse_json_text(text));
  EXPECT_EQ(check_parsed(korvane::parse_json_text(text, korvane::kExecutionResultDepth)), verdict)
      << "text: " << text;
  return verdict;
}

std::string check(const Members& changes = {}) { return check_text(result_text(changes)); }

const Members kPublished = {
    {"recorder_finalization", R"({"status":"finalized"})"},
    {"publication", R"({"status":"published"})"},
    {"published_run", R"({"published":true,"path":"runs/0001"})"},
};

Members published_with(Members changes) {
  Members members = kPublished;
  members.insert(members.end(), changes.begin(), changes.end());
  return members;
}

// --- Accepted results ----------------------------------------------------------------

TEST(ExecutionResultAccepted, UnpublishedWithNullReference) { EXPECT_EQ(check(), "<valid>"); }

TEST(ExecutionResultAccepted, PublishedWithFinalizedRecorder) {
  EXPECT_EQ(check(kPublished), "<valid>");
  EXPECT_EQ(check(published_with({{"machine_execution", R"({"status":"failed"})"}})), "<valid>");
  // A path of one blank is non-empty.
  EXPECT_EQ(check(published_with({{"published_run", R"({"published":true,"path":" "})"}})),
            "<valid>");
}

TEST(ExecutionResultAccepted, EveryStatusWord) {
  for (const char* word : {"completed", "failed", "interrupted_by_evidence_failure"}) {
    EXPECT_EQ(check({{"machine_execution", std::string(R"({"status":")") + word + "\"}"}}),
              "<valid>");
  }
  for (const char* word : {"complete", "incomplete", "failed"}) {
    EXPECT_EQ(check({{"evidence_fulfillment", std::string(R"({"status":")") + word + "\"}"}}),
              "<valid>");
  }
  for (const char* word : {"complete", "failed", "not_requested"}) {
    EXPECT_EQ(check({{"python_sink_delivery", std::string(R"({"status":")") + word + "\"}"}}),
              "<valid>");
  }
  // The recorder is free when nothing is published.
  for (const char* word : {"finalized", "failed", "not_requested", "not_finalized"}) {
    EXPECT_EQ(check({{"recorder_finalization", std::string(R"({"status":")") + word + "\"}"}}),
              "<valid>");
  }
}

TEST(ExecutionResultAccepted, ExtraMembersAreIgnored) {
  EXPECT_EQ(check({{"extra", "[1,2]"},
                   {"machine_execution", R"({"status":"completed","detail":{"x":1}})"},
                   {"publication", R"({"status":"not_published","why":null})"}}),
            "<valid>");
  EXPECT_EQ(check(published_with(
                {{"published_run", R"({"published":true,"path":"p","digest":"abc"})"}})),
            "<valid>");
}

// --- Shape and presence -----------------------------------------------------------------

TEST(ExecutionResultShape, NotAnObject) {
  for (const char* text : {"[]", "null", "\"completed\"", "1"}) {
    EXPECT_EQ(check_text(text), "bundle execution result must be an object") << text;
  }
}

TEST(ExecutionResultShape, MissingMembersInFixedOrder) {
  EXPECT_EQ(check_text("{}"), "bundle execution result is missing \"machine_execution\"");
  EXPECT_EQ(check({{"publication", std::nullopt}, {"published_run", std::nullopt}}),
            "bundle execution result is missing \"publication\"");
  EXPECT_EQ(check({{"published_run", std::nullopt}}),
            "bundle execution result is missing \"published_run\"");
  // Presence of all six is checked before any status.
  EXPECT_EQ(check({{"machine_execution", "1"}, {"recorder_finalization", std::nullopt}}),
            "bundle execution result is missing \"recorder_finalization\"");
  // Null counts as present.
  EXPECT_EQ(check({{"machine_execution", "null"}}),
            "bundle execution result field \"machine_execution\" needs a string status");
}

// --- Status fields -------------------------------------------------------------------------

TEST(ExecutionResultStatus, FieldNeedsStringStatus) {
  const auto needs = [](const char* field) {
    return std::string("bundle execution result field \"") + field + "\" needs a string status";
  };
  EXPECT_EQ(check({{"machine_execution", R"("completed")"}}), needs("machine_execution"));
  EXPECT_EQ(check({{"machine_execution", "{}"}}), needs("machine_execution"));
  EXPECT_EQ(check({{"machine_execution", R"({"status":1})"}}), needs("machine_execution"));
  EXPECT_EQ(check({{"python_sink_delivery", R"({"status":null})"}}), needs("python_sink_delivery"));
  EXPECT_EQ(check({{"recorder_finalization", "[]"}}), needs("recorder_finalization"));
  EXPECT_EQ(check({{"publication", R"({"Status":"published"})"}}), needs("publication"));
}

TEST(ExecutionResultStatus, EvidenceHasItsOwnMessage) {
  for (const char* value : {"{}", R"("complete")", "null", R"({"status":true})"}) {
    EXPECT_EQ(check({{"evidence_fulfillment", value}}),
              "evidence_fulfillment must contain a string status")
        << value;
  }
}

TEST(ExecutionResultStatus, UnsupportedWordsAreQuoted) {
  EXPECT_EQ(check({{"machine_execution", R"({"status":"Completed"})"}}),
            "bundle execution result has unsupported machine-execution status \"Completed\"");
  EXPECT_EQ(check({{"evidence_fulfillment", R"({"status":"complete "})"}}),
            "bundle execution result has unsupported evidence status \"complete \"");
  EXPECT_EQ(check({{"python_sink_delivery", R"({"status":"completed"})"}}),
            "bundle execution result has unsupported Python-sink status \"completed\"");
  EXPECT_EQ(check({{"recorder_finalization", R"({"status":""})"}}),
            "bundle execution result has unsupported recorder status \"\"");
  EXPECT_EQ(check({{"publication", R"({"status":"pub\"lished\n"})"}}),
            "bundle execution result has unsupported publication status \"pub\\\"lished\\n\"");
}

TEST(ExecutionResultStatus, FirstFailureInOrderWins) {
  // An unsupported machine status hides an empty evidence object.
  EXPECT_EQ(check({{"machine_execution", R"({"status":"done"})"}, {"evidence_fulfillment", "{}"}}),
            "bundle execution result has unsupported machine-execution status \"done\"");
  EXPECT_EQ(check({{"python_sink_delivery", "1"}, {"recorder_finalization", "1"}}),
            "bundle execution result field \"python_sink_delivery\" needs a string status");
  // A bad recorder word comes before an unsupported publication word.
  EXPECT_EQ(check({{"recorder_finalization", R"({"status":"x"})"},
                   {"publication", R"({"status":"y"})"}}),
            "bundle execution result has unsupported recorder status \"x\"");
  // An unsupported publication word is reported whatever published_run holds.
  EXPECT_EQ(check({{"publication", R"({"status":"Published"})"}, {"published_run", "7"}}),
            "bundle execution result has unsupported publication status \"Published\"");
}

TEST(ExecutionResultStatus, ReadFieldStatusDirectly) {
  auto parsed = korvane::parse_json_text(R"({"a":{"status":"ok","x":1},"b":{"status":2}})");
  ASSERT_TRUE(parsed);
  auto a = korvane::read_field_status(*parsed, "a");
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, "ok");
  EXPECT_EQ(korvane::read_field_status(*parsed, "b").error(),
            "bundle execution result field \"b\" needs a string status");
  EXPECT_EQ(korvane::read_field_status(*parsed, "c").error(),
            "bundle execution result field \"c\" needs a string status");
  EXPECT_FALSE(korvane::read_field_status(JsonValue::null(), "a"));
}

// --- Publication rules ---------------------------------------------------------------------

TEST(ExecutionResultPublication, PublishedNeedsFinalizedRecorderFirst) {
  const std::string message =
      "published run requires finalized recorder outcome and a run reference";
  for (const char* word : {"failed", "not_requested", "not_finalized"}) {
    EXPECT_EQ(check(published_with(
                  {{"recorder_finalization", std::string(R"({"status":")") + word + "\"}"}})),
              message)
        << word;
  }
  // Reported before the reference is looked at.
  EXPECT_EQ(check(published_with({{"recorder_finalization", R"({"status":"failed"})"},
                                  {"published_run", "null"}})),
            message);
}

TEST(ExecutionResultPublication, PublishedNeedsObjectReference) {
  for (const char* value : {"null", "[]", R"("runs/1")", "true"}) {
    EXPECT_EQ(check(published_with({{"published_run", value}})),
              "published outcome requires an object published-run reference")
        << value;
  }
}

TEST(ExecutionResultPublication, ReferenceNeedsPathAndPublishedTrue) {
  for (const char* value : {R"({"published":1,"path":"p"})", R"({"published":false,"path":"p"})",
                            R"({"published":"true","path":"p"})", R"({"path":"p"})",
                            R"({"published":true,"path":""})", R"({"published":true})",
                            R"({"published":true,"path":5})", "{}"}) {
    EXPECT_EQ(check(published_with({{"published_run", value}})),
              "published-run reference needs a non-empty path and published=true")
        << value;
  }
}

TEST(ExecutionResultPublication, UnpublishedCannotCarryReference) {
  for (const char* value : {"{}", "false", "0", R"("")", "[]",
                            R"({"published":true,"path":"p"})"}) {
    EXPECT_EQ(check({{"published_run", value}}),
              "unpublished outcome cannot carry a published-run reference")
        << value;
  }
}

}  // namespace
