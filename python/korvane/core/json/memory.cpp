#include "json/memory.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace korvane::json_detail {

namespace {

struct ChunkHeader {
  ChunkHeader(std::uint64_t count, std::size_t chunk_bytes) noexcept : live(count), bytes(chunk_bytes) {}
  std::atomic<std::uint64_t> live;
  std::size_t bytes;  // of the whole chunk, header included
};
static_assert(sizeof(ChunkHeader) == 16);

constexpr std::size_t kChunkHeader = sizeof(ChunkHeader);
constexpr std::uint64_t kOpenChunkBias = std::uint64_t{1} << 62;

// Spans of a whole number of full chunks (the full chunks themselves, and
// larger blocks: a big array's or object's elements, the parser's stacks of
// values) are mapped from the system rather than taken from the malloc heap.
// A block kept at a chance place in the heap stops the larger allocations
// around it from growing in place: the interpreter's buffer for a large
// json.dumps text, for one, then moves to fresh pages from the kernel on
// every call, faulting each of them in again.
std::size_t span_of(std::size_t bytes) noexcept { return (bytes + kFullChunk - 1) / kFullChunk * kFullChunk; }

char* map_span(std::size_t bytes) {
  void* span = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (span == MAP_FAILED) throw std::bad_alloc();
  return static_cast<char*>(span);
}

void unmap_span(char* span, std::size_t bytes) noexcept { ::munmap(span, bytes); }

// Empty spans kept for the next parse, which spares the system calls and the
// kernel's page faults when a large tree is freed and the next one is built:
// parsing the same kind of text again asks for the same sizes. One cache for
// the whole process, whatever its thread count: a thread that checked one
// large result and went idle keeps nothing of its own, and any thread may
// give back any span.
class SpanCache {
 public:
  // 64 MiB in all: the tree of a 20 MB text fits, so parsing such texts in
  // turn maps nothing new. What does not fit goes back to the system at once,
  // the larger spans kept longest first.
  static constexpr std::size_t kBudget = std::size_t{64} << 20;
  static constexpr std::size_t kLargeSpans = 32;

  // A kept span of exactly `bytes`, or null.
  char* take(std::size_t bytes) noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (bytes == kFullChunk) {
      if (chunks_ == nullptr) return nullptr;
      held_ -= bytes;
      return std::exchange(chunks_, next_of(chunks_));
    }
    for (std::size_t i = large_count_; i-- > 0;) {
      if (large_[i].bytes != bytes) continue;
      char* const span = large_[i].data;
      std::copy(large_.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                large_.begin() + static_cast<std::ptrdiff_t>(large_count_),
                large_.begin() + static_cast<std::ptrdiff_t>(i));
      --large_count_;
      held_ -= bytes;
      return span;
    }
    return nullptr;
  }

  // Keeps the span, or says no (the caller unmaps it).
  bool keep(char* span, std::size_t bytes) noexcept {
    Span evicted[kLargeSpans];
    std::size_t evictions = 0;
    bool kept = false;
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      if (bytes <= kBudget) {
        const bool large = bytes != kFullChunk;
        while (large_count_ > 0 && (held_ + bytes > kBudget || (large && large_count_ == kLargeSpans))) {
          evicted[evictions++] = large_[0];
          held_ -= large_[0].bytes;
          std::copy(large_.begin() + 1, large_.begin() + static_cast<std::ptrdiff_t>(large_count_), large_.begin());
          --large_count_;
        }
        if (held_ + bytes <= kBudget) {
          if (large) {
            large_[large_count_++] = {span, bytes};
          } else {
            std::memcpy(span, &chunks_, sizeof chunks_);
            chunks_ = span;
          }
          held_ += bytes;
          kept = true;
        }
      }
    }
    for (std::size_t i = 0; i < evictions; ++i) unmap_span(evicted[i].data, evicted[i].bytes);
    return kept;
  }

 private:
  struct Span {
    char* data;
    std::size_t bytes;
  };

  static char* next_of(char* chunk) noexcept {
    char* next = nullptr;
    std::memcpy(&next, chunk, sizeof next);
    return next;
  }

  std::mutex mutex_;
  char* chunks_ = nullptr;                 // full chunks, each holding the next's address
  std::array<Span, kLargeSpans> large_{};  // larger spans, the longest kept first
  std::size_t large_count_ = 0;
  std::size_t held_ = 0;  // bytes of all kept spans
};

// Never destroyed: a tree released during the process's exit still finds
// the cache, and the system takes the mappings back with the process. It
// lives in the module's own static storage, not in the malloc heap of
// whichever thread parsed first, where it would stay for good.
SpanCache& span_cache() noexcept {
  alignas(SpanCache) static unsigned char storage[sizeof(SpanCache)];
  static SpanCache* const cache = new (storage) SpanCache;
  return *cache;
}

std::atomic<std::size_t> g_spans_in_use{0};
std::atomic<std::size_t> g_spans_peak{0};

}  // namespace

char* new_chunk(std::size_t bytes) {
  if (bytes < kFullChunk) return static_cast<char*>(::operator new(bytes));
  const std::size_t span = span_of(bytes);
  char* kept = span_cache().take(span);
  if (kept == nullptr) kept = map_span(span);
  const std::size_t in_use = g_spans_in_use.fetch_add(span, std::memory_order_relaxed) + span;
  std::size_t peak = g_spans_peak.load(std::memory_order_relaxed);
  while (in_use > peak && !g_spans_peak.compare_exchange_weak(peak, in_use, std::memory_order_relaxed)) {
  }
  return kept;
}

void free_chunk(char* chunk, std::size_t bytes) noexcept {
  if (bytes < kFullChunk) {
    ::operator delete(chunk);
    return;
  }
  const std::size_t span = span_of(bytes);
  g_spans_in_use.fetch_sub(span, std::memory_order_relaxed);
  if (!span_cache().keep(chunk, span)) unmap_span(chunk, span);
}

std::size_t spans_in_use() noexcept { return g_spans_in_use.load(std::memory_order_relaxed); }

std::size_t take_spans_peak() noexcept {
  return g_spans_peak.exchange(g_spans_in_use.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void drop_references(char* chunk, std::uint64_t count) noexcept {
  auto* header = std::launder(reinterpret_cast<ChunkHeader*>(chunk));
  // Holding every remaining reference means no other thread can touch the
  // count any more, so the locked subtraction can be skipped.
  if (header->live.load(std::memory_order_acquire) == count ||
      header->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
    const std::size_t bytes = header->bytes;
    header->~ChunkHeader();
    free_chunk(chunk, bytes);
  }
}

Block allocate_single(std::size_t bytes) {
  // A chunk's size tells how it is freed: one of exactly the full size is
  // a full chunk.
  char* chunk = new_chunk(kChunkHeader + bytes);
  new (chunk) ChunkHeader(1, kChunkHeader + bytes);
  return {chunk + kChunkHeader, static_cast<std::uint32_t>(kChunkHeader)};
}

Block Arena::refill(std::size_t bytes) {
  // A block larger than a quarter of a small chunk gets a chunk of its own
  // (small chunks come from the heap, as does a block of its own below a
  // full chunk). In full chunks, which are spans, only blocks that do not
  // fit one do: a block of a large tree between a quarter and a whole full
  // chunk (a long string, a large array or object) would otherwise be a
  // heap allocation, in the malloc arena of the thread that parsed, which
  // keeps such memory after the thread has gone idle.
  const bool full = chunk_size_ == kFullChunk;
  if (full ? kChunkHeader + bytes > chunk_size_ : bytes > chunk_size_ / 4) return allocate_single(bytes);
  char* fresh = new_chunk(chunk_size_);
  new (fresh) ChunkHeader(kOpenChunkBias, chunk_size_);
  const Block block{fresh + kChunkHeader, static_cast<std::uint32_t>(kChunkHeader)};
  char* const fresh_next = block.data + bytes;
  // Of the open chunk and the fresh one, the one with more room stays open.
  if (end_ - next_ > fresh + chunk_size_ - fresh_next) {
    drop_references(fresh, kOpenChunkBias - 1);
    return block;
  }
  close();
  chunk_ = fresh;
  next_ = fresh_next;
  end_ = fresh + chunk_size_;
  handed_ = 1;
  return block;
}

void ByteBuffer::grow(std::size_t more) {
  std::size_t capacity = std::max({std::size_t{64}, capacity_ * 2, size_ + more});
  if (capacity >= kFullChunk) capacity = span_of(capacity);  // the whole span is usable
  char* grown = new_chunk(capacity);
  if (size_ != 0) std::memcpy(grown, data_, size_);
  if (data_ != nullptr) free_chunk(data_, capacity_);
  data_ = grown;
  capacity_ = capacity;
}

void Arena::close() noexcept {
  if (chunk_ == nullptr) return;
  drop_references(chunk_, kOpenChunkBias - handed_);
  chunk_ = next_ = end_ = nullptr;
}

}  // namespace korvane::json_detail
