// Writing: compact layout, key order, string escaping, number forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "json_bridge.hpp"

namespace korvane {
namespace {

std::string rewrite(std::string_view text) {
  auto result = parse_json_text(text);
  EXPECT_TRUE(result.has_value()) << text;
  return result.has_value() ? write_json_text(*result) : std::string();
}

std::string write_double(double value) { return write_json_text(JsonValue::number(JsonNumber::from_double(value))); }

TEST(JsonWriteLayout, CompactWithKeysInOrder) {
  EXPECT_EQ(rewrite(" { \"b\" : [ 1 , true , null ] ,\n \"a\" : { } , \"c\" : [ ] } "),
            R"({"a":{},"b":[1,true,null],"c":[]})");
  EXPECT_EQ(rewrite(R"({"a":1,"a":2})"), R"({"a":2})");
  EXPECT_EQ(rewrite("false"), "false");
}

TEST(JsonWriteStrings, OnlyQuoteBackslashAndControlBytesAreEscaped) {
  EXPECT_EQ(write_json_text(JsonValue::string("a\tb\x01")), R"("a\tb\u0001")");
  EXPECT_EQ(write_json_text(JsonValue::string("\"\\\b\f\n\r\x1f")), R"("\"\\\b\f\n\r\u001f")");
  EXPECT_EQ(write_json_text(JsonValue::string(std::string_view("\0", 1))), R"("\u0000")");
  // Slash, DEL and non-ASCII bytes pass through unchanged.
  EXPECT_EQ(write_json_text(JsonValue::string("/\x7f\xc3\xa9\xf0\x9f\x98\x80")), "\"/\x7f\xc3\xa9\xf0\x9f\x98\x80\"");
  // Escapes decoded by the parser are written back in the writer's form.
  EXPECT_EQ(rewrite(R"(["\/\u0041\u00E9\u001F\ud83d\ude00"])"), "[\"/A\xc3\xa9\\u001f\xf0\x9f\x98\x80\"]");
}

// Every control byte: the five with a short escape, the others as \u00XX with
// lower-case hexadecimal digits.
TEST(JsonWriteStrings, EveryControlByteHasItsEscape) {
  const char* const digits = "0123456789abcdef";
  for (int byte = 0; byte < 0x20; ++byte) {
    std::string expected;
    switch (byte) {
      case '\b':
        expected = "\\b";
        break;
      case '\f':
        expected = "\\f";
        break;
      case '\n':
        expected = "\\n";
        break;
      case '\r':
        expected = "\\r";
        break;
      case '\t':
        expected = "\\t";
        break;
      default:
        expected = std::string("\\u00") + digits[byte >> 4] + digits[byte & 0xF];
    }
    const std::string text(1, static_cast<char>(byte));
    EXPECT_EQ(write_json_text(JsonValue::string(text)), "\"" + expected + "\"") << byte;
    EXPECT_EQ(write_json_text(JsonValue::string("ab" + text + "cd")), "\"ab" + expected + "cd\"") << byte;
  }
}

TEST(JsonWriteStrings, LongRunsAroundEscapes) {
  const std::string run(1000, 'r');
  EXPECT_EQ(write_json_text(JsonValue::string(run + "\n" + run)), "\"" + run + "\\n" + run + "\"");
}

TEST(JsonWriteStrings, EscapesAtEveryOffsetOfABlockRoundTrip) {
  // The scanners look at several bytes at once; a byte to escape, and bytes
  // of 0x80 and above that must not be mistaken for one, sit at every offset.
  for (const char* special : {"\x01", "\"", "\\", "\x1f"}) {
    for (std::size_t at = 0; at <= 40; ++at) {
      const std::string text = std::string(at, 'a') + special + "\xc3\xa9\x7f" + std::string(40 - at, 'b');
      const std::string written = write_json_text(JsonValue::string(text));
      auto back = parse_json_text(written);
      ASSERT_TRUE(back.has_value()) << written;
      EXPECT_EQ(*back->as_string(), text) << written;
    }
  }
}

TEST(JsonWriteStrings, KeysAreEscapedLikeValues) { EXPECT_EQ(rewrite(R"({"q\"\u0002":0})"), R"({"q\"\u0002":0})"); }

TEST(JsonWriteNumbers, IntegersAsDecimalDigits) {
  EXPECT_EQ(rewrite("[0,18446744073709551615,-9223372036854775808,-1]"),
            "[0,18446744073709551615,-9223372036854775808,-1]");
  EXPECT_EQ(write_json_text(JsonValue::number(JsonNumber::from_signed(42))), "42");
}

TEST(JsonWriteNumbers, DoublesReadBackAsTheSameDouble) {
  EXPECT_EQ(write_double(100.0), "100.0");
  EXPECT_EQ(write_double(-0.0), "-0.0");
  EXPECT_EQ(write_double(0.1), "0.1");
  EXPECT_EQ(write_double(1e100), "1e+100");
  EXPECT_EQ(write_double(18446744073709551616.0), "18446744073709551616.0");
  EXPECT_EQ(rewrite("-0"), "-0.0");
  EXPECT_EQ(rewrite("1E2"), "100.0");
  for (double value : {0.1 + 0.2, 5e-324, 1.7976931348623157e308, -123.456, 1e21, 1e-7}) {
    const std::string text = write_double(value);
    EXPECT_NE(text.find_first_of(".e"), std::string::npos) << text;
    auto back = parse_json_text(text);
    ASSERT_TRUE(back.has_value()) << text;
    EXPECT_EQ(back->as_number()->kind(), JsonNumber::Kind::floating);
    EXPECT_EQ(back->as_number()->as_double(), value) << text;
  }
}

TEST(JsonWriteNumbers, NonFiniteDoublesBecomeNull) {
  EXPECT_EQ(write_double(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(write_double(-std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(write_double(std::nan("")), "null");
}

TEST(JsonWriteBuffer, AppendingFormKeepsWhatIsThere) {
  std::string out = "prefix:";
  write_json_text(JsonValue::boolean(true), out);
  EXPECT_EQ(out, "prefix:true");
}

TEST(JsonWriteBuffer, TextsLongerThanOneOutputPieceAreWrittenWhole) {
  // One string far beyond a 64 KiB piece, escapes straddling piece ends, and
  // many small values: the text must come out whole and in order.
  std::string big(200000, 'x');
  for (std::size_t i = 65530; i < big.size(); i += 65536) big.replace(i, 3, "\n\"\x01");
  std::string text = "[" + write_json_text(JsonValue::string(big));
  for (int i = 0; i < 30000; ++i) text += ",[" + std::to_string(i) + ",-1.5e-300,\"\\u0007\"]";
  text += "]";
  const std::string written = rewrite(text);
  EXPECT_EQ(written, text);
  std::string appended = "prefix";
  write_json_text(*parse_json_text(text), appended);
  EXPECT_EQ(appended, "prefix" + text);
}

}  // namespace
}  // namespace korvane
