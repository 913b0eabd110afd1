// The indexed parser held to the frozen one-pass reference, on each
// classifying path (SSE2, AVX2 where the processor has it, plain bytes): the same texts accepted with the same tree, the same texts rejected
// (the module's parse then reports the reference's error and position), and
// texts that are not UTF-8 handed on unjudged. Cases sit where the first
// pass is most likely to go wrong: across the 64-byte block edges, in runs
// of backslashes, and in the numbers that the fast exact path converts.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "json/index.hpp"
#include "json/parse_indexed.hpp"
#include "json_bridge.hpp"
#include "reference/parse_reference.hpp"

#ifndef KORVANE_JSON_CONFORMANCE_DEFAULT_DIR
#define KORVANE_JSON_CONFORMANCE_DEFAULT_DIR ""
#endif

namespace korvane {
namespace {

using json_detail::IndexedParse;
using json_detail::IndexPath;

std::vector<IndexPath> paths() {
  std::vector<IndexPath> all{IndexPath::sse2, IndexPath::bytes};
  if (json_detail::avx2_available()) all.push_back(IndexPath::avx2);
  return all;
}

const char* name(IndexPath path) {
  return path == IndexPath::avx2 ? "avx2" : path == IndexPath::sse2 ? "sse2" : "bytes";
}

// Whether `text` is UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF), decoded the slow way.
bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// Every path and the module's parse agree with the reference on `text`.
void expect_agreement(std::string_view text, std::size_t kept_depth = 1000) {
  const auto expected = reference::parse_json_text_reference(text, kept_depth);
  const auto actual = parse_json_text(text, kept_depth);
  ASSERT_EQ(actual.has_value(), expected.has_value()) << "text: " << text;
  if (expected.has_value()) {
    EXPECT_EQ(*actual, *expected) << "text: " << text;
  } else {
    EXPECT_EQ(actual.error().to_string(), expected.error().to_string()) << "text: " << text;
  }
  for (const IndexPath path : paths()) {
    const IndexedParse indexed = json_detail::parse_json_text_indexed(text, kept_depth, path);
    if (indexed.outcome == IndexedParse::declined) {
      EXPECT_FALSE(is_utf8(text)) << name(path) << " declined UTF-8 text: " << text;
    } else if (expected.has_value()) {
      ASSERT_EQ(indexed.outcome, IndexedParse::accepted) << name(path) << " text: " << text;
      EXPECT_EQ(indexed.value, *expected) << name(path) << " text: " << text;
    } else {
      EXPECT_EQ(indexed.outcome, IndexedParse::rejected) << name(path) << " text: " << text;
    }
  }
}

TEST(JsonIndexedParse, AgreesOnTheGrammar) {
  const std::vector<std::string> texts = {
      // accepted
      "0", "-0", "[]", "{}", " [ 1 , 2 ] ", "\t\r\n{\"a\" : [true, false, null]}\n", R"({"b":1,"a":2,"b":3})",
      R"(["", "x", "\u00e9\ud83d\ude00", "\"\\\/\b\f\n\r\t"])", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"",
      // rejected, each in its own way
      "", "  ", "[", "[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "{1:2}", "{\"a\":}", "tru", "truex", "[true1]",
      "nul", "nulll", "1 2", "1\"a\"", "\"a\"1", "\"a\"x", "[\"a\"\"b\"]", "01", "-", "1.", ".5", "1e", "1e+",
      "+1", "1.5.3", "1x", "-x", "NaN", "[Infinity]", "\"abc", "\"a\tb\"", "\"\\x\"", "\"\\u12G4\"",
      "\"\\ud800\"", "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\\ud800\\", "\\", "[\\\"]", "{\"a\":1}}", "]",
      "[1]]", ",", ":", "{\"a\"::1}", "[1,,2]", "1e400", "-1e400", std::string(400, '9'), "[\x01]", "\x7f",
      "{\"a\":1 \"b\":2}", "[1]\x00", std::string("[1]\0", 4), std::string("\"a\0b\"", 5),
  };
  for (const auto& text : texts) expect_agreement(text);
}

TEST(JsonIndexedParse, AgreesAcrossBlockEdges) {
  // Each piece is placed so that it straddles the 64-byte block edge at
  // every offset: strings, escapes and runs of backslashes, numbers, words.
  const std::vector<std::string> pieces = {
      R"("ab\"cd")", R"("\\")", R"("\\\"")", R"("\\\\\\\\")", R"("x\\\\\\\"y")", R"("\u00e9\ud83d\ude00")",
      "12345.6789e-12", "true", "false", "null", "\"\xe2\x82\xac\xf0\x9f\x98\x80\"", "[[[]]]",
      R"({"k":"v"})", "\"a\tb\"", "\"\\q\"", "tru e", "12 34", "\"unclosed",
  };
  for (const auto& piece : pieces) {
    for (std::size_t pad = 40; pad < 70; ++pad) {
      const std::string text = "[" + std::string(pad, ' ') + piece + "]";
      expect_agreement(text);
      const std::string in_string = "[\"" + std::string(pad, 'a') + "\"," + piece + "]";
      expect_agreement(in_string);
    }
  }
}

// The indexed parser reads a large text's positions 16 KiB at a time: each
// piece straddles that edge at many offsets, after a run of spaces (few
// tokens before it) or of small numbers (many), and strings longer than a
// whole window leave windows without a token.
TEST(JsonIndexedParse, AgreesAcrossWindowEdges) {
  constexpr std::size_t kWindow = 16384;
  const std::vector<std::string> pieces = {
      R"("ab\"cd")", R"("\\\\")", R"("x\\\\\\\"y")", R"("\ud83d\ude00")", R"(["\ud83d\ude00",1])",
      "12345.6789e-12", "true", "[[[]]]", R"({"k":"v","k":2})", "\"\xe2\x82\xac\xf0\x9f\x98\x80\"",
      // found wanting in the second window: after the first was handed over
      "\"a\tb\"", "\"\\q\"", "\"\xff\"", "\"\xe2\x82\"", "tru e", "\"unclosed", "\"\\ud83d\"", "1,]",
  };
  for (const auto& piece : pieces) {
    for (std::size_t back = 0; back < 20; back += back < 12 ? 1 : 7) {
      for (const bool numbers : {false, true}) {
        std::string text = "[";
        while (text.size() + back < kWindow) text += numbers && kWindow - text.size() - back >= 2 ? "0," : " ";
        text += piece + "]";
        expect_agreement(text);
      }
    }
  }
  // Strings longer than a window, with escapes on and around the edges.
  for (const std::size_t at : {kWindow - 3, kWindow - 1, kWindow, 2 * kWindow + 5}) {
    std::string long_text(3 * kWindow, 'a');
    long_text.replace(at, 6, "\\u00e9");
    expect_agreement("[\"" + long_text + "\", 1]");
    expect_agreement("{\"" + long_text + "\": [\"" + long_text + "\"]}", 1);
    // Never closes, with and without an escape; in a buffer of its exact
    // size, so that a read past the end is seen.
    for (const std::string& open : {"[\"" + long_text, "[\"" + std::string(at, 'a')}) {
      const auto exact = std::make_unique<char[]>(open.size());
      std::memcpy(exact.get(), open.data(), open.size());
      expect_agreement(std::string_view(exact.get(), open.size()));
    }
  }
}

TEST(JsonIndexedParse, NotUtf8IsHandedOnAndJudgedAsBefore) {
  const std::vector<std::string> texts = {
      "\"\xff\"", "\"\xc3\"", "\"\xc0\xaf\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"", "[\"\xe2\x82\"]",
      "\"" + std::string(62, 'a') + "\xe2\x82\"", "\xff", "[1,\x80]",
  };
  for (const auto& text : texts) {
    for (const IndexPath path : paths())
      EXPECT_EQ(json_detail::parse_json_text_indexed(text, 1000, path).outcome, IndexedParse::declined)
          << name(path) << " text: " << text;
    const auto expected = reference::parse_json_text_reference(text);
    const auto actual = parse_json_text(text);
    ASSERT_EQ(actual.has_value(), expected.has_value()) << "text: " << text;
    if (expected.has_value()) {
      EXPECT_EQ(*actual, *expected);
    } else {
      EXPECT_EQ(actual.error().to_string(), expected.error().to_string());
    }
  }
}

// The first pass's UTF-8 check against the slow decoder, on every pair of
// bytes after a lead byte and on sampled longer sequences, inside a string
// that starts at two offsets: within a block and across a block edge.
TEST(JsonIndexedParse, Utf8CheckMatchesTheDecoder) {
  const auto judged = [](const std::string& text) {
    bool agree = true;
    for (const IndexPath path : paths()) {
      const auto outcome = json_detail::parse_json_text_indexed(text, 1000, path).outcome;
      agree = agree && outcome == (is_utf8(text) ? IndexedParse::accepted : IndexedParse::declined);
    }
    return agree;
  };
  const auto plain = [](unsigned byte) { return byte >= 0x20 && byte != '"' && byte != '\\'; };
  const std::vector<unsigned> samples = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF4, 0xFF};
  std::size_t disagreements = 0;
  for (const std::size_t offset : {std::size_t{5}, std::size_t{61}}) {
    const std::string before = "[\"" + std::string(offset, 'a');
    for (unsigned lead = 0x80; lead <= 0xFF; ++lead) {
      for (unsigned second = 0; second <= 0xFF; ++second) {
        if (!plain(second)) continue;
        std::string middle{static_cast<char>(lead), static_cast<char>(second)};
        if (!judged(before + middle + "\"]")) ++disagreements;
        for (const unsigned third : samples) {
          if (lead < 0xE0 || (second & 0xC0) != 0x80) break;
          std::string longer = middle + static_cast<char>(third);
          if (!judged(before + longer + "\"]")) ++disagreements;
          if (lead >= 0xF0) {
            for (const unsigned fourth : samples)
              if (!judged(before + longer + static_cast<char>(fourth) + "\"]")) ++disagreements;
          }
        }
      }
    }
  }
  EXPECT_EQ(disagreements, 0u);
  // Sequences that end exactly at the end of the first block, inside a
  // string that closes in the next one.
  for (const char* tail : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xe2\x82", "\xf0\x9f\x98"}) {
    std::string text = "\"" + std::string(64, 'a');
    text.resize(64 - std::strlen(tail));
    text += tail;
    EXPECT_TRUE(judged(text + "\"")) << "tail of " << std::strlen(tail) << " bytes";
  }
  // A text that ends, at a block edge, inside a sequence: not UTF-8. The
  // same bytes complete are UTF-8, and then simply not JSON.
  for (const IndexPath path : paths()) {
    EXPECT_EQ(json_detail::parse_json_text_indexed(std::string(63, ' ') + "\xe2", 1000, path).outcome,
              IndexedParse::declined);
    EXPECT_EQ(json_detail::parse_json_text_indexed(std::string(62, ' ') + "\xc3\xa9", 1000, path).outcome,
              IndexedParse::rejected);
  }
}

// Random texts, mostly broken, where the vector paths go wrong if anywhere:
// strings with escapes and runs of backslashes, UTF-8 of every length and
// every kind of invalid sequence, control bytes, cut at a block edge or at
// the end inside a sequence. Each vector path must find the same positions
// and the same outcome as the plain loop; the UTF-8 verdict is held to the
// slow decoder.
std::string random_text(std::mt19937_64& random) {
  static const std::vector<std::string> pieces = {
      // structure, words and numbers
      "{", "}", "[", "]", ":", ",", " ", "\t", "\r\n", "    ", "1", "-12.5e3", "true", "null", "x",
      // inside or around strings: quotes and escapes
      "\"", "\"ab\"", "\\\"", "\\n", "\\u00e9", "\x7f",
      // UTF-8 of each length, the edges of each range
      "\xc2\x80", "\xdf\xbf", "\xc3\xa9", "\xe0\xa0\x80", "\xe2\x82\xac", "\xed\x9f\xbf", "\xee\x80\x80",
      "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf",
  };
  static const std::vector<std::string> broken = {
      // overlong, surrogates, past U+10FFFF, leads that are never valid,
      // truncated sequences and stray continuations; control bytes
      "\x01", "\x1a", "\x0c", "\x1f",
      "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xe0\x9f\xbf", "\xf0\x80\x80\x80", "\xf0\x8f\xbf\xbf",
      "\xed\xa0\x80", "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf8\x88\x80\x80", "\xff",
      "\xc3", "\xe2\x82", "\xf0\x9f\x98", "\x80", "\xbf", "\xc3\xa9\xa9", "\xe2\x82\xac\x80",
  };
  // Half the texts are UTF-8 up to the cut.
  const std::vector<std::string>& extra = random() % 2 == 0 ? pieces : broken;
  const auto piece = [&] {
    const std::size_t k = random() % (pieces.size() + extra.size() / 8);
    return k < pieces.size() ? pieces[k] : extra[random() % extra.size()];
  };
  std::string text;
  const std::size_t target = random() % 3 == 0 ? 64 * (1 + random() % 4) : random() % 300;
  while (text.size() < target) {
    switch (random() % 8) {
      case 0: text += std::string(random() % 10, '\\'); break;  // a run of backslashes
      case 1: {  // shifts the rest
        const char filler = random() % 2 == 0 ? 'a' : ' ';
        text += std::string(random() % 130, filler);
        break;
      }
      case 2: text += "\"" + piece() + "\""; break;
      case 3:  // the next piece straddles a block edge or ends at it
        text.resize((text.size() / 64 + 1) * 64 - 1 - random() % 3, ' ');
        text += piece();
        break;
      default: text += piece();
    }
  }
  // Cut at the target: often a block edge, and sometimes inside a sequence.
  text.resize(target);
  return text;
}

TEST(JsonIndexedParse, VectorPathsMatchThePlainLoop) {
  if (!json_detail::avx2_available()) std::cout << "[   NOTE   ] no AVX2 here: only SSE2 is compared\n";
  std::mt19937_64 random(20261207);
  std::size_t compared = 0;
  std::size_t outcomes[3] = {0, 0, 0};  // built, rejected, declined
  for (int i = 0; i < 12000; ++i) {
    const std::string text = random_text(random);
    json_detail::TokenIndex plain;
    const auto expected = plain.build(text, IndexPath::bytes);
    ++outcomes[static_cast<int>(expected)];
    if (expected != json_detail::IndexOutcome::rejected) {
      ASSERT_EQ(expected == json_detail::IndexOutcome::declined, !is_utf8(text)) << testing::PrintToString(text);
    }
    for (const IndexPath path : paths()) {
      if (path == IndexPath::bytes) continue;
      json_detail::TokenIndex index;
      ASSERT_EQ(index.build(text, path), expected) << name(path) << " text: " << testing::PrintToString(text);
      const std::vector<std::uint32_t> got(index.positions(), index.positions() + index.size());
      const std::vector<std::uint32_t> want(plain.positions(), plain.positions() + plain.size());
      ASSERT_EQ(got, want) << name(path) << " text: " << testing::PrintToString(text);
      ++compared;
    }
  }
  EXPECT_GT(compared, 12000u);
  for (const std::size_t count : outcomes) EXPECT_GT(count, 1000u);  // each outcome well covered
}

TEST(JsonIndexedParse, AgreesOnNestingLimitAndKeptDepths) {
  for (const std::size_t depth : {126u, 127u, 128u, 200u}) {
    expect_agreement(std::string(depth, '[') + std::string(depth, ']'));
    expect_agreement(std::string(depth, '[') + "1" + std::string(depth, ']'), 3);
  }
  const std::string nested = R"({"n":1.5,"a":{"b":[1,{"c":2e500}],"s":"x"},"z":[[]]})";
  const std::string fine = R"({"n":1.5,"a":{"b":[1,{"c":2, "c":[3]}],"s":"\u0041"},"z":[[1e-400]]})";
  for (std::size_t kept = 0; kept < 6; ++kept) {
    expect_agreement(nested, kept);
    expect_agreement(fine, kept);
  }
}

// The double of `text` as from_chars reads it: the correctly rounded value.
std::uint64_t exact_bits(const std::string& text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return std::bit_cast<std::uint64_t>(value);
}

TEST(JsonIndexedParse, NumbersAreCorrectlyRounded) {
  // The edges of the fast path (15 to 17 digits, powers 10^22 and 10^23,
  // mantissas at 2^53) and the forms of the integers.
  const std::vector<std::string> doubles = {
      "0.1", "0.2", "0.3", "1.7976931348623157e308", "2.2250738585072014e-308", "5e-324", "9007199254740993.0",
      "9007199254740992.0", "9007199254740991e22", "1e22", "1e23", "123456789012345e-22", "1234567890123456e-23",
      "0.000001", "1.5e-7", "-0.0", "0.0", "3.141592653589793", "4.35", "89255.0e-22", "1e-22", "8.41e21",
      "45035996.273704985", "0.1e1", "100e-2", "1.00000000000000011102230246251565404236316680908203125",
  };
  for (const auto& text : doubles) {
    for (const IndexPath path : paths()) {
      const IndexedParse parse = json_detail::parse_json_text_indexed(text, 1000, path);
      ASSERT_EQ(parse.outcome, IndexedParse::accepted) << text;
      const auto* number = parse.value.as_number();
      ASSERT_NE(number, nullptr) << text;
      ASSERT_EQ(number->kind(), JsonNumber::Kind::floating) << text;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(number->as_double()), exact_bits(text)) << text;
    }
  }
  for (const std::string text : {"18446744073709551615", "18446744073709551616", "-9223372036854775808",
                                 "-9223372036854775809", "9999999999999999999", "-0", "0", "-1",
                                 "123456789012345678901234567890"})
    expect_agreement(text);

  // Random numbers of every shape, against the reference (from_chars).
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (random() % 4 == 0) text += '-';
    const std::size_t integer_digits = 1 + random() % 20;
    text += static_cast<char>('1' + random() % 9);
    for (std::size_t d = 1; d < integer_digits; ++d) text += static_cast<char>('0' + random() % 10);
    if (random() % 2 == 0) {
      text += '.';
      const std::size_t fraction_digits = 1 + random() % 18;
      for (std::size_t d = 0; d < fraction_digits; ++d) text += static_cast<char>('0' + random() % 10);
    }
    if (random() % 2 == 0) text += "e" + std::to_string(static_cast<int>(random() % 80) - 40);
    expect_agreement("[" + text + "]");
  }
}

TEST(JsonIndexedParse, AgreesOnTheConformanceCorpus) {
  namespace fs = std::filesystem;
  const char* override_dir = std::getenv("KORVANE_JSON_CONFORMANCE_DIR");
  const std::string dir = override_dir != nullptr ? override_dir : KORVANE_JSON_CONFORMANCE_DEFAULT_DIR;
  std::error_code ec;
  if (dir.empty() || !fs::is_directory(dir, ec)) GTEST_SKIP() << "corpus not found at '" << dir << "'";
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    const auto expected = reference::parse_json_text_reference(text);
    for (const IndexPath path : paths()) {
      const IndexedParse parse = json_detail::parse_json_text_indexed(text, 1000, path);
      if (parse.outcome == IndexedParse::declined) {
        EXPECT_FALSE(is_utf8(text)) << entry.path();
        continue;
      }
      EXPECT_EQ(parse.outcome == IndexedParse::accepted, expected.has_value()) << entry.path();
      if (parse.outcome == IndexedParse::accepted && expected.has_value()) {
        EXPECT_EQ(parse.value, *expected);
      }
    }
    expect_agreement(text, 2);
    ++files;
  }
  EXPECT_GT(files, 300u);
}

}  // namespace
}  // namespace korvane
