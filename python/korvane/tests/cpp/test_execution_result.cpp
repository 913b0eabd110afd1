#include "execution_result.hpp"

#include <gtest/gtest.h>

#include "object_text.hpp"

#include <algorithm>
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

std::string result_text(const Members& changes = {}) {
  return korvane::test_support::object_text(unpublished_members(), changes);
}

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
  EXPECT_EQ(check_parsed(korvane::parse_json_text(text, korvane::kExecutionResultDepth)), verdict) << "text: " << text;
  EXPECT_EQ(check_parsed(korvane::parse_execution_result(text)), verdict) << "text: " << text;
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
  EXPECT_EQ(check(published_with({{"published_run", R"({"published":true,"path":" "})"}})), "<valid>");
}

TEST(ExecutionResultAccepted, EveryStatusWord) {
  for (const char* word : {"completed", "failed", "interrupted_by_evidence_failure"}) {
    EXPECT_EQ(check({{"machine_execution", std::string(R"({"status":")") + word + "\"}"}}), "<valid>");
  }
  for (const char* word : {"complete", "incomplete", "failed"}) {
    EXPECT_EQ(check({{"evidence_fulfillment", std::string(R"({"status":")") + word + "\"}"}}), "<valid>");
  }
  for (const char* word : {"complete", "failed", "not_requested"}) {
    EXPECT_EQ(check({{"python_sink_delivery", std::string(R"({"status":")") + word + "\"}"}}), "<valid>");
  }
  // The recorder is free when nothing is published.
  for (const char* word : {"finalized", "failed", "not_requested", "not_finalized"}) {
    EXPECT_EQ(check({{"recorder_finalization", std::string(R"({"status":")") + word + "\"}"}}), "<valid>");
  }
}

TEST(ExecutionResultAccepted, ExtraMembersAreIgnored) {
  EXPECT_EQ(check({{"extra", "[1,2]"},
                   {"machine_execution", R"({"status":"completed","detail":{"x":1}})"},
                   {"publication", R"({"status":"not_published","why":null})"}}),
            "<valid>");
  EXPECT_EQ(check(published_with({{"published_run", R"({"published":true,"path":"p","digest":"abc"})"}})), "<valid>");
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
  EXPECT_EQ(check({{"published_run", std::nullopt}}), "bundle execution result is missing \"published_run\"");
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
    EXPECT_EQ(check({{"evidence_fulfillment", value}}), "evidence_fulfillment must contain a string status") << value;
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
  EXPECT_EQ(check({{"recorder_finalization", R"({"status":"x"})"}, {"publication", R"({"status":"y"})"}}),
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
  const std::string message = "published run requires finalized recorder outcome and a run reference";
  for (const char* word : {"failed", "not_requested", "not_finalized"}) {
    EXPECT_EQ(check(published_with({{"recorder_finalization", std::string(R"({"status":")") + word + "\"}"}})), message)
        << word;
  }
  // Reported before the reference is looked at.
  EXPECT_EQ(check(published_with({{"recorder_finalization", R"({"status":"failed"})"}, {"published_run", "null"}})),
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
                            R"({"published":"true","path":"p"})", R"({"path":"p"})", R"({"published":true,"path":""})",
                            R"({"published":true})", R"({"published":true,"path":5})", "{}"}) {
    EXPECT_EQ(check(published_with({{"published_run", value}})),
              "published-run reference needs a non-empty path and published=true")
        << value;
  }
}

TEST(ExecutionResultPublication, UnpublishedCannotCarryReference) {
  for (const char* value : {"{}", "false", "0", R"("")", "[]", R"({"published":true,"path":"p"})"}) {
    EXPECT_EQ(check({{"published_run", value}}), "unpublished outcome cannot carry a published-run reference") << value;
  }
}

// --- Near misses: each closed vocabulary against its look-alikes -----------------------
//
// A bundle that mixes up two fields' words, or writes one in another case or
// with a stray blank, must be refused, whatever the field.

// A text between double quotes with `"`, `\`, tab and line feed escaped: the
// JSON string literal of a look-alike and, for these characters, also its
// quoted form in the messages.
std::string escaped(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out + "\"";
}

// Look-alikes of one word: other letter case, surrounding blanks, a hyphen for
// an underscore, one letter less and one more.
std::vector<std::string> look_alikes(const std::string& word) {
  std::vector<std::string> out;
  std::string capital = word;
  capital[0] = static_cast<char>(capital[0] - 'a' + 'A');
  out.push_back(capital);
  std::string upper = word;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  out.push_back(upper);
  out.push_back(" " + word);
  out.push_back(word + " ");
  out.push_back(word + "\t");
  out.push_back(word + "\n");
  if (word.find('_') != std::string::npos) {
    std::string hyphen = word;
    for (char& c : hyphen) {
      if (c == '_') c = '-';
    }
    out.push_back(hyphen);
  }
  out.push_back(word.substr(0, word.size() - 1));
  out.push_back(word + "s");
  return out;
}

struct StatusVocabulary {
  std::string field;
  std::string named_in_message;
  std::vector<std::string> words;
};

const std::vector<StatusVocabulary> kStatusVocabularies = {
    {"machine_execution", "machine-execution", {"completed", "failed", "interrupted_by_evidence_failure"}},
    {"evidence_fulfillment", "evidence", {"complete", "incomplete", "failed"}},
    {"python_sink_delivery", "Python-sink", {"complete", "failed", "not_requested"}},
    {"recorder_finalization", "recorder", {"finalized", "failed", "not_requested", "not_finalized"}},
    {"publication", "publication", {"published", "not_published"}},
};

TEST(ExecutionResultNearMiss, StatusWordsOfOtherFieldsCaseAndBlanks) {
  for (const StatusVocabulary& vocabulary : kStatusVocabularies) {
    std::vector<std::string> near_misses;
    for (const StatusVocabulary& other : kStatusVocabularies) {
      for (const std::string& word : other.words) {
        if (std::find(vocabulary.words.begin(), vocabulary.words.end(), word) == vocabulary.words.end()) {
          near_misses.push_back(word);
        }
      }
    }
    for (const std::string& word : vocabulary.words) {
      for (std::string& alike : look_alikes(word)) near_misses.push_back(std::move(alike));
    }
    // Words from the neighbouring texts: the result's own member names, the
    // status key itself, and literals written as text by a bundle that
    // turned a boolean or None into a string.
    near_misses.insert(near_misses.end(), {"status", vocabulary.field, "published_run", "", "true", "false", "null",
                                           "True", "False", "None"});
    for (const std::string& word : near_misses) {
      EXPECT_EQ(check({{vocabulary.field, R"({"status":)" + escaped(word) + "}"}}),
                "bundle execution result has unsupported " + vocabulary.named_in_message + " status " + escaped(word))
          << vocabulary.field << " with " << escaped(word);
    }
  }
}

TEST(ExecutionResultNearMiss, StatusKeyLookAlikes) {
  for (const StatusVocabulary& vocabulary : kStatusVocabularies) {
    const std::string expected =
        vocabulary.field == "evidence_fulfillment"
            ? std::string("evidence_fulfillment must contain a string status")
            : "bundle execution result field " + escaped(vocabulary.field) + " needs a string status";
    std::vector<std::string> keys = look_alikes("status");
    keys.insert(keys.end(), {"state", "statuses", "result"});
    for (const std::string& key : keys) {
      EXPECT_EQ(check({{vocabulary.field, "{" + escaped(key) + ":" + escaped(vocabulary.words[0]) + "}"}}), expected)
          << vocabulary.field << " keyed " << escaped(key);
    }
  }
}

TEST(ExecutionResultNearMiss, TopLevelMemberLookAlikes) {
  const std::vector<std::string> members = {"machine_execution",     "evidence_fulfillment", "python_sink_delivery",
                                            "recorder_finalization", "publication",          "published_run"};
  for (const std::string& member : members) {
    const std::optional<std::string> value = [&] {
      for (const auto& [key, raw] : unpublished_members()) {
        if (key == member) return raw;
      }
      return std::optional<std::string>();
    }();
    for (const std::string& alike : look_alikes(member)) {
      // object_text writes keys as given, so the key goes in escaped.
      const std::string key = escaped(alike).substr(1, escaped(alike).size() - 2);
      EXPECT_EQ(
          check_text(korvane::test_support::object_text(unpublished_members(), {{member, std::nullopt}, {key, value}})),
          "bundle execution result is missing " + escaped(member))
          << member << " written " << escaped(alike);
    }
  }
}

TEST(ExecutionResultNearMiss, PublishedRunReferenceMemberLookAlikes) {
  const std::string message = "published-run reference needs a non-empty path and published=true";
  std::vector<std::string> references;
  for (const std::string& alike : look_alikes("published")) {
    references.push_back("{" + escaped(alike) + R"(:true,"path":"runs/1"})");
  }
  references.push_back(R"({"publish":true,"path":"runs/1"})");
  references.push_back(R"({"is_published":true,"path":"runs/1"})");
  for (const std::string& alike : look_alikes("path")) {
    references.push_back(R"({"published":true,)" + escaped(alike) + R"(:"runs/1"})");
  }
  references.push_back(R"({"published":true,"file":"runs/1"})");
  references.push_back(R"({"published":true,"run_id":"runs/1"})");
  for (const std::string& reference : references) {
    EXPECT_EQ(check(published_with({{"published_run", reference}})), message) << reference;
  }
}

TEST(ExecutionResultNearMiss, PublishedFlagLookAlikes) {
  const std::string message = "published-run reference needs a non-empty path and published=true";
  for (const char* flag :
       {"false", "1", "0", R"("true")", R"("True")", R"("published")", "null", "[true]", R"({"value":true})"}) {
    EXPECT_EQ(check(published_with({{"published_run", std::string(R"({"published":)") + flag + R"(,"path":"p"})"}})),
              message)
        << flag;
  }
}

}  // namespace
