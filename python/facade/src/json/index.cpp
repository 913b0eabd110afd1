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

#include <emmintrin.h>
#include <immintrin.h>

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
};

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

// The length of the valid UTF-8 sequence at p (a byte of 0x80 or above), or
// 0 when it is not one.
inline std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned lead = p[0];
  std::size_t length;
  unsigned low = 0x80;
  unsigned high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < length) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return length;
}

// The state carried from one block to the next.
struct Scanner {
  std::uint64_t escaped_next = 0;  // 1 when the block ended in an odd run of backslashes
  std::uint64_t in_string = 0;     // all ones when the block ended inside a string
  std::uint64_t other_last = 0;    // 1 when the block ended in a token byte (a number or word)
  std::size_t utf8_checked = 0;    // bytes before this were checked as UTF-8
  bool bad_string = false;
  bool bad_utf8 = false;

  // The token starts of the block at `base`, as bits.
  std::uint64_t tokens(const BlockMasks& m, const unsigned char* text, std::size_t base, std::size_t size) noexcept {
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

    if (m.high != 0) check_utf8(m.high, text, base, size);
    return op | (quote & strings) | other_starts;
  }

  void check_utf8(std::uint64_t high, const unsigned char* text, std::size_t base, std::size_t size) noexcept {
    while (high != 0) {
      const std::size_t at = base + static_cast<std::size_t>(std::countr_zero(high));
      high &= high - 1;
      if (at < utf8_checked) continue;
      const std::size_t length = utf8_sequence(text + at, text + size);
      if (length == 0) {
        bad_utf8 = true;
        return;
      }
      utf8_checked = at + length;
    }
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
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
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
  const Classifier classify = path == IndexPath::avx2 ? classify_avx2 : classify_sse2;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());

  // A first guess of one token in eight bytes; grown as needed.
  size_ = 0;
  reserve(size / 8 + 128);
  Scanner scanner;
  constexpr std::size_t kBatch = 16;
  BlockMasks masks[kBatch];
  const std::size_t full_blocks = size / 64;
  std::size_t block = 0;
  auto take = [&](const BlockMasks& m, std::size_t base) {
    std::uint64_t found = scanner.tokens(m, bytes, base, size);
    if (capacity_ - size_ < 65) reserve(size_ + 65);
    std::uint32_t* out = positions_ + size_;
    const auto at = static_cast<std::uint32_t>(base);
    const auto count = static_cast<std::size_t>(std::popcount(found));
    // Writes in fours past the count (there is room): fewer branches.
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
  if (scanner.bad_string || scanner.in_string != 0) return IndexOutcome::rejected;
  if (scanner.bad_utf8) return IndexOutcome::declined;
  positions_[size_++] = static_cast<std::uint32_t>(size);
  return IndexOutcome::built;
}

}  // namespace korvane::json_detail
