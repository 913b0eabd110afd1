// The first pass of the indexed parser. Each 64-byte block is turned into
// bit masks (one bit per byte) by SSE2 or AVX2 compares; plain 64-bit
// arithmetic on the masks then finds the escaped bytes, the extent of the
// strings (carried from block to block) and the token starts.
#include "json/index.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#define KORVANE_JSON_X86 1
#include <emmintrin.h>
#include <immintrin.h>
#else
#define KORVANE_JSON_X86 0
#endif

namespace korvane::json_detail {

namespace {

// One bit per byte of a block.
struct BlockMasks {
  std::uint64_t quote;      // '"'
  std::uint64_t backslash;  // '\\'
  std::uint64_t op;         // '{', '}', '[', ']', ':', ','
  std::uint64_t space;      // ' ', '\t', '\n', '\r'
  std::uint64_t control;    // 0x00 to 0x1F
  std::uint64_t high;       // 0x80 and above
  // Only where some byte is 0x80 or above, else zero: bytes at or above a
  // bound, and bytes equal to a lead that limits the byte after it.
  std::uint64_t at_least[7];  // 0xC0, 0xC2, 0xE0, 0xF0, 0xF5, 0xA0, 0x90
  std::uint64_t equal[4];     // 0xE0, 0xED, 0xF0, 0xF4
};

constexpr unsigned char kBounds[7] = {0xC0, 0xC2, 0xE0, 0xF0, 0xF5, 0xA0, 0x90};
constexpr unsigned char kLeads[4] = {0xE0, 0xED, 0xF0, 0xF4};

#if KORVANE_JSON_X86

inline std::uint64_t bits16(__m128i v) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(v)));
}

void classify_sse2(const char* text, std::size_t blocks, BlockMasks* out) noexcept {
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
  for (std::size_t b = 0; b < blocks; ++b, text += 64) {
    BlockMasks m{};
    for (int k = 0; k < 4; ++k) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16 * k));
      const int shift = 16 * k;
      const __m128i folded = _mm_or_si128(c, bit5);
      m.quote |= bits16(_mm_cmpeq_epi8(c, quote)) << shift;
      m.backslash |= bits16(_mm_cmpeq_epi8(c, backslash)) << shift;
      m.op |= bits16(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(folded, open), _mm_cmpeq_epi8(folded, close)),
                                  _mm_or_si128(_mm_cmpeq_epi8(c, colon), _mm_cmpeq_epi8(c, comma))))
              << shift;
      m.space |= bits16(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(c, blank), _mm_cmpeq_epi8(c, tab)),
                                     _mm_or_si128(_mm_cmpeq_epi8(c, newline), _mm_cmpeq_epi8(c, ret))))
                 << shift;
      m.control |= bits16(_mm_cmpeq_epi8(_mm_min_epu8(c, highest_control), c)) << shift;
      m.high |= bits16(c) << shift;
    }
    if (m.high != 0) {
      for (int k = 0; k < 4; ++k) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16 * k));
        const int shift = 16 * k;
        for (int i = 0; i < 7; ++i) {
          const __m128i bound = _mm_set1_epi8(static_cast<char>(kBounds[i]));
          m.at_least[i] |= bits16(_mm_cmpeq_epi8(_mm_max_epu8(c, bound), c)) << shift;
        }
        for (int i = 0; i < 4; ++i)
          m.equal[i] |= bits16(_mm_cmpeq_epi8(c, _mm_set1_epi8(static_cast<char>(kLeads[i])))) << shift;
      }
    }
    out[b] = m;
  }
}

[[gnu::target("avx2")]] inline std::uint64_t bits32(__m256i v) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)));
}

[[gnu::target("avx2")]] void classify_avx2(const char* text, std::size_t blocks, BlockMasks* out) noexcept {
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  const __m256i open = _mm256_set1_epi8(0x7B);
  const __m256i close = _mm256_set1_epi8(0x7D);
  const __m256i bit5 = _mm256_set1_epi8(0x20);
  const __m256i colon = _mm256_set1_epi8(':');
  const __m256i comma = _mm256_set1_epi8(',');
  const __m256i blank = _mm256_set1_epi8(' ');
  const __m256i tab = _mm256_set1_epi8('\t');
  const __m256i newline = _mm256_set1_epi8('\n');
  const __m256i ret = _mm256_set1_epi8('\r');
  const __m256i highest_control = _mm256_set1_epi8(0x1F);
  for (std::size_t b = 0; b < blocks; ++b, text += 64) {
    BlockMasks m{};
    for (int k = 0; k < 2; ++k) {
      const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + 32 * k));
      const int shift = 32 * k;
      const __m256i folded = _mm256_or_si256(c, bit5);
      m.quote |= bits32(_mm256_cmpeq_epi8(c, quote)) << shift;
      m.backslash |= bits32(_mm256_cmpeq_epi8(c, backslash)) << shift;
      m.op |= bits32(_mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(folded, open), _mm256_cmpeq_epi8(folded, close)),
                                     _mm256_or_si256(_mm256_cmpeq_epi8(c, colon), _mm256_cmpeq_epi8(c, comma))))
              << shift;
      m.space |= bits32(_mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(c, blank), _mm256_cmpeq_epi8(c, tab)),
                                        _mm256_or_si256(_mm256_cmpeq_epi8(c, newline), _mm256_cmpeq_epi8(c, ret))))
                 << shift;
      m.control |= bits32(_mm256_cmpeq_epi8(_mm256_min_epu8(c, highest_control), c)) << shift;
      m.high |= bits32(c) << shift;
    }
    if (m.high != 0) {
      for (int k = 0; k < 2; ++k) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + 32 * k));
        const int shift = 32 * k;
        for (int i = 0; i < 7; ++i) {
          const __m256i bound = _mm256_set1_epi8(static_cast<char>(kBounds[i]));
          m.at_least[i] |= bits32(_mm256_cmpeq_epi8(_mm256_max_epu8(c, bound), c)) << shift;
        }
        for (int i = 0; i < 4; ++i)
          m.equal[i] |= bits32(_mm256_cmpeq_epi8(c, _mm256_set1_epi8(static_cast<char>(kLeads[i])))) << shift;
      }
    }
    out[b] = m;
  }
}

#endif

// Processors other than x86: the same masks a byte at a time.
void classify_bytes(const char* text, std::size_t blocks, BlockMasks* out) noexcept {
  for (std::size_t b = 0; b < blocks; ++b, text += 64) {
    BlockMasks m{};
    for (unsigned i = 0; i < 64; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      const std::uint64_t bit = std::uint64_t{1} << i;
      if (c == '"') m.quote |= bit;
      if (c == '\\') m.backslash |= bit;
      if (c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',') m.op |= bit;
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') m.space |= bit;
      if (c < 0x20) m.control |= bit;
      if (c >= 0x80) m.high |= bit;
    }
    if (m.high != 0) {
      for (unsigned i = 0; i < 64; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::uint64_t bit = std::uint64_t{1} << i;
        for (int k = 0; k < 7; ++k)
          if (c >= kBounds[k]) m.at_least[k] |= bit;
        for (int k = 0; k < 4; ++k)
          if (c == kLeads[k]) m.equal[k] |= bit;
      }
    }
    out[b] = m;
  }
}

using Classifier = void (*)(const char*, std::size_t, BlockMasks*) noexcept;

// Bit i of the result is the xor of bits 0..i of x.
inline std::uint64_t prefix_xor(std::uint64_t x) noexcept {
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
inline std::size_t count_bits(std::uint64_t x) noexcept {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<std::size_t>((x * 0x0101010101010101ULL) >> 56);
}

// The state carried from one block to the next.
struct Scanner {
  std::uint64_t escaped_next = 0;  // 1 when the block ended in an odd run of backslashes
  std::uint64_t in_string = 0;     // all ones when the block ended inside a string
  std::uint64_t other_last = 0;    // 1 when the block ended in a token byte (a number or word)
  // UTF-8: the leads of the block before (of 2, 3 or 4 bytes; of 3 or 4;
  // of 4; and the four leads that limit their second byte), for the bytes
  // they need in this block.
  std::uint64_t lead_any = 0;
  std::uint64_t lead_three = 0;
  std::uint64_t lead_four = 0;
  std::uint64_t lead_limits[4] = {0, 0, 0, 0};
  bool bad_string = false;
  bool bad_utf8 = false;

  // The token starts of the block at `base`, as bits.
  std::uint64_t tokens(const BlockMasks& m) noexcept {
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
    const std::uint64_t strings = prefix_xor(quote) ^ in_string;
    in_string = static_cast<std::uint64_t>(static_cast<std::int64_t>(strings) >> 63);
    if ((m.control & strings) != 0) bad_string = true;
    const std::uint64_t outside = ~strings;
    const std::uint64_t op = m.op & outside;
    const std::uint64_t other = outside & ~(op | (m.space & outside) | quote);
    const std::uint64_t other_starts = other & ~((other << 1) | other_last);
    other_last = other >> 63;

    if ((m.high | lead_any) != 0) check_utf8(m);
    // Both quotes of every string and every escape inside one are tokens
    // too: the second pass then never scans a string's bytes.
    const std::uint64_t escapes = m.backslash & strings & ~escaped;
    return op | quote | escapes | other_starts;
  }

  // Every byte of 0x80 to 0xBF is a continuation byte, and the text is UTF-8
  // exactly when the continuation bytes are the ones that the leads before
  // them call for: the byte after a lead of 2, 3 or 4 bytes, the second
  // byte after a lead of 3 or 4, the third after a lead of 4. No byte is
  // 0xC0, 0xC1 or above 0xF4, and the byte after E0, ED, F0 and F4 lies in
  // the narrower range that rules out overlong forms, surrogates and code
  // points past U+10FFFF. The calls of the block before reach into this one.
  void check_utf8(const BlockMasks& m) noexcept {
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
    if ((called ^ continuation) != 0 || forbidden != 0 || out_of_range != 0) bad_utf8 = true;
    lead_any = any;
    lead_three = three;
    lead_four = four;
    for (int i = 0; i < 4; ++i) lead_limits[i] = m.equal[i];
  }

  // At the end of the text: no lead may still call for bytes.
  void finish_utf8() noexcept {
    if ((lead_any >> 63 | lead_three >> 62 | lead_four >> 61) != 0) bad_utf8 = true;
  }

};

// A thread's spare index buffer, kept between parses up to a size.
struct SpareBuffer {
  std::uint32_t* data = nullptr;
  std::size_t capacity = 0;
  ~SpareBuffer() { std::free(data); }
};
thread_local SpareBuffer spare;
constexpr std::size_t kSpareLimit = std::size_t{1} << 20;  // positions

bool detect_avx2() noexcept {
#if KORVANE_JSON_X86
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

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
  const std::size_t size = text.size();
  if (size >= std::numeric_limits<std::uint32_t>::max()) return IndexOutcome::declined;
  if (path == IndexPath::best) path = avx2_available() ? IndexPath::avx2 : IndexPath::sse2;
#if KORVANE_JSON_X86
  const Classifier classify = path == IndexPath::avx2   ? classify_avx2
                              : path == IndexPath::sse2 ? classify_sse2
                                                        : classify_bytes;
#else
  const Classifier classify = classify_bytes;
#endif

  // A first guess of one token in eight bytes; grown as needed.
  size_ = 0;
  reserve(size / 8 + 128);
  Scanner scanner;
  constexpr std::size_t kBatch = 16;
  BlockMasks masks[kBatch];
  const std::size_t full_blocks = size / 64;
  std::size_t block = 0;
  auto take = [&](const BlockMasks& m, std::size_t base) {
    std::uint64_t found = scanner.tokens(m);
    if (capacity_ - size_ < 65) reserve(size_ + 65);
    std::uint32_t* out = positions_ + size_;
    const auto at = static_cast<std::uint32_t>(base);
    const std::size_t count = count_bits(found);
    // Writes in fours, past the count too (there is room): fewer branches.
    for (std::size_t i = 0; i < count; i += 4) {
      out[i] = at + static_cast<std::uint32_t>(std::countr_zero(found));
      found &= found - 1;
      out[i + 1] = at + static_cast<std::uint32_t>(std::countr_zero(found));
      found &= found - 1;
      out[i + 2] = at + static_cast<std::uint32_t>(std::countr_zero(found));
      found &= found - 1;
      out[i + 3] = at + static_cast<std::uint32_t>(std::countr_zero(found));
      found &= found - 1;
    }
    size_ += count;
  };
  while (block < full_blocks) {
    const std::size_t batch = std::min(kBatch, full_blocks - block);
    classify(text.data() + block * 64, batch, masks);
    for (std::size_t i = 0; i < batch; ++i) take(masks[i], (block + i) * 64);
    block += batch;
  }
  if (const std::size_t rest = size - full_blocks * 64; rest != 0) {
    // The last bytes padded with spaces, which never start a token.
    char padded[64];
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, text.data() + full_blocks * 64, rest);
    classify(padded, 1, masks);
    take(masks[0], full_blocks * 64);
  }
  scanner.finish_utf8();
  if (scanner.bad_string || scanner.in_string != 0) return IndexOutcome::rejected;
  if (scanner.bad_utf8) return IndexOutcome::declined;
  positions_[size_++] = static_cast<std::uint32_t>(size);
  return IndexOutcome::built;
}

}  // namespace korvane::json_detail
