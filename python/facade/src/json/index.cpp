// The first pass of the indexed parser. Each 64-byte block is turned into
// bit masks (one bit per byte); plain 64-bit arithmetic on the masks then
// finds the escaped bytes, the extent of the strings (carried from block to
// block) and the token starts, whose positions go straight into the index.
//
// Each path is one loop over the blocks, compiled whole for its
// instructions: the AVX2 loop also uses popcnt, tzcnt/blsr (BMI) and the
// carry-less multiply, and is chosen only where the processor has all of
// them; the SSE2 loop runs on any x86-64; the plain loop anywhere.
#include "json/index.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#define KORVANE_JSON_X86 1
#include <emmintrin.h>
#include <immintrin.h>
#else
#define KORVANE_JSON_X86 0
#endif

namespace korvane::json_detail {

// Writes the positions of one text into its index; a friend of TokenIndex.
struct IndexWriter {
  template <class Kind>
  static IndexOutcome run(TokenIndex& index, std::size_t blocks);
  [[gnu::noinline]] static std::uint32_t* grow(TokenIndex& index, std::uint32_t* next);
};

namespace {

// What the scanner needs of a block, one bit per byte.
struct BlockMasks {
  std::uint64_t quote;      // '"'
  std::uint64_t backslash;  // '\\'
  std::uint64_t op;         // '{', '}', '[', ']', ':', ','
  std::uint64_t space;      // ' ', '\t', '\n', '\r'
  std::uint64_t control;    // 0x00 to 0x1F
};

// Bit i of the result is the xor of bits 0..i of x, by shifts.
[[gnu::always_inline]] inline std::uint64_t prefix_xor_shifts(std::uint64_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// The number of set bits, without the popcnt instruction that the baseline
// processor may lack (std::popcount would be a library call there).
[[gnu::always_inline]] inline unsigned count_bits(std::uint64_t x) noexcept {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
}

// The UTF-8 check on masks, for the paths without byte shuffles. Every byte
// of 0x80 to 0xBF is a continuation byte, and the text is UTF-8 exactly when
// the continuation bytes are the ones that the leads before them call for:
// the byte after a lead of 2, 3 or 4 bytes, the second byte after a lead of
// 3 or 4, the third after a lead of 4. No byte is 0xC0, 0xC1 or above 0xF4,
// and the byte after E0, ED, F0 and F4 lies in the narrower range that rules
// out overlong forms, surrogates and code points past U+10FFFF. The calls of
// the block before reach into this one.
struct Utf8Masks {
  std::uint64_t high;         // 0x80 and above
  std::uint64_t at_least[7];  // 0xC0, 0xC2, 0xE0, 0xF0, 0xF5, 0xA0, 0x90
  std::uint64_t equal[4];     // 0xE0, 0xED, 0xF0, 0xF4
};

constexpr unsigned char kBounds[7] = {0xC0, 0xC2, 0xE0, 0xF0, 0xF5, 0xA0, 0x90};
constexpr unsigned char kLeads[4] = {0xE0, 0xED, 0xF0, 0xF4};

struct Utf8ByMasks {
  // The leads of the block before (of 2, 3 or 4 bytes; of 3 or 4; of 4; and
  // the four leads that limit their second byte), for the bytes they need
  // in this block. Each set is within lead_any.
  std::uint64_t lead_any = 0;
  std::uint64_t lead_three = 0;
  std::uint64_t lead_four = 0;
  std::uint64_t lead_limits[4] = {0, 0, 0, 0};
  bool bad = false;

  bool pending() const noexcept { return lead_any != 0; }

  [[gnu::always_inline]] void check(const Utf8Masks& m) noexcept {
    enum { c0, c2, e0, f0, f5, a0, x90 };
    const std::uint64_t continuation = m.high & ~m.at_least[c0];
    const std::uint64_t forbidden = (m.at_least[c0] & ~m.at_least[c2]) | m.at_least[f5];
    const std::uint64_t any = m.at_least[c2] & ~m.at_least[f5];
    const std::uint64_t three = m.at_least[e0] & ~m.at_least[f5];
    const std::uint64_t four = m.at_least[f0] & ~m.at_least[f5];
    const std::uint64_t called = (any << 1) | (lead_any >> 63) | (three << 2) | (lead_three >> 62) | (four << 3) |
                                 (lead_four >> 61);
    const std::uint64_t below_a0 = m.high & ~m.at_least[a0];
    const std::uint64_t below_90 = m.high & ~m.at_least[x90];
    auto after = [&](int lead) { return (m.equal[lead] << 1) | (lead_limits[lead] >> 63); };
    const std::uint64_t out_of_range = (after(0) & below_a0) | (after(1) & ~below_a0) | (after(2) & below_90) |
                                       (after(3) & ~below_90);
    if ((called ^ continuation) != 0 || forbidden != 0 || out_of_range != 0) bad = true;
    lead_any = any;
    lead_three = three;
    lead_four = four;
    for (int i = 0; i < 4; ++i) lead_limits[i] = m.equal[i];
  }

  // At the end of the text: no lead may still call for bytes.
  bool finish() noexcept {
    if ((lead_any >> 63 | lead_three >> 62 | lead_four >> 61) != 0) bad = true;
    return bad;
  }
};

// What the paths without byte shuffles share: the UTF-8 check on masks, and
// bit arithmetic that needs no instruction beyond the baseline.
struct MaskKind {
  using Utf8 = Utf8ByMasks;
  static bool finish(Utf8& utf8) noexcept { return utf8.finish(); }
  static bool failed(const Utf8& utf8) noexcept { return utf8.bad; }
  static std::uint64_t prefix_xor(std::uint64_t x) noexcept { return prefix_xor_shifts(x); }
  static unsigned count(std::uint64_t x) noexcept { return count_bits(x); }
};

// Processors other than x86: the masks a byte at a time.
struct BytesKind : MaskKind {

  static BlockMasks classify(const char* text, Utf8& utf8) noexcept {
    BlockMasks m{};
    std::uint64_t high = 0;
    for (unsigned i = 0; i < 64; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      const std::uint64_t bit = std::uint64_t{1} << i;
      if (c == '"') m.quote |= bit;
      if (c == '\\') m.backslash |= bit;
      if (c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',') m.op |= bit;
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') m.space |= bit;
      if (c < 0x20) m.control |= bit;
      if (c >= 0x80) high |= bit;
    }
    if ((high | utf8.lead_any) != 0) {
      Utf8Masks u{};
      u.high = high;
      for (unsigned i = 0; high != 0 && i < 64; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::uint64_t bit = std::uint64_t{1} << i;
        for (int k = 0; k < 7; ++k)
          if (c >= kBounds[k]) u.at_least[k] |= bit;
        for (int k = 0; k < 4; ++k)
          if (c == kLeads[k]) u.equal[k] |= bit;
      }
      utf8.check(u);
    }
    return m;
  }
};

#if KORVANE_JSON_X86

[[gnu::always_inline]] inline std::uint64_t bits16(__m128i v) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(v)));
}

// The baseline x86-64: SSE2 compares, 16 bytes at a time.
struct Sse2Kind : MaskKind {

  static BlockMasks classify(const char* text, Utf8& utf8) noexcept {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i open = _mm_set1_epi8(0x7B);   // '{' and, with bit 5 set, '['
    const __m128i close = _mm_set1_epi8(0x7D);  // '}' and, with bit 5 set, ']'
    const __m128i bit5 = _mm_set1_epi8(0x20);
    const __m128i colon = _mm_set1_epi8(':');
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i blank = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i ret = _mm_set1_epi8('\r');
    const __m128i highest_control = _mm_set1_epi8(0x1F);
    BlockMasks m{};
    std::uint64_t high = 0;
    __m128i c[4];
    for (int k = 0; k < 4; ++k) {
      c[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16 * k));
      const int shift = 16 * k;
      const __m128i folded = _mm_or_si128(c[k], bit5);
      m.quote |= bits16(_mm_cmpeq_epi8(c[k], quote)) << shift;
      m.backslash |= bits16(_mm_cmpeq_epi8(c[k], backslash)) << shift;
      m.op |= bits16(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(folded, open), _mm_cmpeq_epi8(folded, close)),
                                  _mm_or_si128(_mm_cmpeq_epi8(c[k], colon), _mm_cmpeq_epi8(c[k], comma))))
              << shift;
      m.space |= bits16(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(c[k], blank), _mm_cmpeq_epi8(c[k], tab)),
                                     _mm_or_si128(_mm_cmpeq_epi8(c[k], newline), _mm_cmpeq_epi8(c[k], ret))))
                 << shift;
      m.control |= bits16(_mm_cmpeq_epi8(_mm_min_epu8(c[k], highest_control), c[k])) << shift;
      high |= bits16(c[k]) << shift;
    }
    if ((high | utf8.lead_any) != 0) {
      Utf8Masks u{};
      u.high = high;
      for (int k = 0; high != 0 && k < 4; ++k) {
        const int shift = 16 * k;
        // Compared as signed bytes, 0x80 and above lie below ASCII: one
        // compare finds the bytes at or above a bound, and ASCII, taken out below.
        for (int i = 0; i < 7; ++i) {
          const __m128i below = _mm_set1_epi8(static_cast<char>(kBounds[i] - 1));
          u.at_least[i] |= bits16(_mm_cmpgt_epi8(c[k], below)) << shift;
        }
        for (int i = 0; i < 4; ++i)
          u.equal[i] |= bits16(_mm_cmpeq_epi8(c[k], _mm_set1_epi8(static_cast<char>(kLeads[i])))) << shift;
      }
      for (auto& mask : u.at_least) mask &= high;
      utf8.check(u);
    }
    return m;
  }
};

// The instructions of the AVX2 loop; the processor is checked for each.
#define KORVANE_JSON_AVX2 gnu::target("avx2,bmi,popcnt,pclmul")

[[KORVANE_JSON_AVX2]] inline std::uint64_t bits32(__m256i low, __m256i high) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(low))) |
         static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high))) << 32;
}

// A table of 16 bytes in both halves of a register, for byte shuffles.
[[KORVANE_JSON_AVX2]] inline __m256i table16(const unsigned char (&table)[16]) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)));
}

// By the low four bits of a byte: the one operator (with '[' and ']' folded
// onto '{' and '}' by bit 5) and the one space with those bits, else zero.
constexpr unsigned char kOperatorByLow[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ':', '{', ',', '}', 0, 0};
constexpr unsigned char kSpaceByLow[16] = {' ', 0, 0, 0, 0, 0, 0, 0, 0, '\t', '\n', 0, 0, '\r', 0, 0};

// The UTF-8 check with byte shuffles, after Keiser and Lemire ("Validating
// UTF-8 In Less Than One Instruction Per Byte", 2021). Each byte is judged
// with the byte before it: three tables, by the high and the low four bits
// of the byte before and by the high four bits of this one, each give the
// errors that the pair may make; the errors of the pair are the bits that
// all three give. A byte two after a lead of 3 or 4 bytes, or three after a
// lead of 4, must be a continuation that follows a continuation, the one
// pair of continuations that is no error.
enum : unsigned char {
  kTooShort = 1,          // a lead (C0 to FF) not followed by a continuation
  kTooLong = 2,           // a continuation after an ASCII byte
  kOverlong3 = 4,         // E0 followed by 80 to 9F
  kSurrogate = 8,         // ED followed by A0 to BF
  kOverlong2 = 16,        // C0 or C1 followed by a continuation
  kTooLarge = 32,         // F4 to FF followed by 90 to BF
  kOverlong4OrAbove = 64, // F0 or F5 to FF followed by 80 to 8F
  kTwoContinuations = 128,
};
constexpr unsigned char kByFirstHigh[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoContinuations, kTwoContinuations, kTwoContinuations, kTwoContinuations,
    kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kOverlong4OrAbove,
};
constexpr unsigned char kFirstAny = kTooShort | kTooLong | kTwoContinuations;
constexpr unsigned char kByFirstLow[16] = {
    kFirstAny | kOverlong2 | kOverlong3 | kOverlong4OrAbove,
    kFirstAny | kOverlong2,
    kFirstAny,
    kFirstAny,
    kFirstAny | kTooLarge,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove | kSurrogate,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
    kFirstAny | kTooLarge | kOverlong4OrAbove,
};
constexpr unsigned char kContinuationAny = kTooLong | kTwoContinuations | kOverlong2;
constexpr unsigned char kBySecondHigh[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kContinuationAny | kOverlong3 | kOverlong4OrAbove,
    kContinuationAny | kOverlong3 | kTooLarge,
    kContinuationAny | kSurrogate | kTooLarge,
    kContinuationAny | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort,
};
// Subtracted with saturation from the last 32 bytes: not zero where a lead
// still calls for bytes of the next block.
constexpr unsigned char kCompleteBelow[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF,
};

// The bytes of `input` moved up by N, the last N of `before` coming in.
template <int N>
[[KORVANE_JSON_AVX2]] inline __m256i bytes_before(__m256i input, __m256i before) noexcept {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(before, input, 0x21), 16 - N);
}

[[KORVANE_JSON_AVX2]] inline __m256i utf8_errors(__m256i input, __m256i before) noexcept {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i first = bytes_before<1>(input, before);
  const __m256i by_first_high =
      _mm256_shuffle_epi8(table16(kByFirstHigh), _mm256_and_si256(_mm256_srli_epi16(first, 4), nibble));
  const __m256i by_first_low = _mm256_shuffle_epi8(table16(kByFirstLow), _mm256_and_si256(first, nibble));
  const __m256i by_second_high =
      _mm256_shuffle_epi8(table16(kBySecondHigh), _mm256_and_si256(_mm256_srli_epi16(input, 4), nibble));
  const __m256i errors = _mm256_and_si256(_mm256_and_si256(by_first_high, by_first_low), by_second_high);
  // Bit 7 where the byte two before is E0 or above, or three before F0 or
  // above: the byte must continue a sequence already continued.
  const __m256i third = _mm256_subs_epu8(bytes_before<2>(input, before), _mm256_set1_epi8(0xE0 - 0x80));
  const __m256i fourth = _mm256_subs_epu8(bytes_before<3>(input, before), _mm256_set1_epi8(0xF0 - 0x80));
  const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(-0x80));
  return _mm256_xor_si256(errors, must_continue);
}

struct Avx2Kind {
  struct Utf8 {
    __m256i before;  // the last 32 bytes of the block before
    __m256i errors;  // not zero once any error was seen
  };

  // Not zero where the 32 bytes end inside a sequence.
  [[KORVANE_JSON_AVX2]] static __m256i incomplete(__m256i last) noexcept {
    return _mm256_subs_epu8(last, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kCompleteBelow)));
  }

  [[KORVANE_JSON_AVX2]] static BlockMasks classify(const char* text, Utf8& utf8) noexcept {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + 32));
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i bit5 = _mm256_set1_epi8(0x20);
    const __m256i highest_control = _mm256_set1_epi8(0x1F);
    const __m256i operators = table16(kOperatorByLow);
    const __m256i spaces = table16(kSpaceByLow);
    BlockMasks m;
    m.quote = bits32(_mm256_cmpeq_epi8(low, quote), _mm256_cmpeq_epi8(high, quote));
    m.backslash = bits32(_mm256_cmpeq_epi8(low, backslash), _mm256_cmpeq_epi8(high, backslash));
    // A byte of 0x80 or above looks up zero. The lookup by low bits also
    // matches 0x0C and 0x1A (',' and ':' less bit 5): control bytes, taken
    // out below.
    m.op = bits32(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(operators, low), _mm256_or_si256(low, bit5)),
                  _mm256_cmpeq_epi8(_mm256_shuffle_epi8(operators, high), _mm256_or_si256(high, bit5)));
    m.space = bits32(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(spaces, low), low),
                     _mm256_cmpeq_epi8(_mm256_shuffle_epi8(spaces, high), high));
    m.control = bits32(_mm256_cmpeq_epi8(_mm256_min_epu8(low, highest_control), low),
                       _mm256_cmpeq_epi8(_mm256_min_epu8(high, highest_control), high));
    m.op &= ~m.control;
    if (_mm256_movemask_epi8(_mm256_or_si256(low, high)) != 0) {
      utf8.errors = _mm256_or_si256(utf8.errors,
                                    _mm256_or_si256(utf8_errors(low, utf8.before), utf8_errors(high, low)));
    } else {
      // ASCII only: an error exactly when the block before left a sequence open.
      utf8.errors = _mm256_or_si256(utf8.errors, incomplete(utf8.before));
    }
    utf8.before = high;
    return m;
  }

  [[KORVANE_JSON_AVX2]] static bool failed(const Utf8& utf8) noexcept {
    return _mm256_testz_si256(utf8.errors, utf8.errors) == 0;
  }

  [[KORVANE_JSON_AVX2]] static bool finish(Utf8& utf8) noexcept {
    const __m256i errors = _mm256_or_si256(utf8.errors, incomplete(utf8.before));
    return _mm256_testz_si256(errors, errors) == 0;
  }

  // Multiplying by all ones without carries xors each bit into every bit above.
  [[KORVANE_JSON_AVX2]] static std::uint64_t prefix_xor(std::uint64_t x) noexcept {
    const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(x)), _mm_set1_epi8(-1), 0);
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
  }
  [[KORVANE_JSON_AVX2]] static unsigned count(std::uint64_t x) noexcept {
    return static_cast<unsigned>(std::popcount(x));
  }
};

#endif

// The state carried from one block to the next.
struct Scanner {
  std::uint64_t escaped_next = 0;  // 1 when the block ended in an odd run of backslashes
  std::uint64_t in_string = 0;     // all ones when the block ended inside a string
  std::uint64_t other_last = 0;    // 1 when the block ended in a token byte (a number or word)
  std::uint64_t bad_control = 0;   // not zero once a string held a control byte

  // The token starts of a block, as bits.
  template <class Kind>
  [[gnu::always_inline]] std::uint64_t tokens(const BlockMasks& m) noexcept {
    // Escaped bytes: the byte after each odd-length run of backslashes.
    constexpr std::uint64_t even = 0x5555555555555555ULL;
    const std::uint64_t backslash = m.backslash & ~escaped_next;
    const std::uint64_t follows = (backslash << 1) | escaped_next;
    const std::uint64_t odd_starts = backslash & ~even & ~follows;
    std::uint64_t even_runs = 0;
    escaped_next = __builtin_add_overflow(odd_starts, backslash, &even_runs) ? 1 : 0;
    const std::uint64_t escaped = (even ^ (even_runs << 1)) & follows;

    const std::uint64_t quote = m.quote & ~escaped;
    // Set from each opening quote up to, not including, its closing quote.
    const std::uint64_t strings = Kind::prefix_xor(quote) ^ in_string;
    in_string = static_cast<std::uint64_t>(static_cast<std::int64_t>(strings) >> 63);
    bad_control |= m.control & strings;
    const std::uint64_t outside = ~strings;
    const std::uint64_t op = m.op & outside;
    const std::uint64_t other = outside & ~(m.op | m.space | quote);
    const std::uint64_t other_starts = other & ~((other << 1) | other_last);
    other_last = other >> 63;
    // Both quotes of every string and every escape inside one are tokens
    // too: the second pass then never scans a string's bytes.
    const std::uint64_t escapes = m.backslash & strings & ~escaped;
    return op | quote | escapes | other_starts;
  }
};

// Writes base plus the index of each set bit of `found`, in eights past the
// count too: the caller leaves room for 64.
template <class Kind>
[[gnu::always_inline]] inline std::uint32_t* write_positions(std::uint32_t* out, std::uint32_t base,
                                                           std::uint64_t found) noexcept {
  const unsigned count = Kind::count(found);
  std::uint32_t* const end = out + count;
  for (int i = 0; i < 8; ++i) {
    out[i] = base + static_cast<std::uint32_t>(std::countr_zero(found));
    found &= found - 1;
  }
  if (count > 8) {
    for (int i = 8; i < 16; ++i) {
      out[i] = base + static_cast<std::uint32_t>(std::countr_zero(found));
      found &= found - 1;
    }
    for (out += 16; out < end; out += 4) {
      for (int i = 0; i < 4; ++i) {
        out[i] = base + static_cast<std::uint32_t>(std::countr_zero(found));
        found &= found - 1;
      }
    }
  }
  return end;
}

// A thread's spare index buffer, kept between parses up to a size.
struct SpareBuffer {
  std::uint32_t* data = nullptr;
  std::size_t capacity = 0;
  ~SpareBuffer() { std::free(data); }
};
thread_local SpareBuffer spare;
constexpr std::size_t kSpareLimit = std::size_t{1} << 20;  // positions
// Room kept free before each block: its positions, and the final sentinel.
constexpr std::size_t kBlockRoom = 65;

bool detect_avx2() noexcept {
#if KORVANE_JSON_X86
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt") &&
         __builtin_cpu_supports("pclmul");
#else
  return false;
#endif
}

}  // namespace

std::uint32_t* IndexWriter::grow(TokenIndex& index, std::uint32_t* next) {
  index.size_ = static_cast<std::size_t>(next - index.positions_);
  index.reserve(index.size_ + kBlockRoom);
  return index.positions_ + index.size_;
}

template <class Kind>
[[gnu::always_inline]] inline IndexOutcome IndexWriter::run(TokenIndex& index, std::size_t blocks) {
  // The scan's state, carried from window to window in the index.
  struct Carried {
    Scanner scanner;
    typename Kind::Utf8 utf8;
  };
  static_assert(sizeof(Carried) <= sizeof index.carried_ && alignof(Carried) <= 32);
  static_assert(std::is_trivially_copyable_v<Carried>);
  Carried state;
  std::memcpy(static_cast<void*>(&state), index.carried_, sizeof state);

  const std::string_view text = index.text_;
  const std::size_t size = text.size();
  const std::size_t full_blocks = size / 64;
  const std::size_t all_blocks = (size + 63) / 64;
  std::size_t block = index.next_block_;
  const std::size_t stop = all_blocks - block > blocks ? block + blocks : all_blocks;
  std::uint32_t* out = index.positions_;
  for (; block < stop && block < full_blocks; ++block) {
    if (static_cast<std::size_t>(index.positions_ + index.capacity_ - out) < kBlockRoom) [[unlikely]]
      out = grow(index, out);
    const BlockMasks m = Kind::classify(text.data() + block * 64, state.utf8);
    out = write_positions<Kind>(out, static_cast<std::uint32_t>(block * 64), state.scanner.template tokens<Kind>(m));
  }
  if (block < stop) {
    // The last bytes padded with spaces, which never start a token.
    char padded[64];
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, text.data() + block * 64, size - block * 64);
    if (static_cast<std::size_t>(index.positions_ + index.capacity_ - out) < kBlockRoom) out = grow(index, out);
    const BlockMasks m = Kind::classify(padded, state.utf8);
    out = write_positions<Kind>(out, static_cast<std::uint32_t>(block * 64), state.scanner.template tokens<Kind>(m));
    ++block;
  }
  index.size_ = static_cast<std::size_t>(out - index.positions_);
  index.next_block_ = block;
  std::memcpy(index.carried_, static_cast<const void*>(&state), sizeof state);
  if (state.scanner.bad_control != 0) return IndexOutcome::rejected;
  if (block < all_blocks) {
    if (Kind::failed(state.utf8)) return IndexOutcome::declined;
    index.positions_[index.size_++] = TokenIndex::kRefill;
    return IndexOutcome::built;
  }
  const bool bad_utf8 = Kind::finish(state.utf8);
  if (state.scanner.in_string != 0) return IndexOutcome::rejected;
  if (bad_utf8) return IndexOutcome::declined;
  index.positions_[index.size_++] = static_cast<std::uint32_t>(size);
  return IndexOutcome::built;
}

namespace {

// Each path's loop, compiled whole (flatten) with its instructions.
[[gnu::flatten]] IndexOutcome index_bytes(TokenIndex& index, std::size_t blocks) {
  return IndexWriter::run<BytesKind>(index, blocks);
}
#if KORVANE_JSON_X86
[[gnu::flatten]] IndexOutcome index_sse2(TokenIndex& index, std::size_t blocks) {
  return IndexWriter::run<Sse2Kind>(index, blocks);
}
[[KORVANE_JSON_AVX2, gnu::flatten]] IndexOutcome index_avx2(TokenIndex& index, std::size_t blocks) {
  return IndexWriter::run<Avx2Kind>(index, blocks);
}
#endif

}  // namespace

bool avx2_available() noexcept {
  static const bool available = detect_avx2();
  return available;
}

TokenIndex::~TokenIndex() {
  if (positions_ == nullptr) return;
  if (capacity_ <= kSpareLimit && capacity_ > spare.capacity) {
    std::free(spare.data);
    spare.data = positions_;
    spare.capacity = capacity_;
  } else {
    std::free(positions_);
  }
}

void TokenIndex::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  if (positions_ == nullptr && spare.capacity >= capacity) {
    positions_ = spare.data;
    capacity_ = spare.capacity;
    spare = SpareBuffer{};
    return;
  }
  capacity = std::max(capacity, capacity_ * 2);
  auto* grown = static_cast<std::uint32_t*>(std::realloc(positions_, capacity * sizeof(std::uint32_t)));
  if (grown == nullptr) throw std::bad_alloc();
  positions_ = grown;
  capacity_ = capacity;
}

IndexOutcome TokenIndex::build(std::string_view text, IndexPath path) {
  start(text, path);
  return fill(std::numeric_limits<std::size_t>::max());
}

void TokenIndex::start(std::string_view text, IndexPath path) noexcept {
  if (path == IndexPath::best || (path == IndexPath::avx2 && !avx2_available()))
    path = avx2_available() ? IndexPath::avx2 : IndexPath::sse2;
  text_ = text;
  path_ = path;
  next_block_ = 0;
  size_ = 0;
  std::memset(carried_, 0, sizeof carried_);
}

IndexOutcome TokenIndex::fill(std::size_t blocks) {
  size_ = 0;
  if (text_.size() >= kRefill) return IndexOutcome::declined;
  // Room for every position a window can hold; for the whole text, a first
  // guess of one token in eight bytes, grown as needed.
  const std::size_t left = text_.size() - std::min(text_.size(), next_block_ * 64);
  reserve(blocks <= left / 64 ? blocks * 64 + kBlockRoom : left / 8 + 128);
#if KORVANE_JSON_X86
  if (path_ == IndexPath::avx2) return index_avx2(*this, blocks);
  if (path_ == IndexPath::sse2) return index_sse2(*this, blocks);
#endif
  return index_bytes(*this, blocks);
}

}  // namespace korvane::json_detail
