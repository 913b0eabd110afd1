// Parsing: error descriptions with their positions, number forms, strings and
// escapes, nesting depth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "json_bridge.hpp"

namespace korvane {
namespace {

JsonValue parse_ok(std::string_view text) {
  auto result = parse_json_text(text);
  EXPECT_TRUE(result.has_value()) << "text: " << text
                                  << "\nerror: " << (result.has_value() ? "" : result.error().to_string());
  return result.has_value() ? std::move(result).value() : JsonValue();
}

std::string parse_error(std::string_view text) {
  auto result = parse_json_text(text);
  EXPECT_FALSE(result.has_value()) << "text: " << text;
  return result.has_value() ? std::string("<accepted>") : result.error().to_string();
}

struct ErrorCase {
  std::string_view text;
  const char* message;
};

void expect_errors(std::initializer_list<ErrorCase> cases) {
  for (const auto& c : cases) EXPECT_EQ(parse_error(c.text), c.message) << "text: " << c.text;
}

TEST(JsonParseErrors, EndOfText) {
  expect_errors({
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"ab\\", "EOF while parsing a string at line 1 column 4"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
      {"\"a\\nb", "EOF while parsing a string at line 1 column 5"},
      {"\"\\t", "EOF while parsing a string at line 1 column 3"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"f", "EOF while parsing a value at line 1 column 1"},
  });
}

TEST(JsonParseErrors, LineAndColumnCountBytesOfTheErrorLine) {
  expect_errors({
      // The text ends right after a line feed: no byte of line 2 exists.
      {"[1,\n", "EOF while parsing a value at line 2 column 0"},
      {"[\n\n  1 2]", "expected `,` or `]` at line 3 column 5"},
      {"{\r\n\"a\" 1}", "expected `:` at line 2 column 5"},
      // A raw line feed inside a string belongs to the line it ends.
      {"[\"a\nb\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      // Columns count bytes, not characters: é is two bytes.
      {"\"\xc3\xa9\" x", "trailing characters at line 1 column 6"},
  });
}

TEST(JsonParseErrors, Structure) {
  expect_errors({
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{\"a\":1, 2}", "key must be a string at line 1 column 9"},
      {"[1, ]", "trailing comma at line 1 column 5"},
      {"[,1]", "expected value at line 1 column 2"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"[]]", "trailing characters at line 1 column 3"},
  });
}

TEST(JsonParseErrors, ValuesThatDoNotStartAValue) {
  expect_errors({
      {"NaN", "expected value at line 1 column 1"},
      {"[Infinity]", "expected value at line 1 column 2"},
      {"[-Infinity]", "invalid number at line 1 column 3"},
      {"+1", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"/* c */ 1", "expected value at line 1 column 1"},
      {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
      {"trUe", "expected ident at line 1 column 3"},
      {"nulL", "expected ident at line 1 column 4"},
      {"[fals]", "expected ident at line 1 column 6"},
      {"truex", "trailing characters at line 1 column 5"},
  });
}

TEST(JsonParseErrors, Numbers) {
  expect_errors({
      {"-", "invalid number at line 1 column 1"},
      {"[-]", "invalid number at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"-012", "invalid number at line 1 column 3"},
      {"1.", "invalid number at line 1 column 2"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"[.5]", "expected value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "invalid number at line 1 column 2"},
      {"1e+", "invalid number at line 1 column 3"},
      {"[1e+x]", "invalid number at line 1 column 5"},
      {"0x10", "trailing characters at line 1 column 2"},
      {"1e309", "number out of range at line 1 column 5"},
      {"[-1.8e308]", "number out of range at line 1 column 9"},
  });
  // A mantissa of 400 digits overflows even with a small negative exponent.
  EXPECT_EQ(parse_error("1" + std::string(400, '0') + "e-5"), "number out of range at line 1 column 404");
}

TEST(JsonParseErrors, NumbersCutShortInsideContainers) {
  // The converter stops early on these; the grammar must still reject them.
  expect_errors({
      {"[1.5e]", "invalid number at line 1 column 6"},
      {"[1.5E+]", "invalid number at line 1 column 7"},
      {"{\"a\":2e-}", "invalid number at line 1 column 9"},
      {"[1.5.3]", "expected `,` or `]` at line 1 column 5"},
      {"[-00.5]", "invalid number at line 1 column 4"},
      {"[-inf]", "invalid number at line 1 column 3"},
      {"[1e5e5]", "expected `,` or `]` at line 1 column 5"},
  });
}

TEST(JsonParseErrors, Strings) {
  expect_errors({
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\U0041\"", "invalid escape at line 1 column 3"},
      {"\"\\u00g0\"", "invalid escape at line 1 column 6"},
      {"\"\\u00eZ\"", "invalid escape at line 1 column 7"},
      {"\"\\u0", "EOF while parsing a string at line 1 column 4"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string_view("\"a\0\"", 4),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\ud800\\u12x4\"", "invalid escape at line 1 column 12"},
  });
}

TEST(JsonParseDepth, OneHundredTwentySevenLevelsPassTheNextFails) {
  const std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(parse_json_text(ok).has_value());
  EXPECT_EQ(parse_error(std::string(128, '[') + std::string(128, ']')),
            "recursion limit exceeded at line 1 column 128");

  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  EXPECT_TRUE(parse_json_text(objects + "1" + std::string(127, '}')).has_value());
  EXPECT_EQ(parse_error(objects + "[1]" + std::string(127, '}')), "recursion limit exceeded at line 1 column 636");
}

TEST(JsonParseDepth, LeavingALevelGivesItBack) {
  // Many siblings at depth 127 do not add up.
  std::string text = std::string(126, '[');
  for (int i = 0; i < 50; ++i) text += "[],{},";
  text += "[]" + std::string(126, ']');
  EXPECT_TRUE(parse_json_text(text).has_value());
}

TEST(JsonParseDepth, EndlessOpeningFailsWithoutExhaustingTheStack) {
  EXPECT_EQ(parse_error(std::string(1000000, '[')), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonParseNumbers, IntegersKeepTheirRepresentation) {
  const JsonValue max_unsigned = parse_ok("18446744073709551615");
  ASSERT_TRUE(max_unsigned.is_number());
  EXPECT_EQ(max_unsigned.as_number()->kind(), JsonNumber::Kind::unsigned_integer);
  EXPECT_EQ(max_unsigned.as_number()->as_unsigned(), 18446744073709551615ULL);

  const JsonValue min_signed = parse_ok("-9223372036854775808");
  EXPECT_EQ(min_signed.as_number()->kind(), JsonNumber::Kind::signed_integer);
  EXPECT_EQ(min_signed.as_number()->as_signed(), INT64_MIN);

  EXPECT_EQ(parse_ok("0").as_number()->kind(), JsonNumber::Kind::unsigned_integer);
  EXPECT_EQ(parse_ok("-1").as_number()->as_signed(), -1);
}

TEST(JsonParseNumbers, OtherFormsBecomeDoubles) {
  auto as_double = [](std::string_view text) {
    const JsonValue v = parse_ok(text);
    EXPECT_EQ(v.as_number()->kind(), JsonNumber::Kind::floating) << text;
    return v.as_number()->as_double();
  };
  EXPECT_EQ(as_double("18446744073709551616"), 18446744073709551616.0);
  EXPECT_EQ(as_double("-9223372036854775809"), -9223372036854775808.0);
  const double negative_zero = as_double("-0");
  EXPECT_EQ(negative_zero, 0.0);
  EXPECT_TRUE(std::signbit(negative_zero));
  EXPECT_EQ(as_double("1.0"), 1.0);
  EXPECT_EQ(as_double("1E2"), 100.0);
  EXPECT_EQ(as_double("-2.5e-3"), -0.0025);
  EXPECT_EQ(as_double("0.1"), 0.1);
  // Correctly rounded, including the largest double and the smallest subnormal.
  EXPECT_EQ(as_double("1.7976931348623157e308"), 1.7976931348623157e308);
  EXPECT_EQ(as_double("4.9e-324"), 4.9406564584124654e-324);
  // Too small for a double is zero (with its sign), not an error.
  EXPECT_EQ(as_double("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(as_double("-1e-400")));
  EXPECT_EQ(as_double("0e99999999999999999999"), 0.0);
  const JsonValue list = parse_ok("[1.5E+2,-7,-0,0.25e-1,12345678901234567890123]");
  EXPECT_EQ(write_json_text(list), "[150.0,-7,-0.0,0.025,1.2345678901234568e+22]");
}

TEST(JsonParseStrings, EscapesDecodeToUtf8) {
  EXPECT_EQ(*parse_ok(R"("\"\\\/\b\f\n\r\t")").as_string(), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(*parse_ok(R"("\u0041\u00e9\u20AC")").as_string(), "A\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(*parse_ok(R"("\ud83d\ude00")").as_string(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(*parse_ok(R"("\u0000")").as_string(), std::string_view("\0", 1));
  EXPECT_EQ(*parse_ok("\"\x7f \xc3\xa9\"").as_string(), "\x7f \xc3\xa9");
}

// Each side of every border between UTF-8 lengths.
TEST(JsonParseStrings, EscapesAtTheBordersOfEachUtf8Length) {
  const std::pair<const char*, std::string_view> cases[] = {
      {R"("\u007f")", "\x7f"},
      {R"("\u0080")", "\xc2\x80"},
      {R"("\u07ff")", "\xdf\xbf"},
      {R"("\u0800")", "\xe0\xa0\x80"},
      {R"("\ud7ff")", "\xed\x9f\xbf"},
      {R"("\ue000")", "\xee\x80\x80"},
      {R"("\uffff")", "\xef\xbf\xbf"},
      {R"("\ud800\udc00")", "\xf0\x90\x80\x80"},
      {R"("\udbff\udfff")", "\xf4\x8f\xbf\xbf"},
      {R"("\ud834\udd1e")", "\xf0\x9d\x84\x9e"},
  };
  for (const auto& [json, utf8] : cases) {
    EXPECT_EQ(*parse_ok(json).as_string(), utf8) << json;
  }
}

TEST(JsonParseStrings, LongAndShortTextsAreKeptWhole) {
  // Up to decoded texts larger than a full chunk, whose working copy is
  // then a span rather than heap memory.
  for (std::size_t n : {0U, 1U, 13U, 14U, 15U, 16U, 100U, 5000U, 40000U, 100000U}) {
    const std::string text(n, 'x');
    EXPECT_EQ(*parse_ok("\"" + text + "\"").as_string(), text);
    EXPECT_EQ(*parse_ok("\"" + text + "\\n" + text + "\"").as_string(), text + "\n" + text);
  }
}

// Short texts live inside the value and long ones in a block; every length
// around and below the border, as value and as key, at the end of the text and
// followed by more, must come back byte for byte.
TEST(JsonParseStrings, EveryLengthUpToTwoBlocksComesBackWhole) {
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + (i % 26));
    const std::string quoted = "\"" + text + "\"";
    for (const std::string& json :
         {quoted, "[" + quoted + ",\"zzzzzzzzzzzzzzzzzzzz\"]", "{" + quoted + ":" + quoted + ",\"~\":1}"}) {
      JsonValue value = parse_ok(json);
      EXPECT_EQ(write_json_text(value), json) << "length " << n;
      const JsonValue copy = value;
      EXPECT_EQ(write_json_text(copy), json) << "copy, length " << n;
    }
    EXPECT_EQ(*parse_ok(quoted).as_string(), text) << "length " << n;
  }
}

// Short texts are read in whole words where at least a word's worth of the
// text follows; the parse must never read past the text's last byte, which the
// sanitized build notices when the text sits in a buffer of exactly its size.
TEST(JsonParseStrings, NothingPastTheTextIsRead) {
  for (std::size_t n = 0; n <= 16; ++n) {
    const std::string inner(n, 'q');
    for (const std::string& json : {"\"" + inner + "\"", "[\"" + inner + "\"]", "[\"" + inner + "\",1]",
                                    "{\"" + inner + "\":1}", "{\"k\":\"" + inner + "\"}", "[\"" + inner + "\\n\"]"}) {
      const auto exact = std::make_unique<char[]>(json.size());
      std::memcpy(exact.get(), json.data(), json.size());
      const JsonValue value = parse_ok(std::string_view(exact.get(), json.size()));
      EXPECT_EQ(write_json_text(value), json) << json;
    }
  }
  // Numbers and literals that end the text, and errors found at its end.
  for (const std::string_view json : {"0",      "7",     "-0",     "12",     "1.5",
                                      "-12.25", "1e5",   "1E+2",   "2e-3",   "123456789012345678901234567890",
                                      "true",   "false", "null",   "[1,22]", "{\"a\":1}",
                                      "1.",     "1e",    "-",      "[1",     "{\"a\":1",
                                      "tru",    "\"abc", "\"\\u12"}) {
    const auto exact = std::make_unique<char[]>(json.size());
    std::memcpy(exact.get(), json.data(), json.size());
    const auto exact_result = parse_json_text(std::string_view(exact.get(), json.size()));
    const auto result = parse_json_text(json);
    ASSERT_EQ(exact_result.has_value(), result.has_value()) << json;
    if (result) {
      EXPECT_EQ(*exact_result, *result) << json;
    } else {
      EXPECT_EQ(exact_result.error().to_string(), result.error().to_string()) << json;
    }
  }
}

// Texts cut short inside a container, where the byte in memory right after
// the text would complete them: the parser stops at the text's end (an
// exact buffer lets the sanitizer see any read past it).
TEST(JsonParseStrings, TextsCutBeforeTheirCloseStayCut) {
  for (const std::string_view whole : {"{\"a\":1}", "{\"a\":\"b\"}", "{\"a\":[1]}", "{\"a\":1,\"b\":{}}", "[1]",
                                       "[\"x\"]", "[[],{}]", "[1,2]", "{\"a\":1,\"b\":2}"}) {
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
      const std::string_view json = whole.substr(0, cut);
      for (const bool exact_buffer : {true, false}) {
        std::unique_ptr<char[]> copy;
        std::string_view text = json;
        if (exact_buffer) {
          copy = std::make_unique<char[]>(json.size());
          std::memcpy(copy.get(), json.data(), json.size());
          text = std::string_view(copy.get(), json.size());
        }
        EXPECT_FALSE(parse_json_text(text).has_value()) << json;
        EXPECT_FALSE(parse_json_text(text, 1).has_value()) << json;
      }
    }
  }
}

TEST(JsonParseValues, WhitespaceAndTopLevelKinds) {
  EXPECT_TRUE(parse_ok(" \t\r\n null \n").is_null());
  EXPECT_TRUE(parse_ok("true").as_bool());
  EXPECT_FALSE(parse_ok("false").as_bool());
  EXPECT_TRUE(parse_ok("false").is_bool());
  EXPECT_EQ(parse_ok("[ 1 , [ ] , { } ]").as_array()->size(), 3U);
}

// Runs of every length up to past two vector widths, of every whitespace
// byte, between tokens, at the end of an exact buffer, and before an error
// whose column they push along.
TEST(JsonParseValues, WhitespaceRunsOfEveryLength) {
  const std::string kinds = " \t\r\n";
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string run;   // every kind, newlines too
    std::string flat;  // no newline: the error stays on line 1
    for (std::size_t i = 0; i < n; ++i) {
      run += kinds[(i * 7 + n) % 4];
      flat += kinds[(i * 5 + n) % 3];
    }
    const std::string array =
        "[" + run + "1" + run + "," + run + "{" + run + "\"k\"" + run + ":" + run + "2" + run + "}" + run + "]" + run;
    const auto exact = std::make_unique<char[]>(array.size());
    std::memcpy(exact.get(), array.data(), array.size());
    EXPECT_EQ(write_json_text(parse_ok(std::string_view(exact.get(), array.size()))), R"([1,{"k":2}])") << n;
    EXPECT_EQ(parse_error("[1," + flat + "]"), "trailing comma at line 1 column " + std::to_string(n + 4)) << n;
    EXPECT_EQ(parse_error("[1" + flat + "x"), "expected `,` or `]` at line 1 column " + std::to_string(n + 3)) << n;
  }
}

}  // namespace
}  // namespace korvane
