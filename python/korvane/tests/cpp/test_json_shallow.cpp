// The parse that keeps only the first levels of a text: the tree is the full
// one cut off at the kept depth, and everything below is still checked, with
// the full parse's error and position.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "json_bridge.hpp"

namespace korvane {
namespace {

JsonValue parse_ok(std::string_view text, std::size_t kept_depth) {
  auto result = parse_json_text(text, kept_depth);
  EXPECT_TRUE(result.has_value()) << "text: " << text;
  return result.has_value() ? std::move(result).value() : JsonValue();
}

// The compact text of the shallow tree, to compare shapes at a glance.
std::string shape(std::string_view text, std::size_t kept_depth) { return write_json_text(parse_ok(text, kept_depth)); }

// The shallow parse fails as the full one does, and the full one fails.
void expect_same_failure(const std::string& text, std::size_t kept_depth) {
  auto full = parse_json_text(text);
  auto shallow = parse_json_text(text, kept_depth);
  ASSERT_FALSE(full.has_value()) << "text: " << text;
  ASSERT_FALSE(shallow.has_value()) << "text: " << text << " kept depth " << kept_depth;
  EXPECT_EQ(shallow.error().to_string(), full.error().to_string()) << "kept depth " << kept_depth;
}

// The shallow parse at kept depths 1 to 3 accepts or fails as the full one
// does, with its error and position.
void expect_same_outcome(const std::string& text) {
  auto full = parse_json_text(text);
  for (std::size_t kept_depth : std::vector<std::size_t>{1, 2, 3}) {
    auto shallow = parse_json_text(text, kept_depth);
    ASSERT_EQ(shallow.has_value(), full.has_value()) << text << " kept depth " << kept_depth;
    if (!full.has_value()) {
      EXPECT_EQ(shallow.error(), full.error()) << text << " kept depth " << kept_depth;
    }
  }
}

constexpr std::string_view kNested = R"({"n":1.5,"a":{"b":[1,{"c":2}],"s":"x"},"z":[[]]})";

TEST(JsonShallowParse, ContainersAtTheKeptDepthAreEmptied) {
  EXPECT_EQ(shape(kNested, 1), "{}");
  EXPECT_EQ(shape(kNested, 2), R"({"a":{},"n":1.5,"z":[]})");
  EXPECT_EQ(shape(kNested, 3), R"({"a":{"b":[],"s":"x"},"n":1.5,"z":[[]]})");
  EXPECT_EQ(shape(kNested, 4), R"({"a":{"b":[1,{}],"s":"x"},"n":1.5,"z":[[]]})");
  EXPECT_EQ(shape(kNested, 0), shape(kNested, 1));
  EXPECT_EQ(parse_ok(kNested, 128), parse_ok(kNested, 5));
  EXPECT_EQ(parse_ok(kNested, std::size_t(-1)), *parse_json_text(kNested));
  // Scalars at the top are whole at any depth.
  EXPECT_EQ(shape(R"("\u00e9 long enough to need a block")", 1), "\"\xc3\xa9 long enough to need a block\"");
  EXPECT_EQ(shape("-0", 1), "-0.0");
}

TEST(JsonShallowParse, RepeatedKeysStillLetTheLastWin) {
  EXPECT_EQ(shape(R"({"a":{"x":1},"b":0,"a":[{"y":2}]})", 2), R"({"a":[],"b":0})");
  EXPECT_EQ(shape(R"({"a":[1],"a":"last"})", 2), R"({"a":"last"})");
}

TEST(JsonShallowParse, EveryErrorBelowTheKeptDepthIsTheFullParses) {
  const std::vector<std::string> fragments = {
      // numbers, including the ones that overflow only after conversion
      "-", "01", "1.", "1.e5", "1e", "1e+", "[1.5e]", "[-inf]", "1e309", "-1.8e308", std::string(309, '9'),
      "-" + std::string(309, '9') + ".5", "1" + std::string(400, '0') + "e-5", "1.5.3",
      // strings
      "\"\\x\"", "\"a\tb\"", "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\\ud800x\"", "\"\\u00g0\"", "\"abc",
      // literals and structure
      "tru", "nulx", "NaN", "[1,]", "{\"a\":1,}", "{1:2}", "{\"a\" 1}", "[1 2]", "{\"a\":1 \"b\":2}", "[", "{", "\"a\\",
      "[1,\n\n  x]"};
  for (const std::string& fragment : fragments) {
    // The fragment at level 4, under a kept level; and right under a root
    // that keeps nothing; and as the text is cut short.
    const std::string deep = "{\"keep\":1,\"deep\":[{\"x\":\n" + fragment + "}]}";
    for (std::size_t kept_depth : std::vector<std::size_t>{1, 2, 3}) expect_same_failure(deep, kept_depth);
    expect_same_failure("[" + fragment + "]", 1);
    expect_same_failure("{\"a\":[[" + fragment, 2);
  }
}

// Text spaced as json.dumps writes it (", " and ": "), with the fault far
// from the end and near it: the shortcuts for those separators and for
// short strings must fail where the full parse fails, and accept what it
// accepts.
TEST(JsonShallowParse, DumpsSpacingFailsAndPassesAsTheFullParse) {
  const std::vector<std::string> values = {
      // separators the shortcuts must not take
      "1, ]", "1,  ]", "1 ,2]", "1,\t2]", "1,]", "[], ]", "{\"a\": 1, }", "{\"a\" : 1}", "{\"a\":  1}", "{\"a\":\t1}",
      "{\"a\": }", "{\"a\": ,", "{\"a\": 1, \"b\" 2}", "{\"a\": 1 \"b\": 2}", "{\"a\": 1, 2}", "{\"a\": 1, \"b\": 2]",
      "[1, 2}", "{\"a\": 1,\"b\": 2}", "{\"a\": 1, \"b\": x}", "1, x]",
      // strings of up to fifteen bytes and a little longer, with faults at every kind of place
      "\"\\u00e9\", 1]", "\"ab\\u00G9cd\"]", "\"\\ud800\\udc00xx\"]", "\"\\ud800\\u0041\"]", "\"a\\u12\"]",
      "\"\\u00e9\x01\"]", "\"abc\x1f\"]", "\"\x7f\x80\xff\"]", "\"fifteen bytes..\"]", "\"sixteen bytes...\"]",
      "\"\\\\\\\"\\/\\b\\f\\n\\r\\t\"]", "\"\\q\"]", "\"ab\\\"]", "{\"a\\tb\": 1}", "{\"ke\x02y\": 1}", "{\"\\u0\": 1}",
      "\"\\u00eZ\"]", "\"x\\u00e\"]", "\"\\uD83D\\ude00\"]",
      // numbers and literals right before the spaced separators
      "0, 01]", "-, 1]", "1.5, 2.]", "1e5, 1e]", "true, tru]", "null, nul]", "-0, -01]", "7, 8, 9, 10]"};
  const std::string tail(40, ' ');
  for (const std::string& value : values) {
    for (const std::string& text :
         {"{\"keep\": 1, \"rows\": [{\"step\": 0, \"x\": [" + value + "}]}" + tail,
          "{\"keep\": 1, \"rows\": [{\"step\": 0, \"x\": [" + value + "}]}", "{\"rows\": [[" + value})
      expect_same_outcome(text);
  }
}

// The same outcome as the full parse for `prefix` and `middle`, closed with
// room after it, closed at the end of the text and cut short there, at kept
// depths 1 to 3 (where it is only checked).
void expect_as_full_parse(const std::string& prefix, const std::string& middle) {
  const std::string tail(40, ' ');
  for (const std::string& text : {prefix + middle + "}]}" + tail, prefix + middle + "}]}", prefix + middle})
    expect_same_outcome(text);
}

// Keys of every length up to twenty bytes, followed by what the check must
// find right after them (the step past a key is counted case by case), and
// strings whose escapes fall at every place in and across the sixteen bytes
// read at once, as keys and as values.
TEST(JsonShallowParse, KeysAndEscapesAtEveryPlaceFailAndPassAsTheFullParse) {
  const std::string rows = "{\"keep\": 1, \"rows\": [{\"step\": 0, ";
  for (std::size_t length = 0; length <= 20; ++length) {
    const std::string key = "\"" + std::string(length, 'k') + "\"";
    for (const std::string after : {": 1", ":1", " : 1", "\": 1", "x: 1", ": }", ":  1", ", 1"}) {
      expect_as_full_parse(rows, key + after);
      expect_as_full_parse(rows, key + after + ", " + key + ": [2]");
    }
  }
  const std::vector<std::string> escapes = {"\\n",     "\\\"",      "\\\\",     "\\u00e9", "\\ud83d\\ude00",
                                            "\\u12\"", "\\x",       "\\ud800x", "\\udc00", "\\ud800\\u0041",
                                            "\x01",    "\\u00e9\\t"};
  for (std::size_t before = 0; before <= 15; ++before) {
    for (const std::string& escape : escapes) {
      for (const std::size_t after : {0U, 1U, 5U, 9U, 10U, 11U, 16U, 17U}) {
        const std::string string = "\"" + std::string(before, 'b') + escape + std::string(after, 'a') + "\"";
        expect_as_full_parse(rows, "\"v\": " + string);
        expect_as_full_parse(rows, string + ": 1");
      }
    }
  }
}

// Keys are only checked, not kept, below the kept depth; a bad key there is
// the same failure as in the full parse.
TEST(JsonShallowParse, BadKeysBelowTheKeptDepthAreTheFullParsesFailures) {
  for (const std::string key : {"\"a\tb\"", "\"\\x\"", "\"\\udc00\"", "\"\\u00g0\"", "\"ab", "\"a\\", "\"\\ud800x\""}) {
    for (const std::string& text : {"{\"a\":{" + key + ":1}}", "[{" + key + ":1}]", "[[{" + key}) {
      for (std::size_t kept_depth : std::vector<std::size_t>{1, 2}) expect_same_failure(text, kept_depth);
    }
  }
}

TEST(JsonShallowParse, NumbersThatOnlyLookLargeAreAccepted) {
  // Converted only when they might overflow; these do not.
  for (const std::string& number : {std::string(308, '9'), "1" + std::string(308, '0'), std::string("1e-400"),
                                    std::string("-1.7976931348623157e308"), "0." + std::string(400, '0') + "1"}) {
    EXPECT_EQ(shape("[[" + number + "]]", 1), "[]") << number;
    EXPECT_EQ(shape("[[" + number + "]]", 2), "[[]]") << number;
  }
}

// Numbers with an exponent on both sides of 10^308, where a double may
// overflow, and the exponents' faults: the check converts only where it
// cannot tell, and must pass and fail as the conversion does.
TEST(JsonShallowParse, ExponentsAroundTheLargestDoublePassAndFailAsTheFullParse) {
  for (const std::string mantissa :
       {"1", "-9.99", "1.7976931348623157", "1.7976931348623159", "18", "17.97693134862315", "0.17976931348623159",
        "0.000999", "100", "-0", "0.0", "01", "1."}) {
    for (const std::string exponent : {"e306", "e307", "E308", "e+308", "e309", "e-2", "e0307", "e00308", "e+0000309",
                                       "e99999", "e-99999", "e", "e+", "e5x"}) {
      const std::string number = mantissa + exponent;
      for (const std::string& text : {"{\"keep\": 1, \"rows\": [[" + number + ", 1]]}", "[[" + number})
        expect_same_outcome(text);
    }
  }
}

TEST(JsonShallowParse, NestingLimitCountsLevelsThatAreNotKept) {
  const std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(shape(ok, 1), "[]");
  EXPECT_EQ(shape(ok, 3), "[[[]]]");
  const std::string too_deep = std::string(128, '[') + std::string(128, ']');
  for (std::size_t kept_depth : std::vector<std::size_t>{1, 3, 200}) expect_same_failure(too_deep, kept_depth);
  // Siblings give their levels back in the part that is only checked, too.
  std::string siblings = std::string(126, '[');
  for (int i = 0; i < 50; ++i) siblings += "[],{},";
  siblings += "[]" + std::string(126, ']');
  EXPECT_EQ(shape(siblings, 2), "[[]]");
}

// Named members of the top-level object are kept down to the kept depth,
// the other parts of the text to level 2; the outcome is otherwise the full
// parse's.
TEST(JsonShallowParse, NamedMembersAreKeptDeeperThanTheRest) {
  constexpr std::string_view kNames[] = {"a", "\\u0062"};
  const auto named = [&](std::string_view text, std::size_t kept_depth) {
    auto result = parse_json_text(text, kept_depth, std::span(kNames));
    EXPECT_TRUE(result.has_value()) << text;
    return result.has_value() ? write_json_text(*result) : std::string();
  };
  EXPECT_EQ(named(kNested, 3), R"({"a":{"b":[],"s":"x"},"n":1.5,"z":[]})");
  EXPECT_EQ(named(kNested, 4), R"({"a":{"b":[1,{}],"s":"x"},"n":1.5,"z":[]})");
  // Less than two levels keeps two; a top-level array keeps two.
  EXPECT_EQ(named(kNested, 1), shape(kNested, 2));
  EXPECT_EQ(named(R"([[1],{"a":[2]}])", 5), "[[],{}]");
  // Keys are compared as decoded, and only at the top: the nested "a" is
  // no deeper than its parent.
  EXPECT_EQ(named(R"({"\u0061":[[1]],"b":[[2]],"\\u0062":[[3]],"z":{"a":[[4]]}})", 3),
            R"({"\\u0062":[[]],"a":[[]],"b":[],"z":{}})");
  // The last of repeated keys wins, kept as its key says.
  EXPECT_EQ(named(R"({"a":[1],"c":[[2]],"a":[[3]],"c":[4]})", 3), R"({"a":[[]],"c":[]})");
  // Failures anywhere are the full parse's.
  const std::vector<std::string> failing = {R"({"a":[1,],"b":2})", R"({"b":[[1e999]],"a":1})",
                                            R"({"rows":[{"x":"\q"}]})", R"({"rows":)" + std::string(128, '[')};
  for (const std::string& text : failing) {
    auto full = parse_json_text(text);
    auto shallow = parse_json_text(text, 3, std::span(kNames));
    ASSERT_FALSE(full.has_value() || shallow.has_value()) << text;
    EXPECT_EQ(shallow.error(), full.error()) << text;
  }
}

}  // namespace
}  // namespace korvane
