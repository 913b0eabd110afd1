#include "quoted.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace korvane {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "unicode_tables.inc"

// Appends `value` in lowercase hexadecimal without leading zeros, in braces.
void append_braced_hex(std::string& out, char prefix, std::uint32_t value) {
  char digits[8];
  const auto result = std::to_chars(std::begin(digits), std::end(digits), value, 16);
  out += '\\';
  out += prefix;
  out += '{';
  out.append(digits, result.ptr);
  out += '}';
}

struct Decoded {
  char32_t code_point;
  std::size_t length;  // 0: the first byte starts no well-formed sequence
};

// Decodes one well-formed UTF-8 sequence at the start of `text` (not empty),
// following the table of well-formed byte sequences of the Unicode Standard:
// no overlong forms, no surrogates, nothing above U+10FFFF.
Decoded decode_one(std::string_view text) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return {lead, 1};
  }
  std::size_t length = 0;
  char32_t value = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    if (lead == 0xE0) second_min = 0xA0;  // overlong
    if (lead == 0xED) second_max = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    if (lead == 0xF0) second_min = 0x90;  // overlong
    if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
  } else {
    return {0, 0};
  }
  if (text.size() < length) {
    return {0, 0};
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(i);
    const unsigned char min = i == 1 ? second_min : static_cast<unsigned char>(0x80);
    const unsigned char max = i == 1 ? second_max : static_cast<unsigned char>(0xBF);
    if (next < min || next > max) {
      return {0, 0};
    }
    value = (value << 6) | (next & 0x3Fu);
  }
  return {value, length};
}

}  // namespace

bool quoted_form_escapes(char32_t code_point) noexcept {
  // The first range whose end is not below the code point is the only one
  // that can hold it.
  const auto* const end = std::end(kEscapedRanges);
  const auto* const it =
      std::lower_bound(std::begin(kEscapedRanges), end, code_point,
                       [](const CodePointRange& range, char32_t value) { return range.last < value; });
  return it != end && it->first <= code_point;
}

std::string_view quoted_form_unicode_version() noexcept { return kUnicodeVersion; }

std::string quoted(std::string_view utf8_text) {
  std::string out;
  out.reserve(utf8_text.size() + 2);
  out += '"';
  std::size_t pos = 0;
  while (pos < utf8_text.size()) {
    const Decoded decoded = decode_one(utf8_text.substr(pos));
    if (decoded.length == 0) {
      append_braced_hex(out, 'x', static_cast<unsigned char>(utf8_text[pos]));
      ++pos;
      continue;
    }
    const char32_t cp = decoded.code_point;
    switch (cp) {
      case U'\\':
        out += "\\\\";
        break;
      case U'"':
        out += "\\\"";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (quoted_form_escapes(cp)) {
          append_braced_hex(out, 'u', static_cast<std::uint32_t>(cp));
        } else {
          out.append(utf8_text.substr(pos, decoded.length));
        }
        break;
    }
    pos += decoded.length;
  }
  out += '"';
  return out;
}

}  // namespace korvane
