#include "quoted.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

namespace {

// Always qualified: for a std::string argument, argument-dependent lookup
// would otherwise pick std::quoted from <iomanip>.
std::string q(std::string_view text) { return korvane::quoted(text); }

TEST(QuotedForm, PlainAsciiIsWrappedInDoubleQuotes) {
  EXPECT_EQ(q(""), "\"\"");
  EXPECT_EQ(q("demo"), "\"demo\"");
  EXPECT_EQ(q("a b'c~"), "\"a b'c~\"");
}

TEST(QuotedForm, BackslashQuoteAndNamedControlEscapes) {
  EXPECT_EQ(q("a\\b"), "\"a\\\\b\"");
  EXPECT_EQ(q("say \"hi\""), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(q("\t\r\n"), "\"\\t\\r\\n\"");
  EXPECT_EQ(q(std::string("a\0b", 3)), "\"a\\0b\"");
}

TEST(QuotedForm, OtherControlCharactersUseCodePointEscape) {
  EXPECT_EQ(q("\x01"), "\"\\u{1}\"");
  EXPECT_EQ(q("\x1b[0m"), "\"\\u{1b}[0m\"");
  EXPECT_EQ(q("\x7f"), "\"\\u{7f}\"");
  EXPECT_EQ(q("\xc2\x85"), "\"\\u{85}\"");  // U+0085 NEL (Cc)
}

TEST(QuotedForm, FormatSeparatorsAndNonAsciiSpacesAreEscaped) {
  EXPECT_EQ(q("a\xe2\x80\x8b"
              "b"),
            "\"a\\u{200b}b\"");                     // U+200B (Cf)
  EXPECT_EQ(q("\xef\xbb\xbfx"), "\"\\u{feff}x\"");  // U+FEFF (Cf)
  EXPECT_EQ(q("\xc2\xad"), "\"\\u{ad}\"");          // soft hyphen (Cf)
  EXPECT_EQ(q("\xc2\xa0"), "\"\\u{a0}\"");          // no-break space (Zs)
  EXPECT_EQ(q("\xe3\x80\x80"), "\"\\u{3000}\"");    // ideographic space (Zs)
  EXPECT_EQ(q("\xe2\x80\xa8"), "\"\\u{2028}\"");    // line separator (Zl)
  EXPECT_EQ(q("\xe2\x80\xa9"), "\"\\u{2029}\"");    // paragraph separator (Zp)
}

TEST(QuotedForm, GraphemeExtendersAreEscaped) {
  // e + U+0301 COMBINING ACUTE ACCENT
  EXPECT_EQ(q("e\xcc\x81"), "\"e\\u{301}\"");
  // U+200D ZERO WIDTH JOINER (Cf and Grapheme_Extend) inside an emoji sequence
  EXPECT_EQ(q("\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9"), "\"\xf0\x9f\x91\xa8\\u{200d}\xf0\x9f\x91\xa9\"");
  // U+FE0F VARIATION SELECTOR-16 (Mn)
  EXPECT_EQ(q("\xe2\x9d\xa4\xef\xb8\x8f"), "\"\xe2\x9d\xa4\\u{fe0f}\"");
  // U+E0100 VARIATION SELECTOR-17, a supplementary-plane extender
  EXPECT_EQ(q("\xf3\xa0\x84\x80"), "\"\\u{e0100}\"");
  // U+09BE BENGALI VOWEL SIGN AA is a spacing mark (Mc) with Grapheme_Extend=Yes
  EXPECT_EQ(q("\xe0\xa6\xbe"), "\"\\u{9be}\"");
}

TEST(QuotedForm, UnassignedAndPrivateUseAreEscaped) {
  EXPECT_EQ(q("\xcd\xb8"), "\"\\u{378}\"");             // U+0378 unassigned
  EXPECT_EQ(q("\xf4\x8f\xbf\xbf"), "\"\\u{10ffff}\"");  // noncharacter (Cn)
  EXPECT_EQ(q("\xef\xbf\xbf"), "\"\\u{ffff}\"");        // noncharacter (Cn)
  EXPECT_EQ(q("\xee\x80\x80"), "\"\\u{e000}\"");        // private use (Co)
  EXPECT_EQ(q("\xf3\xb0\x80\x80"), "\"\\u{f0000}\"");   // plane-15 private use
}

TEST(QuotedForm, PrintableNonAsciiStaysUnchanged) {
  EXPECT_EQ(q("caf\xc3\xa9"), "\"caf\xc3\xa9\"");            // precomposed é
  EXPECT_EQ(q("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");  // U+1F600 emoji
  EXPECT_EQ(q("\xe4\xb8\xad\xe6\x96\x87"), "\"\xe4\xb8\xad\xe6\x96\x87\"");
  EXPECT_EQ(q("\xef\xbf\xbd"), "\"\xef\xbf\xbd\"");  // U+FFFD itself
  // A character assigned only by Unicode 17 (U+1FAEA, an emoji): printable.
  EXPECT_EQ(q("\xf0\x9f\xab\xaa"), "\"\xf0\x9f\xab\xaa\"");
  // Range entries of the character database: CJK ideograph and Hangul syllable.
  EXPECT_EQ(q("\xe4\xb8\x80\xea\xb0\x80"), "\"\xe4\xb8\x80\xea\xb0\x80\"");
}

TEST(QuotedForm, InvalidBytesAreShownOneByOne) {
  EXPECT_EQ(q("a\xff"
              "b"),
            "\"a\\x{ff}b\"");
  EXPECT_EQ(q("\x80"), "\"\\x{80}\"");                                   // stray continuation
  EXPECT_EQ(q("\xc3"), "\"\\x{c3}\"");                                   // truncated at the end
  EXPECT_EQ(q("\xc3z"), "\"\\x{c3}z\"");                                 // truncated before ASCII
  EXPECT_EQ(q("\xe2\x82"), "\"\\x{e2}\\x{82}\"");                        // truncated 3-byte
  EXPECT_EQ(q("\xc0\xaf"), "\"\\x{c0}\\x{af}\"");                        // overlong '/'
  EXPECT_EQ(q("\xe0\x80\xaf"), "\"\\x{e0}\\x{80}\\x{af}\"");             // overlong 3-byte
  EXPECT_EQ(q("\xed\xa0\x80"), "\"\\x{ed}\\x{a0}\\x{80}\"");             // encoded surrogate
  EXPECT_EQ(q("\xf4\x90\x80\x80"), "\"\\x{f4}\\x{90}\\x{80}\\x{80}\"");  // > U+10FFFF
  // A valid character right after an invalid byte is decoded normally.
  EXPECT_EQ(q("\xff\xc3\xa9"), "\"\\x{ff}\xc3\xa9\"");
}

// Each side of every border in the table of well-formed UTF-8 sequences: the
// sequences just inside are decoded as one character, those just outside are
// shown byte by byte.
TEST(QuotedForm, WellFormedSequenceBorders) {
  for (const char* inside :
       {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xe0\xbf\xbf", "\xe1\x80\x80", "\xec\xbf\xbf", "\xed\x80\x80",
        "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf0\xbf\xbf\xbf", "\xf1\x80\x80\x80",
        "\xf3\xbf\xbf\xbf", "\xf4\x80\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_EQ(q(inside).find("\\x{"), std::string::npos) << q(inside);
  }
  const std::pair<const char*, const char*> outside[] = {
      {"\xc1\xbf", "\"\\x{c1}\\x{bf}\""},
      {"\xe0\x9f\xbf", "\"\\x{e0}\\x{9f}\\x{bf}\""},
      {"\xed\xa0\x80", "\"\\x{ed}\\x{a0}\\x{80}\""},
      {"\xf0\x8f\xbf\xbf", "\"\\x{f0}\\x{8f}\\x{bf}\\x{bf}\""},
      {"\xf4\x90\x80\x80", "\"\\x{f4}\\x{90}\\x{80}\\x{80}\""},
      {"\xf5\x80\x80\x80", "\"\\x{f5}\\x{80}\\x{80}\\x{80}\""},
      {"\xe1\xc0\x80", "\"\\x{e1}\\x{c0}\\x{80}\""},
  };
  for (const auto& [bytes, shown] : outside) {
    EXPECT_EQ(q(bytes), shown);
  }
}

TEST(QuotedForm, TableBoundaries) {
  using korvane::quoted_form_escapes;
  EXPECT_EQ(korvane::quoted_form_unicode_version(), "17.0.0");
  EXPECT_TRUE(quoted_form_escapes(0x0));
  EXPECT_TRUE(quoted_form_escapes(0x1F));
  EXPECT_FALSE(quoted_form_escapes(0x20));
  EXPECT_FALSE(quoted_form_escapes(0x7E));
  EXPECT_TRUE(quoted_form_escapes(0x7F));
  EXPECT_TRUE(quoted_form_escapes(0xA0));
  EXPECT_FALSE(quoted_form_escapes(0xA1));
  EXPECT_TRUE(quoted_form_escapes(0xD800));  // surrogates (Cs)
  EXPECT_TRUE(quoted_form_escapes(0xDFFF));
  EXPECT_TRUE(quoted_form_escapes(0x10FFFF));
  EXPECT_FALSE(quoted_form_escapes(0x1F600));
}

}  // namespace
