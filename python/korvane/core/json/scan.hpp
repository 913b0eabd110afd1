// Byte scanning shared by the parser and the writer: the string bytes that
// need attention, digits and hexadecimal digits. Inline, as these sit on the
// hottest paths of both.
//
// Internal to the JSON code.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::json_detail {

// Index of the first byte in [p, end) that is '"', '\\' or below 0x20, or
// end when there is none. Sixteen (SSE2) or eight bytes at a time where possible.
inline const char* find_string_special(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i highest_control = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned byte <= 0x1F exactly when min(byte, 0x1F) == byte.
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(chunk, highest_control), chunk);
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)), control);
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return p + std::countr_zero(static_cast<unsigned>(mask));
    p += 16;
  }
#else
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      // A byte below n sets its high bit in (word - n*ones) & ~word & highs;
      // the lowest flagged byte is always a true match.
      const std::uint64_t below = (word - 0x20 * ones) & ~word;
      const std::uint64_t q = word ^ (0x22 * ones);
      const std::uint64_t quote = (q - ones) & ~q;
      const std::uint64_t b = word ^ (0x5C * ones);
      const std::uint64_t backslash = (b - ones) & ~b;
      const std::uint64_t hits = (below | quote | backslash) & highs;
      if (hits != 0) return p + (std::countr_zero(hits) / 8);
      p += 8;
    }
  }
#endif
  while (p < end) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x20 || byte == '"' || byte == '\\') return p;
    ++p;
  }
  return p;
}

inline bool is_space(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The end of a run of whitespace that started at p with two whitespace
// bytes: sixteen bytes at a time where possible.
[[gnu::noinline]] inline const char* whitespace_run_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i blank = _mm_set1_epi8(' ');
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i ret = _mm_set1_epi8('\r');
  const __m128i tab = _mm_set1_epi8('\t');
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i space = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, blank), _mm_cmpeq_epi8(chunk, newline)),
                                       _mm_or_si128(_mm_cmpeq_epi8(chunk, ret), _mm_cmpeq_epi8(chunk, tab)));
    const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFFU;
    if (other != 0) return p + std::countr_zero(other);
    p += 16;
  }
#endif
  while (p < end && is_space(*p)) ++p;
  return p;
}

// The first byte in [p, end) that is not JSON whitespace, or end. Most
// values follow their separator at once or after one space, which is
// decided inline; indented text has longer runs.
[[gnu::always_inline]] inline const char* whitespace_end(const char* p, const char* end) noexcept {
  if (p == end || !is_space(*p)) return p;
  if (++p == end || !is_space(*p)) return p;
  return whitespace_run_end(p + 1, end);
}

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The eight bytes at p as digit values: a digit becomes 0..9, any other
// byte something else.
inline std::uint64_t digit_values_at(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word ^ 0x3030303030303030ULL;
}

// The high bit of every byte of digit_values_at that was not a digit (the
// lowest one flagged is the first non-digit): adding 0x76 sets the high bit
// of every value above 9, and carries only ever reach bytes after the first
// non-digit.
inline std::uint64_t non_digit_bytes(std::uint64_t values) noexcept {
  return ((values + 0x7676767676767676ULL) | values) & 0x8080808080808080ULL;
}

// The first byte in [p, end) that is not an ASCII digit, or end.
[[gnu::always_inline]] inline const char* digits_end(const char* p, const char* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      const std::uint64_t other = non_digit_bytes(digit_values_at(p));
      if (other != 0) return p + std::countr_zero(other) / 8;
      p += 8;
    }
  }
  while (p < end && is_digit(*p)) ++p;
  return p;
}

// The value of every byte as a hexadecimal digit, -1 for the bytes that are not one.
inline constexpr auto kHexValues = [] {
  std::array<std::int8_t, 256> values{};
  for (int c = 0; c < 256; ++c) {
    values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                                                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                                          : -1);
  }
  return values;
}();

inline int hex_value(char c) noexcept { return kHexValues[static_cast<unsigned char>(c)]; }

// The byte a one-letter escape stands for ("\\n" is a line feed), or 0 for a
// letter that is not one: `u` (four hex digits follow) and every invalid one.
inline char unescaped(char letter) noexcept {
  switch (letter) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '/':
      return '/';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return 0;
  }
}

}  // namespace korvane::json_detail
