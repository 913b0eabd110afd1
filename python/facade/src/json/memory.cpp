#include "json/memory.hpp"

#include <sys/mman.h>

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

// Full-size chunks are mapped from the system one by one rather than taken
// from the malloc heap. The cache below keeps some of them, and a block kept at a chance place in the heap stops the larger
// allocations around it from growing in place: the interpreter's buffer for
// a large json.dumps text, for one, then moves to fresh pages from the
// kernel on every call, faulting each of them in again.
char* map_full_chunk() {
  void* chunk = ::mmap(nullptr, kFullChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (chunk == MAP_FAILED) throw std::bad_alloc();
  return static_cast<char*>(chunk);
}

void unmap_full_chunk(char* chunk) noexcept { ::munmap(chunk, kFullChunk); }

// Empty full-size chunks kept for the next parse, which spares the system
// calls and the kernel's page faults when a large tree is freed and the next
// one is built. One cache for the whole process, whatever its thread count:
// a thread that checked one large result and went idle keeps nothing of its
// own, and any thread may give back any chunk.
class ChunkCache {
 public:
  // 64 MiB in all: the tree of a 20 MB text fits, so parsing such texts in
  // turn maps no new chunks. A chunk past the limit goes back to the system
  // at once.
  static constexpr std::size_t kLimit = 1024;

  char* take() noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (head_ == nullptr) return nullptr;
    --count_;
    return std::exchange(head_, next_of(head_));
  }
  bool keep(char* chunk) noexcept {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (count_ == kLimit) return false;
    std::memcpy(chunk, &head_, sizeof head_);
    head_ = chunk;
    ++count_;
    return true;
  }

 private:
  static char* next_of(char* chunk) noexcept {
    char* next = nullptr;
    std::memcpy(&next, chunk, sizeof next);
    return next;
  }

  std::mutex mutex_;
  char* head_ = nullptr;
  std::size_t count_ = 0;
};

// Never destroyed: a tree released during the process's exit still finds
// the cache, and the system takes the mappings back with the process.
ChunkCache& chunk_cache() noexcept {
  static ChunkCache* const cache = new ChunkCache;
  return *cache;
}

}  // namespace

char* new_chunk(std::size_t bytes) {
  if (bytes != kFullChunk) return static_cast<char*>(::operator new(bytes));
  char* chunk = chunk_cache().take();
  return chunk != nullptr ? chunk : map_full_chunk();
}

void free_chunk(char* chunk, std::size_t bytes) noexcept {
  if (bytes != kFullChunk) {
    ::operator delete(chunk);
  } else if (!chunk_cache().keep(chunk)) {
    unmap_full_chunk(chunk);
  }
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
  if (bytes > chunk_size_ / 4) return allocate_single(bytes);
  close();
  chunk_ = new_chunk(chunk_size_);
  new (chunk_) ChunkHeader(kOpenChunkBias, chunk_size_);
  next_ = chunk_ + kChunkHeader;
  end_ = chunk_ + chunk_size_;
  handed_ = 0;
  return allocate(bytes);
}

void Arena::close() noexcept {
  if (chunk_ == nullptr) return;
  drop_references(chunk_, kOpenChunkBias - handed_);
  chunk_ = next_ = end_ = nullptr;
}

}  // namespace korvane::json_detail
