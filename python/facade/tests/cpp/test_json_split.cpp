// The check of a large text on two threads: whatever the comma the second
// thread starts after, the parse accepts and rejects what one thread does,
// with the same tree, description and position; and the second thread's
// word is in fact taken where it can be.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/build.hpp"
#include "json/parse_indexed.hpp"
#include "json/split_check.hpp"
#include "json_bridge.hpp"

namespace korvane {
namespace {

using json_detail::KeptLevels;
using json_detail::SplitCheck;
using json_detail::SplitWait;

constexpr std::string_view kNames[] = {"a", "b"};

std::vector<KeptLevels> all_levels() {
  return {KeptLevels(1), KeptLevels(2), KeptLevels(3), KeptLevels(3, kNames), KeptLevels(2, kNames)};
}

// A value of nested arrays and objects whose strings hold commas, brackets,
// quotes and escapes that look like structure.
void append_value(std::string& text, std::mt19937_64& random, int depth) {
  static const std::vector<std::string> scalars = {
      "0", "-12", "3.25", "1e5", "true", "false", "null", R"("")", R"("a, b")", R"("], {")",
      R"("\", 1")", R"("\u00e9,")", R"("x\\")", R"("}, [")", "-0.5E-3"};
  const auto pick = random() % 10;
  if (depth > 5 || pick < 4) {
    text += scalars[random() % scalars.size()];
    return;
  }
  const bool object = pick < 7;
  const std::size_t count = random() % 5;
  text += object ? '{' : '[';
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += random() % 4 == 0 ? " , " : ", ";
    if (object) {
      static const std::vector<std::string> keys = {R"("a")", R"("b")", R"("rows")", R"("a,b")", R"("\u0061")"};
      text += keys[random() % keys.size()];
      text += random() % 2 == 0 ? ": " : ":";
    }
    append_value(text, random, depth + 1);
  }
  text += object ? '}' : ']';
}

// One change that most likely breaks the text: a byte replaced, dropped or
// added.
void break_text(std::string& text, std::mt19937_64& random) {
  static constexpr std::string_view kBytes = ",:[]{}\"\\ 1e-.x\n";
  const std::size_t at = random() % text.size();
  switch (random() % 3) {
    case 0: text[at] = kBytes[random() % kBytes.size()]; break;
    case 1: text.erase(at, 1); break;
    default: text.insert(at, 1, kBytes[random() % kBytes.size()]); break;
  }
}

void expect_same_parse(std::string_view text, const KeptLevels& levels, const char* comma, int& taken) {
  const auto alone = json_detail::parse_json_text_split(text, levels, nullptr, SplitWait::always);
  bool took_over = false;
  const auto split = json_detail::parse_json_text_split(text, levels, comma, SplitWait::always, &took_over);
  taken += took_over ? 1 : 0;
  ASSERT_EQ(alone.has_value(), split.has_value()) << text << "\nsplit at " << comma - text.data();
  if (alone.has_value()) {
    EXPECT_EQ(write_json_text(*alone), write_json_text(*split)) << text << "\nsplit at " << comma - text.data();
  } else {
    EXPECT_EQ(alone.error(), split.error()) << text << "\nsplit at " << comma - text.data();
  }
}

TEST(JsonSplitCheck, AgreesWithOneThreadWhereverTheSecondStarts) {
  std::mt19937_64 random(20261207);
  int taken = 0;
  int texts = 0;
  while (texts < 600) {
    std::string text = R"({"a": {"status": "completed"}, "rows": [)";
    const std::size_t rows = random() % 6;
    for (std::size_t i = 0; i < rows; ++i) {
      if (i > 0) text += ", ";
      append_value(text, random, 1);
    }
    text += R"(], "b": [[1, 2], {"c": [3]}]})";
    if (random() % 3 == 0) break_text(text, random);
    ++texts;
    const std::vector<KeptLevels> levels = all_levels();
    const KeptLevels& chosen = levels[random() % levels.size()];
    for (std::size_t from = 0; from < text.size(); ++from) {
      const char* comma = SplitCheck::find_comma(text, from);
      if (comma == nullptr) break;
      from = static_cast<std::size_t>(comma - text.data());
      expect_same_parse(text, chosen, comma, taken);
      if (HasFatalFailure()) return;
    }
  }
  // The word of the second thread was taken often enough to have counted.
  EXPECT_GT(taken, 500);
}

TEST(JsonSplitCheck, KeepsToOneThreadWhereTheBracketsOrTheLimitDisagree) {
  int taken = 0;
  // A comma inside a string, a comma in a kept container, a stretch that
  // the second thread cannot read as one kind, a closing bracket of the
  // wrong kind, and a nesting past the limit after the comma.
  const std::vector<std::string> texts = {
      R"({"rows": ["a", "b, c", "d"]})",
      R"([1, 2, 3])",
      R"({"rows": [{"x": 1, "y": 2}, {"z": 3}]})",
      R"({"rows": [1, "k": 2]})",
      R"({"rows": {"k": 1, "j": 2]})",
      R"({"rows": [1, 2}})",
      "{\"rows\": [0, " + std::string(126, '[') + std::string(126, ']') + "]}",
      "{\"rows\": [0, " + std::string(127, '[') + std::string(127, ']') + "]}",
      std::string(120, '[') + "0, 1" + std::string(120, ']'),
  };
  for (const std::string& text : texts) {
    for (const KeptLevels& levels : all_levels()) {
      for (const char* comma = SplitCheck::find_comma(text, 0); comma != nullptr;
           comma = SplitCheck::find_comma(text, static_cast<std::size_t>(comma - text.data()) + 1)) {
        expect_same_parse(text, levels, comma, taken);
      }
    }
  }
  EXPECT_GT(taken, 0);
}

TEST(JsonSplitCheck, FindsACommaBetweenValuesOnly) {
  const std::string text = R"({"k" ,"a":"1,2" , "b": [1,{"c":2}, true,null]})";
  std::vector<std::size_t> found;
  for (const char* comma = SplitCheck::find_comma(text, 0); comma != nullptr;
       comma = SplitCheck::find_comma(text, static_cast<std::size_t>(comma - text.data()) + 1))
    found.push_back(static_cast<std::size_t>(comma - text.data()));
  // Not after a space or before one more; the one inside "1,2" looks like
  // a separator from outside and is left to the parser to turn down.
  EXPECT_EQ(found, (std::vector<std::size_t>{12, 25, 33, 39}));
  EXPECT_EQ(SplitCheck::find_comma("[1,", 0), nullptr);
  EXPECT_EQ(SplitCheck::find_comma("", 0), nullptr);
}

// The large texts that parse_json_text itself splits: an execution result
// with a large unkept member, whole and with faults near its end.
TEST(JsonSplitCheck, LargeResultsParseAsOnOneThread) {
  std::string text = R"({"machine_execution": {"status": "completed"}, "rows": [)";
  for (int i = 0; text.size() < SplitCheck::kMinimumText * 2; ++i) {
    if (i > 0) text += ", ";
    text += R"({"step": )" + std::to_string(i) + R"(, "operands": [1, -2, 3.25], "note": "ok \u00e9"})";
  }
  text += R"(], "publication": {"status": "not_published"}})";
  constexpr std::string_view kStatusMembers[] = {"machine_execution", "publication"};
  const KeptLevels levels(3, kStatusMembers);
  int taken = 0;
  expect_same_parse(text, levels, SplitCheck::find_comma(text, text.size() / 2), taken);
  EXPECT_EQ(taken, 1);
  const auto parsed = json_detail::parse_json_text_one_pass(text, levels);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(write_json_text(*parsed),
            R"({"machine_execution":{"status":"completed"},"publication":{"status":"not_published"},"rows":[]})");
  for (const std::string_view fault : {R"("\x")", "01", "[1,]", "1e999", "{\"a\" 1}"}) {
    std::string broken = text;
    broken.insert(broken.size() - 100, std::string(fault) + ", ");
    const auto one_pass = json_detail::parse_json_text_one_pass(broken, levels);
    const auto alone = json_detail::parse_json_text_split(broken, levels, nullptr, SplitWait::always);
    ASSERT_FALSE(one_pass.has_value() || alone.has_value()) << fault;
    EXPECT_EQ(one_pass.error(), alone.error()) << fault;
  }
}

}  // namespace
}  // namespace korvane
