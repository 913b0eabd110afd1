// The first pass of the indexed parser: in blocks of 64 bytes it finds the
// structural characters outside strings, both quotes of every string and the
// backslashes that start escapes inside them, and the first byte of every
// other token (numbers, literals, stray bytes), and
// checks that no string holds a raw control byte, that every string closes
// and that the text is valid UTF-8.
//
// Internal to the JSON code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvane::json_detail {

// Which instructions classify the bytes: the best the processor has, or one
// forced (tests and benchmarks run each). `bytes` is the plain loop that
// processors other than x86 always use.
enum class IndexPath : std::uint8_t { best, sse2, avx2, bytes };

// Whether this processor runs the AVX2 path: AVX2 with BMI, popcnt and the
// carry-less multiply. Asked for where it does not, the index takes SSE2.
bool avx2_available() noexcept;

enum class IndexOutcome : std::uint8_t {
  built,
  // A string holds a control byte or never closes: the text is not JSON,
  // and the one-pass parser finds the exact error.
  rejected,
  // The text is not valid UTF-8 (or is 4 GiB or more): it goes to the
  // one-pass parser, which takes bytes of 0x80 and above as they are.
  declined,
};

// The token positions of one text: all at once (`build`), or a window of
// blocks at a time (`start`, then `fill` whenever the positions end in
// kRefill), which keeps the positions of a large text in the cache while
// the second pass reads them. The last positions end with the text's size
// as a sentinel. The buffer is reused by the next index built on the same
// thread.
class TokenIndex {
 public:
  // Ends the positions of a window while more of the text remains; never a
  // position, as texts of 4 GiB or more are declined.
  static constexpr std::uint32_t kRefill = 0xFFFFFFFF;

  TokenIndex() = default;
  ~TokenIndex();
  TokenIndex(const TokenIndex&) = delete;
  TokenIndex& operator=(const TokenIndex&) = delete;

  // The whole text at once.
  IndexOutcome build(std::string_view text, IndexPath path);

  // Windows of blocks. `fill` replaces the positions with the next window's
  // and gives `built` while nothing is wrong so far; `rejected` as soon as a
  // string holds a control byte or, at the end, one never closes;
  // `declined` once the text shows itself not UTF-8 (or is too large).
  void start(std::string_view text, IndexPath path) noexcept;
  IndexOutcome fill(std::size_t blocks);

  const std::uint32_t* positions() const noexcept { return positions_; }
  std::size_t size() const noexcept { return size_; }

 private:
  friend struct IndexWriter;
  void reserve(std::size_t capacity);

  std::uint32_t* positions_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::string_view text_;
  IndexPath path_ = IndexPath::bytes;
  std::size_t next_block_ = 0;
  // What the scan carries from one window to the next, laid out by each
  // path's loop; all zero bytes at the start.
  alignas(32) unsigned char carried_[192] = {};
};

}  // namespace korvane::json_detail
