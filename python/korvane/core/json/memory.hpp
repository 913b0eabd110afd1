// Where the JSON tree's heap blocks live.
//
// Every heap payload of the tree (long string, array, object) is a block
// inside a chunk: a chunk header followed by one or more blocks. The header
// counts the chunk's live blocks; the value owning a block keeps the block's
// offset from the chunk start, so releasing a block finds its chunk without
// any per-block header. A chunk still being filled by a parser carries a large
// bias in its count, removed when the parser moves on, so the count cannot
// reach zero while blocks are still being handed out.
//
// Internal to the JSON code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvane::json_detail {

struct Block {
  char* data;
  std::uint32_t offset;  // from the start of the chunk
};

// The size of the chunks a large parse carves its blocks from, and of the
// writer's output pieces; up to 64 MiB of empty ones (and of larger spans)
// are kept for reuse, in one cache for the whole process.
inline constexpr std::size_t kFullChunk = 64 * 1024;

// Gives up `count` references to the chunk; the last one frees it.
void drop_references(char* chunk, std::uint64_t count) noexcept;

inline void release_block(const void* data, std::uint32_t offset) noexcept {
  drop_references(const_cast<char*>(static_cast<const char*>(data)) - offset, 1);
}

// A chunk holding exactly one block.
Block allocate_single(std::size_t bytes);

// Memory of `bytes`, and its release, given the same size. Below
// kFullChunk it is plain heap memory. From kFullChunk on it is a span of
// whole chunks, taken from the process's cache of empty spans of that size
// or mapped from the system, and given back to that cache, or to the system
// when the cache is full; any thread may give back any span.
char* new_chunk(std::size_t bytes);
void free_chunk(char* chunk, std::size_t bytes) noexcept;

// Bytes of spans handed out and not yet given back, and the most there were
// since the last call of take_spans_peak (which starts the count afresh),
// for the figures of the benchmarks (the heap's part they count themselves).
std::size_t spans_in_use() noexcept;
std::size_t take_spans_peak() noexcept;

// Blocks of one parse, carved out of chunks of a fixed size (small for small
// texts). Blocks larger than a quarter of a small chunk, or than a full
// chunk, get a chunk of their own.
class Arena {
 public:
  explicit Arena(std::size_t text_size) noexcept
      : chunk_size_(std::clamp<std::size_t>(text_size * 2, 256, kFullChunk)) {}
  ~Arena() { close(); }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  Block allocate(std::size_t bytes) {
    bytes = (bytes + 7) & ~std::size_t{7};
    if (static_cast<std::size_t>(end_ - next_) < bytes) return refill(bytes);
    const Block block{next_, static_cast<std::uint32_t>(next_ - chunk_)};
    next_ += bytes;
    ++handed_;
    return block;
  }

 private:
  Block refill(std::size_t bytes);
  void close() noexcept;

  std::size_t chunk_size_;
  char* chunk_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::uint64_t handed_ = 0;
};

// A growable run of bytes for the working copies of one parse (a string
// with escapes while it is decoded): heap memory while small, a span of
// whole chunks once it reaches a full chunk, like every large allocation
// of the JSON code, so that none of them lands in (and stays with) the
// malloc arena of the thread that parsed.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() {
    if (data_ != nullptr) free_chunk(data_, capacity_);
  }

  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  void clear() noexcept { size_ = 0; }
  void push_back(char byte) {
    if (size_ == capacity_) grow(1);
    data_[size_++] = byte;
  }
  void append(const char* bytes, std::size_t count) {
    if (capacity_ - size_ < count) grow(count);
    if (count != 0) std::memcpy(data_ + size_, bytes, count);
    size_ += count;
  }

 private:
  void grow(std::size_t more);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Releases blocks, batching consecutive releases within one chunk into one
// update of its count (a tree is mostly released in the order it was built).
class Releaser {
 public:
  Releaser() = default;
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;
  ~Releaser() { flush(); }

  void release(const void* data, std::uint32_t offset) noexcept {
    char* chunk = const_cast<char*>(static_cast<const char*>(data)) - offset;
    if (chunk == chunk_) {
      ++count_;
      return;
    }
    flush();
    chunk_ = chunk;
    count_ = 1;
  }
  void flush() noexcept {
    if (chunk_ != nullptr) drop_references(chunk_, count_);
    chunk_ = nullptr;
  }

 private:
  char* chunk_ = nullptr;
  std::uint64_t count_ = 0;
};

}  // namespace korvane::json_detail
