// JSON value tree, strict parser and compact writer. See json_bridge.hpp for
// the shape of the tree.
#include "json_bridge.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane {

using json_detail::kShortCapacity;
using json_detail::StringRep;
using json_detail::Tag;

// ---------------------------------------------------------------------------
// Heap blocks
//
// Every heap payload of the tree (long string, array, object) is a block
// inside a chunk: a ChunkHeader followed by one or more blocks. The header
// counts the chunk's live blocks; the value owning a block keeps the block's
// offset from the chunk start, so releasing a block finds its chunk without
// any per-block header. A chunk still being filled by a parser carries a large
// bias in its count, removed when the parser moves on, so the count cannot
// reach zero while blocks are still being handed out.

namespace json_detail {

struct ChunkHeader {
  ChunkHeader(std::uint64_t count, std::size_t chunk_bytes) noexcept : live(count), bytes(chunk_bytes) {}
  std::atomic<std::uint64_t> live;
  std::size_t bytes;  // of the whole chunk, header included
};
static_assert(sizeof(ChunkHeader) == 16);

}  // namespace json_detail

namespace {

using json_detail::ChunkHeader;
constexpr std::size_t kChunkHeader = sizeof(ChunkHeader);
constexpr std::uint64_t kOpenChunkBias = std::uint64_t{1} << 62;

struct Block {
  char* data;
  std::uint32_t offset;  // from the start of the chunk
};

constexpr std::size_t kFullChunk = 64 * 1024;

// Each thread keeps a few empty full-size chunks for its next parse, which
// spares the allocator's bookkeeping and the kernel's page faults when a
// large tree is freed and the next one is built. Chunks are plain heap
// memory: one freed on another thread simply joins that thread's cache.
class ChunkCache {
 public:
  static constexpr std::size_t kLimit = 512;  // 32 MiB per thread

  ChunkCache() = default;
  ChunkCache(const ChunkCache&) = delete;
  ChunkCache& operator=(const ChunkCache&) = delete;
  ~ChunkCache() {
    closed_ = true;
    while (head_ != nullptr) ::operator delete(std::exchange(head_, next_of(head_)));
  }

  char* take() noexcept {
    if (head_ == nullptr) return nullptr;
    --count_;
    return std::exchange(head_, next_of(head_));
  }
  bool keep(char* chunk) noexcept {
    if (closed_ || count_ == kLimit) return false;
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

  char* head_ = nullptr;
  std::size_t count_ = 0;
  bool closed_ = false;  // the thread is ending: free instead of keeping
};

thread_local ChunkCache t_chunk_cache;

// Gives up `count` references to the chunk; the last one frees it.
void drop_references(char* chunk, std::uint64_t count) noexcept {
  auto* header = std::launder(reinterpret_cast<ChunkHeader*>(chunk));
  // Holding every remaining reference means no other thread can touch the
  // count any more, so the locked subtraction can be skipped.
  if (header->live.load(std::memory_order_acquire) == count ||
      header->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
    const std::size_t bytes = header->bytes;
    header->~ChunkHeader();
    if (bytes != kFullChunk || !t_chunk_cache.keep(chunk)) ::operator delete(chunk);
  }
}

void release_block(const void* data, std::uint32_t offset) noexcept {
  drop_references(const_cast<char*>(static_cast<const char*>(data)) - offset, 1);
}

// A chunk holding exactly one block.
Block allocate_single(std::size_t bytes) {
  char* chunk = static_cast<char*>(::operator new(kChunkHeader + bytes));
  new (chunk) ChunkHeader(1, kChunkHeader + bytes);
  return {chunk + kChunkHeader, static_cast<std::uint32_t>(kChunkHeader)};
}

// Blocks of one parse, carved out of chunks of a fixed size (small for small
// texts). Blocks larger than a quarter chunk get a chunk of their own.
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
  Block refill(std::size_t bytes) {
    if (bytes > chunk_size_ / 4) return allocate_single(bytes);
    close();
    chunk_ = chunk_size_ == kFullChunk ? t_chunk_cache.take() : nullptr;
    if (chunk_ == nullptr) chunk_ = static_cast<char*>(::operator new(chunk_size_));
    new (chunk_) ChunkHeader(kOpenChunkBias, chunk_size_);
    next_ = chunk_ + kChunkHeader;
    end_ = chunk_ + chunk_size_;
    handed_ = 0;
    return allocate(bytes);
  }

  void close() noexcept {
    if (chunk_ == nullptr) return;
    drop_references(chunk_, kOpenChunkBias - handed_);
    chunk_ = next_ = end_ = nullptr;
  }

  std::size_t chunk_size_;
  char* chunk_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::uint64_t handed_ = 0;
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

// ---------------------------------------------------------------------------
// Compact strings
//
// Up to 14 bytes live in the StringRep itself, zero padded. Longer texts live
// in a block: the length (a std::size_t) followed by the bytes.

constexpr std::size_t kOffsetAt = 2;   // short_bytes + 2 is byte 4 of the rep
constexpr std::size_t kPointerAt = 6;  // short_bytes + 6 is byte 8 of the rep
static_assert(offsetof(StringRep, short_bytes) + kPointerAt == 8);

char* long_block(const StringRep& rep) noexcept {
  char* block = nullptr;
  std::memcpy(&block, rep.short_bytes + kPointerAt, sizeof block);
  return block;
}

std::uint32_t long_offset(const StringRep& rep) noexcept {
  std::uint32_t offset = 0;
  std::memcpy(&offset, rep.short_bytes + kOffsetAt, sizeof offset);
  return offset;
}

std::string_view rep_view(const StringRep& rep) noexcept {
  if (rep.tag == Tag::short_string) return {rep.short_bytes, rep.short_size};
  const char* block = long_block(rep);
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  return {block + sizeof size, size};
}

StringRep empty_rep() noexcept {
  StringRep rep{};
  rep.tag = Tag::short_string;
  return rep;
}

StringRep short_rep(const char* bytes, std::size_t size) noexcept {
  StringRep rep{};
  rep.tag = Tag::short_string;
  rep.short_size = static_cast<unsigned char>(size);
  if (size != 0) std::memcpy(rep.short_bytes, bytes, size);
  return rep;
}

StringRep long_rep(Block block, const char* bytes, std::size_t size) noexcept {
  std::memcpy(block.data, &size, sizeof size);
  std::memcpy(block.data + sizeof size, bytes, size);
  StringRep rep{};
  rep.tag = Tag::long_string;
  std::memcpy(rep.short_bytes + kOffsetAt, &block.offset, sizeof block.offset);
  std::memcpy(rep.short_bytes + kPointerAt, &block.data, sizeof block.data);
  return rep;
}

StringRep make_rep(std::string_view text) {
  if (text.size() <= kShortCapacity) return short_rep(text.data(), text.size());
  return long_rep(allocate_single(sizeof(std::size_t) + text.size()), text.data(), text.size());
}

// The parser writes every 16-byte rep with one store of both words: smaller
// stores followed by a 16-byte copy of the same rep (which is what moving a
// value does) would defeat store forwarding.
void store_words(void* rep, std::uint64_t low, std::uint64_t high) noexcept {
#if defined(__SSE2__)
  _mm_storeu_si128(static_cast<__m128i*>(rep),
                   _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low)));
#else
  const std::uint64_t words[2] = {low, high};
  std::memcpy(rep, words, sizeof words);
#endif
}

void store_words(void* rep, const StringRep& text) noexcept {
  std::uint64_t words[2];
  std::memcpy(words, &text, sizeof words);
  store_words(rep, words[0], words[1]);
}

// Rep words of a block held by a value: the tag, the block's offset in its
// chunk in bytes 4..7, the block's address in bytes 8..15.
void store_block(void* rep, Tag tag, Block block, bool flat = false) noexcept {
  static_assert(std::endian::native == std::endian::little);
  store_words(rep,
              static_cast<std::uint64_t>(tag) | (std::uint64_t{flat} << 8) | (std::uint64_t{block.offset} << 32),
              reinterpret_cast<std::uintptr_t>(block.data));
}

// A text of up to 14 bytes that is followed by at least 16 readable bytes (in
// the text being parsed), zero padded in registers.
void store_short_from_text(void* rep, const char* bytes, std::size_t size) noexcept {
  static_assert(std::endian::native == std::endian::little);
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  std::memcpy(&low, bytes, sizeof low);
  std::memcpy(&high, bytes + 8, sizeof high);
  // Rep bytes 0..1 are the tag and the size; the text starts at byte 2.
  const std::size_t kept = size + 2;  // 2..16 rep bytes worth keeping
  std::uint64_t first = static_cast<std::uint64_t>(Tag::short_string) | (std::uint64_t{size} << 8) | (low << 16);
  std::uint64_t second = (low >> 48) | (high << 16);
  if (kept < 8) first &= (std::uint64_t{1} << (8 * kept)) - 1;
  if (kept <= 8) {
    second = 0;
  } else if (kept < 16) {
    second &= (std::uint64_t{1} << (8 * (kept - 8))) - 1;
  }
  store_words(rep, first, second);
}

// A text of the parse into `rep`: in place when short, else in an arena block.
void store_text(void* rep, Arena& arena, const char* bytes, std::size_t size, const char* text_end) {
  if (size > kShortCapacity) {
    const Block block = arena.allocate(sizeof(std::size_t) + size);
    std::memcpy(block.data, &size, sizeof size);
    std::memcpy(block.data + sizeof size, bytes, size);
    store_block(rep, Tag::long_string, block);
  } else if (text_end - bytes >= 16) {
    store_short_from_text(rep, bytes, size);
  } else {
    store_words(rep, short_rep(bytes, size));
  }
}

void free_rep(StringRep& rep) noexcept {
  if (rep.tag == Tag::long_string) release_block(long_block(rep), long_offset(rep));
  rep = empty_rep();
}

inline std::uint64_t big_endian_word(const char* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  return word;
}

// Key order (unsigned bytes, a prefix first). Two short texts compare as their
// zero-padded bytes and then by length, which is the same order.
[[gnu::noinline]] bool rep_less_as_text(const StringRep& a, const StringRep& b) noexcept {
  return rep_view(a) < rep_view(b);
}

[[gnu::noinline]] bool rep_equal_as_text(const StringRep& a, const StringRep& b) noexcept {
  return rep_view(a) == rep_view(b);
}

inline bool rep_less(const StringRep& a, const StringRep& b) noexcept {
  if (a.tag == Tag::short_string && b.tag == Tag::short_string) {
    const std::uint64_t a_high = big_endian_word(a.short_bytes);
    const std::uint64_t b_high = big_endian_word(b.short_bytes);
    if (a_high != b_high) return a_high < b_high;
    const std::uint64_t a_low = big_endian_word(a.short_bytes + 6);
    const std::uint64_t b_low = big_endian_word(b.short_bytes + 6);
    if (a_low != b_low) return a_low < b_low;
    return a.short_size < b.short_size;
  }
  return rep_less_as_text(a, b);
}

inline bool rep_equal(const StringRep& a, const StringRep& b) noexcept {
  if (a.tag == Tag::short_string && b.tag == Tag::short_string) {
    std::uint64_t a_words[2];
    std::uint64_t b_words[2];
    std::memcpy(a_words, &a, sizeof a_words);
    std::memcpy(b_words, &b, sizeof b_words);
    return ((a_words[0] ^ b_words[0]) | (a_words[1] ^ b_words[1])) == 0;
  }
  return rep_equal_as_text(a, b);
}

}  // namespace

JsonString::JsonString() noexcept : rep_{Tag::short_string, 0, {}} {}
JsonString::JsonString(std::string_view text) : rep_(make_rep(text)) {}
JsonString::JsonString(const JsonString& other) : rep_(make_rep(other.view())) {}
JsonString& JsonString::operator=(const JsonString& other) {
  if (this != &other) {
    StringRep copy = make_rep(other.view());
    free_rep(rep_);
    rep_ = copy;
  }
  return *this;
}

void JsonString::release_long() noexcept { free_rep(rep_); }

std::string_view JsonString::view() const noexcept { return rep_view(rep_); }

// ---------------------------------------------------------------------------
// Numbers

JsonNumber JsonNumber::from_unsigned(std::uint64_t value) noexcept {
  JsonNumber n;
  n.tag_ = Tag::unsigned_integer;
  n.unsigned_ = value;
  return n;
}

JsonNumber JsonNumber::from_signed(std::int64_t value) noexcept {
  JsonNumber n;
  n.tag_ = Tag::signed_integer;
  n.signed_ = value;
  return n;
}

JsonNumber JsonNumber::from_double(double value) noexcept {
  JsonNumber n;
  n.tag_ = Tag::floating;
  n.double_ = value;
  return n;
}

JsonNumber::Kind JsonNumber::kind() const noexcept {
  switch (tag_) {
    case Tag::signed_integer:
      return Kind::signed_integer;
    case Tag::floating:
      return Kind::floating;
    default:
      return Kind::unsigned_integer;
  }
}

std::uint64_t JsonNumber::as_unsigned() const noexcept {
  return tag_ == Tag::unsigned_integer ? unsigned_ : 0;
}

std::int64_t JsonNumber::as_signed() const noexcept {
  return tag_ == Tag::signed_integer ? signed_ : 0;
}

double JsonNumber::as_double() const noexcept {
  switch (tag_) {
    case Tag::signed_integer:
      return static_cast<double>(signed_);
    case Tag::floating:
      return double_;
    default:
      return static_cast<double>(unsigned_);
  }
}

bool operator==(const JsonNumber& a, const JsonNumber& b) noexcept {
  if (a.tag_ != b.tag_) return false;
  switch (a.tag_) {
    case Tag::signed_integer:
      return a.signed_ == b.signed_;
    case Tag::floating:
      return std::bit_cast<std::uint64_t>(a.double_) == std::bit_cast<std::uint64_t>(b.double_);
    default:
      return a.unsigned_ == b.unsigned_;
  }
}

// ---------------------------------------------------------------------------
// Container blocks and releasing

namespace {

// Size of an object's block before its trailing members.
constexpr std::size_t kObjectHeader =
    (sizeof(JsonObject) + alignof(JsonMember) - 1) / alignof(JsonMember) * alignof(JsonMember);

bool is_container(Tag tag) noexcept { return tag == Tag::array || tag == Tag::object; }

// Levels freed by plain recursion before switching to an explicit stack.
constexpr int kReleaseRecursionBudget = 64;

}  // namespace

namespace json_detail {

// The parser's and the releaser's access to the private parts of the tree.
struct Access {
  static Tag tag(const JsonValue& value) noexcept { return value.rep_.head.tag; }
  static const StringRep& rep(const JsonString& text) noexcept { return text.rep_; }
  static void* pointer(const JsonValue& value) noexcept { return value.rep_.pointer.pointer; }
  static void* raw(JsonValue& value) noexcept { return &value.rep_; }
  static void* raw(JsonString& text) noexcept { return &text.rep_; }
  static std::uint32_t offset(const JsonValue& value) noexcept { return value.rep_.pointer.offset; }

  static JsonValue adopt(Tag tag, Block block) noexcept {
    JsonValue value;
    value.rep_.pointer = {tag, false, block.offset, block.data};
    return value;
  }
  // An object block of its own holding `source` (copied or moved).
  template <class Source>
  static JsonValue make_object(Source&& source) {
    const Block block = allocate_single(sizeof(JsonObject));
    try {
      new (block.data) JsonObject(std::forward<Source>(source));
    } catch (...) {
      release_block(block.data, block.offset);
      throw;
    }
    return adopt(Tag::object, block);
  }

  // An object block with room for `count` members after the header; the
  // members are filled in by the caller.
  static JsonObject* start_object(Block block, std::size_t count) noexcept {
    auto* object = new (block.data) JsonObject();
    object->members_ = reinterpret_cast<JsonMember*>(block.data + kObjectHeader);
    object->size_ = static_cast<std::uint32_t>(count);  // checked by the caller
    return object;
  }
  static void set_size(JsonObject& object, std::size_t size) noexcept {
    object.size_ = static_cast<std::uint32_t>(size);
  }
  static JsonMember* members(JsonObject& object) noexcept { return object.members_; }

  static JsonArray* start_array(Block block, std::size_t count) noexcept {
    auto* array = new (block.data) JsonArray();
    array->size_ = count;
    return array;
  }

  // A copy of `source` in an array block of its own.
  template <class Iterator>
  static JsonValue make_array(Iterator first, std::size_t count, bool move) {
    const Block block = allocate_single(sizeof(JsonArray) + count * sizeof(JsonValue));
    JsonArray* array = start_array(block, 0);
    try {
      for (JsonValue* slot = array->data(); array->size_ != count; ++slot, ++first, ++array->size_) {
        if (move) {
          new (slot) JsonValue(std::move(*first));
        } else {
          new (slot) JsonValue(*first);
        }
      }
    } catch (...) {
      std::destroy_n(array->data(), array->size_);
      release_block(block.data, block.offset);
      throw;
    }
    return adopt(Tag::array, block);
  }

  // Frees the payload of `value` (leaving its tag as it is). Nested
  // containers are freed by recursion while `budget` lasts and then through
  // an explicit stack, so a tree of any depth uses bounded native stack.
  static void release(JsonValue& value, int budget, Releaser& releaser) noexcept {
    switch (value.tag()) {
      case Tag::long_string:
        releaser.release(long_block(value.rep_.string), long_offset(value.rep_.string));
        break;
      case Tag::array: {
        auto* array = static_cast<JsonArray*>(pointer(value));
        if (!value.rep_.pointer.flat)
          for (JsonValue& element : *array) release_child(element, budget, releaser);
        releaser.release(array, offset(value));
        break;
      }
      case Tag::object: {
        auto* object = static_cast<JsonObject*>(pointer(value));
        if (!value.rep_.pointer.flat) {
          for (JsonMember* m = object->members_; m != object->members_ + object->size_; ++m) {
            if (m->key.rep_.tag == Tag::long_string)
              releaser.release(long_block(m->key.rep_), long_offset(m->key.rep_));
            release_child(m->value, budget, releaser);
          }
        }
        // The members were released one by one above; only a separate member
        // array (of an object built by hand) is left.
        if (!object->trailing() && object->members_ != nullptr) ::operator delete(object->members_);
        releaser.release(object, offset(value));
        break;
      }
      default:
        break;
    }
  }

  static void release_child(JsonValue& child, int budget, Releaser& releaser) noexcept {
    if (child.tag() < Tag::long_string) return;
    if (!is_container(child.tag()) || budget > 0) {
      release(child, budget - 1, releaser);
      return;
    }
    // Deep end of the tree: continue with a heap stack of containers still
    // to be released. On allocation failure the subtree is leaked rather than
    // risking the native stack.
    std::vector<JsonValue> pending;
    try {
      pending.reserve(64);
    } catch (...) {
      return;
    }
    pending.push_back(std::move(child));
    while (!pending.empty()) {
      JsonValue current = std::move(pending.back());
      pending.pop_back();
      auto detach = [&](JsonValue& nested) {
        if (!is_container(nested.tag())) {
          release(nested, 0, releaser);
          nested.rep_.head.tag = Tag::null;
          return;
        }
        try {
          pending.push_back(std::move(nested));
        } catch (...) {
          nested.rep_.head.tag = Tag::null;  // leaked, see above
        }
      };
      if (auto* array = current.as_array()) {
        for (JsonValue& element : *array) detach(element);
      } else if (auto* object = current.as_object()) {
        for (JsonMember* m = object->members_; m != object->members_ + object->size_; ++m) detach(m->value);
      }
      // `current` now holds no nested payload; releasing it is shallow.
      release(current, 0, releaser);
      current.rep_.head.tag = Tag::null;
    }
  }
};

}  // namespace json_detail

using json_detail::Access;

// ---------------------------------------------------------------------------
// Values

JsonValue::JsonValue() noexcept = default;

JsonValue::JsonValue(const JsonValue& other) {
  switch (other.tag()) {
    case Tag::short_string:
    case Tag::long_string:
      rep_.string = make_rep(rep_view(other.rep_.string));
      break;
    case Tag::array: {
      const JsonArray& elements = *other.as_array();
      *this = Access::make_array(elements.begin(), elements.size(), false);
      break;
    }
    case Tag::object:
      *this = Access::make_object(*other.as_object());
      break;
    default:
      rep_ = other.rep_;
      break;
  }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

void JsonValue::release_payload() noexcept {
  Releaser releaser;
  Access::release(*this, kReleaseRecursionBudget, releaser);
  rep_.head.tag = Tag::null;
}

JsonValue JsonValue::boolean(bool value) noexcept {
  JsonValue v;
  v.rep_.boolean = {Tag::boolean, value};
  return v;
}

JsonValue JsonValue::number(JsonNumber value) noexcept {
  JsonValue v;
  v.rep_.number = value;
  return v;
}

JsonValue JsonValue::string(std::string_view text) {
  JsonValue v;
  v.rep_.string = make_rep(text);
  return v;
}

JsonValue JsonValue::string(JsonString text) noexcept {
  JsonValue v;
  v.rep_.string = text.rep_;
  text.rep_ = empty_rep();
  return v;
}

JsonValue JsonValue::array(std::vector<JsonValue> elements) {
  return Access::make_array(elements.begin(), elements.size(), true);
}

JsonValue JsonValue::object(JsonObject members) { return Access::make_object(std::move(members)); }

JsonValue::Kind JsonValue::kind() const noexcept {
  switch (tag()) {
    case Tag::null:
      return Kind::null;
    case Tag::boolean:
      return Kind::boolean;
    case Tag::unsigned_integer:
    case Tag::signed_integer:
    case Tag::floating:
      return Kind::number;
    case Tag::short_string:
    case Tag::long_string:
      return Kind::string;
    case Tag::array:
      return Kind::array;
    case Tag::object:
      return Kind::object;
  }
  return Kind::null;
}

bool JsonValue::as_bool() const noexcept { return tag() == Tag::boolean && rep_.boolean.value; }

const JsonNumber* JsonValue::as_number() const noexcept {
  return is_number() ? &rep_.number : nullptr;
}

std::optional<std::string_view> JsonValue::as_string() const noexcept {
  if (!is_string()) return std::nullopt;
  return rep_view(rep_.string);
}

const JsonArray* JsonValue::as_array() const noexcept {
  return tag() == Tag::array ? static_cast<const JsonArray*>(rep_.pointer.pointer) : nullptr;
}

JsonArray* JsonValue::as_array() noexcept {
  if (tag() != Tag::array) return nullptr;
  rep_.pointer.flat = false;  // the caller may put values with blocks in
  return static_cast<JsonArray*>(rep_.pointer.pointer);
}

bool operator==(const JsonArray& a, const JsonArray& b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

const JsonObject* JsonValue::as_object() const noexcept {
  return tag() == Tag::object ? static_cast<const JsonObject*>(rep_.pointer.pointer) : nullptr;
}

JsonObject* JsonValue::as_object() noexcept {
  if (tag() != Tag::object) return nullptr;
  rep_.pointer.flat = false;  // the caller may put values with blocks in
  return static_cast<JsonObject*>(rep_.pointer.pointer);
}

bool operator==(const JsonValue& a, const JsonValue& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case JsonValue::Kind::null:
      return true;
    case JsonValue::Kind::boolean:
      return a.as_bool() == b.as_bool();
    case JsonValue::Kind::number:
      return *a.as_number() == *b.as_number();
    case JsonValue::Kind::string:
      return *a.as_string() == *b.as_string();
    case JsonValue::Kind::array:
      return *a.as_array() == *b.as_array();
    case JsonValue::Kind::object:
      return *a.as_object() == *b.as_object();
  }
  return false;
}

// ---------------------------------------------------------------------------
// Objects

namespace {

bool key_less(const JsonMember& a, const JsonMember& b) noexcept {
  return rep_less(Access::rep(a.key), Access::rep(b.key));
}

bool key_equal(const JsonMember& a, const JsonMember& b) noexcept {
  return rep_equal(Access::rep(a.key), Access::rep(b.key));
}

JsonMember* allocate_members(std::size_t count) {
  return static_cast<JsonMember*>(::operator new(count * sizeof(JsonMember)));
}

const JsonMember* lower_bound_key(const JsonMember* first, const JsonMember* last,
                                  std::string_view key) noexcept {
  return std::lower_bound(first, last, key,
                          [](const JsonMember& m, std::string_view k) { return m.key.view() < k; });
}

// Sorts [first, last) stably by key and keeps the last member of each run of
// equal keys; returns the end of the kept members.
JsonMember* order_members(JsonMember* first, JsonMember* last) {
  const std::size_t count = static_cast<std::size_t>(last - first);
  bool repeated = false;  // some key occurs more than once
  if (count <= 24) {
    // Insertion sort, stable; on members already in order it is one
    // comparison each. A repeated key always ends next to its equal, and the
    // insertion stops right there, which is where repeats are noticed.
    // Members are shifted as raw bytes: they hold no pointers into
    // themselves, and each ends up in exactly one place.
    static_assert(offsetof(JsonMember, key) == 0);
    for (std::size_t i = 1; i < count; ++i) {
      const StringRep& key = Access::rep(first[i].key);
      if (!rep_less(key, Access::rep(first[i - 1].key))) {
        repeated = repeated || rep_equal(key, Access::rep(first[i - 1].key));
        continue;
      }
      alignas(JsonMember) unsigned char moving[sizeof(JsonMember)];
      std::memcpy(moving, static_cast<void*>(first + i), sizeof moving);
      StringRep moving_key;
      std::memcpy(&moving_key, moving, sizeof moving_key);
      std::size_t j = i;
      do {
        std::memcpy(static_cast<void*>(first + j), static_cast<const void*>(first + j - 1), sizeof(JsonMember));
        --j;
      } while (j > 0 && rep_less(moving_key, Access::rep(first[j - 1].key)));
      std::memcpy(static_cast<void*>(first + j), moving, sizeof moving);
      repeated = repeated || (j > 0 && rep_equal(moving_key, Access::rep(first[j - 1].key)));
    }
  } else {
    bool ascending = true;
    for (std::size_t i = 1; i < count && ascending; ++i) ascending = key_less(first[i - 1], first[i]);
    if (ascending) return last;
    std::stable_sort(first, last, key_less);
    repeated = true;
  }
  if (!repeated) return last;
  JsonMember* kept = first;
  for (JsonMember* m = first; m != last; ++m) {
    if (m + 1 != last && key_equal(m[1], *m)) continue;
    if (kept != m) *kept = std::move(*m);
    ++kept;
  }
  return kept;
}

}  // namespace

JsonObject::JsonObject(const JsonObject& other) {
  if (other.size_ == 0) return;
  members_ = allocate_members(other.size_);
  try {
    std::uninitialized_copy(other.begin(), other.end(), members_);
  } catch (...) {
    ::operator delete(members_);
    throw;
  }
  size_ = capacity_ = other.size_;
}

JsonObject::JsonObject(JsonObject&& other) noexcept { *this = std::move(other); }

JsonObject& JsonObject::operator=(const JsonObject& other) {
  if (this != &other) *this = JsonObject(other);
  return *this;
}

JsonObject& JsonObject::operator=(JsonObject&& other) noexcept {
  if (this == &other) return *this;
  this->~JsonObject();
  members_ = nullptr;
  size_ = capacity_ = 0;
  if (other.trailing()) {
    // The members live in the other object's block: they have to move out.
    if (other.size_ != 0) {
      members_ = allocate_members(other.size_);
      std::uninitialized_move(other.begin(), other.end(), members_);
      std::destroy_n(other.members_, other.size_);
      size_ = capacity_ = other.size_;
    }
  } else {
    members_ = other.members_;
    size_ = other.size_;
    capacity_ = other.capacity_;
  }
  other.members_ = nullptr;
  other.size_ = other.capacity_ = 0;
  return *this;
}

JsonObject::~JsonObject() {
  std::destroy_n(members_, size_);
  if (!trailing() && members_ != nullptr) ::operator delete(members_);
}

void JsonObject::insert_or_assign(std::string_view key, JsonValue value) {
  const auto index = static_cast<std::size_t>(lower_bound_key(begin(), end(), key) - begin());
  if (index != size_ && members_[index].key.view() == key) {
    members_[index].value = std::move(value);
    return;
  }
  JsonMember added{JsonString(key), std::move(value)};
  if (size_ >= capacity_) {  // full, or the members fill the object's own block
    if (size_ == std::numeric_limits<std::uint32_t>::max()) throw std::length_error("JSON object too large");
    const std::uint32_t capacity = static_cast<std::uint32_t>(
        std::min<std::size_t>(std::max<std::size_t>(4, std::size_t{size_} * 2), std::numeric_limits<std::uint32_t>::max()));
    JsonMember* grown = allocate_members(capacity);
    std::uninitialized_move(members_, members_ + index, grown);
    new (grown + index) JsonMember(std::move(added));
    std::uninitialized_move(members_ + index, members_ + size_, grown + index + 1);
    std::destroy_n(members_, size_);
    if (!trailing() && members_ != nullptr) ::operator delete(members_);
    members_ = grown;
    capacity_ = capacity;
  } else if (index == size_) {
    new (members_ + size_) JsonMember(std::move(added));
  } else {
    new (members_ + size_) JsonMember(std::move(members_[size_ - 1]));
    std::move_backward(members_ + index, members_ + size_ - 1, members_ + size_);
    members_[index] = std::move(added);
  }
  ++size_;
}

const JsonValue* JsonObject::find(std::string_view key) const noexcept {
  const JsonMember* at = lower_bound_key(begin(), end(), key);
  if (at == end() || at->key.view() != key) return nullptr;
  return &at->value;
}

JsonValue* JsonObject::find(std::string_view key) noexcept {
  return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

bool operator==(const JsonObject& a, const JsonObject& b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const JsonMember& x, const JsonMember& y) {
                      return x.key == y.key && x.value == y.value;
                    });
}

JsonObject JsonObject::from_unordered(std::vector<JsonMember> members) {
  JsonMember* const kept = order_members(members.data(), members.data() + members.size());
  const auto count = static_cast<std::size_t>(kept - members.data());
  JsonObject object;
  if (count != 0) {
    object.members_ = allocate_members(count);
    std::uninitialized_move(members.data(), kept, object.members_);
    if (count > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("JSON object too large");
    object.size_ = object.capacity_ = static_cast<std::uint32_t>(count);
  }
  return object;
}

const JsonValue* get_member(const JsonObject& object, std::string_view key) noexcept {
  return object.find(key);
}

std::optional<std::string> get_string_member(const JsonObject& object, std::string_view key) {
  const JsonValue* value = object.find(key);
  if (value == nullptr) return std::nullopt;
  if (auto text = value->as_string()) return std::string(*text);
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Byte scanning shared by the parser and the writer

namespace {

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
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)), control);
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

}  // namespace

// ---------------------------------------------------------------------------
// Parser

namespace {

constexpr int kNestingBudget = 128;

struct Failure {
  const char* description;
  std::size_t offset;  // byte at which the failure was found
  bool at_end;         // the text ended where more was due
};

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The first byte in [p, end) that is not an ASCII digit, or end.
inline const char* digits_end(const char* p, const char* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t zeros = 0x3030303030303030ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      // A digit becomes 0..9; adding 0x76 sets the high bit of every other
      // value (carries only ever reach bytes after the first non-digit).
      const std::uint64_t x = word ^ zeros;
      const std::uint64_t other = ((x + 0x7676767676767676ULL) | x) & highs;
      if (other != 0) return p + std::countr_zero(other) / 8;
      p += 8;
    }
  }
  while (p < end && is_digit(*p)) ++p;
  return p;
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  char bytes[4];
  std::size_t n;
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    n = 1;
  } else if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 2;
  } else if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

// Decimal exponent of the leading digit of a grammatically valid number, used
// only to tell overflow from underflow; saturates far beyond any double.
std::int64_t leading_digit_exponent(const char* first, const char* last) noexcept {
  const char* p = first;
  if (*p == '-') ++p;
  std::int64_t position = 0;  // exponent of the next digit read, relative to the point
  const char* int_start = p;
  while (p < last && is_digit(*p)) ++p;
  position = p - int_start - 1;
  std::int64_t leading = std::numeric_limits<std::int64_t>::min();
  for (const char* q = int_start; q < p; ++q, --position) {
    if (*q != '0') {
      leading = position;
      break;
    }
  }
  if (p < last && *p == '.') {
    ++p;
    std::int64_t frac_position = -1;
    for (; p < last && is_digit(*p); ++p, --frac_position) {
      if (*p != '0' && leading == std::numeric_limits<std::int64_t>::min()) leading = frac_position;
    }
  }
  std::int64_t exponent = 0;
  if (p < last && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    while (p < last && *p == '0') ++p;
    constexpr std::int64_t cap = std::int64_t{1} << 40;
    if (last - p > 12) {
      exponent = cap;
    } else {
      std::from_chars(p, last, exponent);
    }
    if (negative) exponent = -exponent;
  }
  if (leading == std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return leading + exponent;
}

// A stack of values that are moved into their final block as raw bytes: the
// tree types hold no pointers into themselves, so a bitwise copy followed by
// forgetting the source is a move.
template <class T>
class RelocatingStack {
 public:
  RelocatingStack() = default;
  RelocatingStack(const RelocatingStack&) = delete;
  RelocatingStack& operator=(const RelocatingStack&) = delete;
  ~RelocatingStack() {
    std::destroy_n(data_, size_);
    ::operator delete(data_);
  }

  std::size_t size() const noexcept { return size_; }
  void push(T&& item) {
    if (size_ == capacity_) grow();
    new (data_ + size_) T(std::move(item));
    ++size_;
  }
  // A default-constructed item on top; valid until the next push.
  T& push_default() {
    if (size_ == capacity_) grow();
    T* item = new (data_ + size_) T();
    ++size_;
    return *item;
  }
  T& operator[](std::size_t index) noexcept { return data_[index]; }
  // Hands the items from `start` on over to the uninitialised `target`.
  void relocate_from(std::size_t start, T* target) noexcept {
    if (size_ != start) std::memcpy(static_cast<void*>(target), static_cast<const void*>(data_ + start), (size_ - start) * sizeof(T));
    size_ = start;
  }

 private:
  void grow() {
    const std::size_t capacity = std::max<std::size_t>(64, capacity_ * 2);
    T* grown = static_cast<T*>(::operator new(capacity * sizeof(T)));
    if (size_ != 0) std::memcpy(static_cast<void*>(grown), static_cast<const void*>(data_), size_ * sizeof(T));
    ::operator delete(data_);
    data_ = grown;
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

class Parser {
 public:
  Parser(std::string_view text, int kept_depth)
      : begin_(text.data()),
        p_(text.data()),
        end_(text.data() + text.size()),
        kept_depth_(kept_depth),
        arena_(text.size()) {}

  bool parse_document(JsonValue& out) {
    if (!parse_value(out)) return false;
    skip_whitespace();
    if (p_ != end_) return fail_at("trailing characters", p_);
    return true;
  }

  const Failure& failure() const noexcept { return failure_; }

 private:
  bool fail_at(const char* description, const char* where) noexcept {
    failure_ = {description, static_cast<std::size_t>(where - begin_), false};
    return false;
  }
  bool fail_at_end(const char* description) noexcept {
    failure_ = {description, static_cast<std::size_t>(end_ - begin_), true};
    return false;
  }

  void skip_whitespace() noexcept {
    const char* p = p_;
    while (p < end_) {
      const auto c = static_cast<unsigned char>(*p);
      if (c > ' ' || (c != ' ' && c != '\n' && c != '\r' && c != '\t')) break;
      ++p;
    }
    p_ = p;
  }

  bool parse_value(JsonValue& out) {
    skip_whitespace();
    if (p_ == end_) return fail_at_end("EOF while parsing a value");
    return parse_here(out);
  }

  // At the first byte of a value (not whitespace, not the end).
  bool parse_here(JsonValue& out) {
    switch (*p_) {
      case '{':
        return parse_object(&out);
      case '[':
        return parse_array(&out);
      case '"': {
        return parse_string(Access::raw(out));
      }
      case 't':
        if (!parse_literal("true")) return false;
        store_words(Access::raw(out), static_cast<std::uint64_t>(Tag::boolean) | (1U << 8), 0);
        return true;
      case 'f':
        if (!parse_literal("false")) return false;
        store_words(Access::raw(out), static_cast<std::uint64_t>(Tag::boolean), 0);
        return true;
      case 'n':
        if (!parse_literal("null")) return false;
        store_words(Access::raw(out), static_cast<std::uint64_t>(Tag::null), 0);
        return true;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return parse_number_quickly(out);
      default:
        return fail_at("expected value", p_);
    }
  }

  // At the first byte of a value that is not kept: the same checks as
  // parse_here, and nothing stored.
  bool check_here() {
    switch (*p_) {
      case '{':
        return parse_object(nullptr);
      case '[':
        return parse_array(nullptr);
      case '"':
        return parse_string(nullptr);
      case 't':
        return parse_literal("true");
      case 'f':
        return parse_literal("false");
      case 'n':
        return parse_literal("null");
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return check_number();
      default:
        return fail_at("expected value", p_);
    }
  }

  bool parse_literal(std::string_view word) noexcept {
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (p_ + i == end_) return fail_at_end("EOF while parsing a value");
      if (p_[i] != word[i]) return fail_at("expected ident", p_ + i);
    }
    p_ += word.size();
    return true;
  }

  bool enter(const char* bracket) noexcept {
    if (--depth_budget_ == 0) return fail_at("recursion limit exceeded", bracket);
    return true;
  }

  // Inside enter(): whether the content of the container just entered is
  // kept. The top-level value is level 1; values below the kept depth are
  // only checked, and a container at that depth is stored empty.
  bool keeps_content(const JsonValue* out) const noexcept {
    return out != nullptr && kNestingBudget - depth_budget_ < kept_depth_;
  }

  // Stores the array in `out`, or only checks it when `out` is null.
  bool parse_array(JsonValue* out) {
    if (!enter(p_)) return false;
    const bool keep = keeps_content(out);
    ++p_;
    skip_whitespace();
    if (p_ == end_) return fail_at_end("EOF while parsing a list");
    const std::size_t start = elements_.size();
    bool flat = true;  // no element holds a block
    if (*p_ != ']') {
      for (;;) {
        // At the element: whitespace was skipped and the end ruled out.
        const char first = *p_;
        if (!keep) {
          if (!check_here()) return false;
        } else if (first == '[' || first == '{') {
          // Nested elements go on the same stack, so this one is pushed after.
          JsonValue element;
          if (!(first == '[' ? parse_array(&element) : parse_object(&element))) return false;
          elements_.push(std::move(element));
          flat = false;
        } else {
          JsonValue& element = elements_.push_default();
          if (!parse_here(element)) return false;
          if (first == '"') flat = flat && Access::tag(element) == Tag::short_string;
        }
        // The common separator, "," or ", " before the next element, taken at once.
        if (end_ - p_ >= 3 && p_[0] == ',') {
          const char* next = p_ + 1 + (p_[1] == ' ');
          if (static_cast<unsigned char>(*next) > ' ' && *next != ']') {
            p_ = next;
            continue;
          }
        }
        skip_whitespace();
        if (p_ == end_) return fail_at_end("EOF while parsing a list");
        if (*p_ == ']') break;
        if (*p_ != ',') return fail_at("expected `,` or `]`", p_);
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_at_end("EOF while parsing a value");
        if (*p_ == ']') return fail_at("trailing comma", p_);
      }
    }
    ++p_;
    ++depth_budget_;
    if (out == nullptr) return true;
    const std::size_t count = elements_.size() - start;  // 0 when not kept
    const Block block = arena_.allocate(sizeof(JsonArray) + count * sizeof(JsonValue));
    JsonArray* array = Access::start_array(block, count);
    elements_.relocate_from(start, array->data());
    store_block(Access::raw(*out), Tag::array, block, flat);
    return true;
  }

  // Stores the object in `out`, or only checks it when `out` is null.
  bool parse_object(JsonValue* out) {
    if (!enter(p_)) return false;
    const bool keep = keeps_content(out);
    ++p_;
    skip_whitespace();
    if (p_ == end_) return fail_at_end("EOF while parsing an object");
    const std::size_t start = members_.size();
    bool flat = true;  // no key or value holds a block
    if (*p_ != '}') {
      for (;;) {
        if (*p_ != '"') return fail_at("key must be a string", p_);
        const std::size_t index = members_.size();
        if (!keep) {
          if (!parse_string(nullptr)) return false;
        } else {
          if (!parse_string(Access::raw(members_.push_default().key))) return false;
          flat = flat && Access::rep(members_[index].key).tag == Tag::short_string;
        }
        skip_whitespace();
        if (p_ == end_) return fail_at_end("EOF while parsing an object");
        if (*p_ != ':') return fail_at("expected `:`", p_);
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_at_end("EOF while parsing a value");
        const char first = *p_;
        if (!keep) {
          if (!check_here()) return false;
        } else if (first == '[' || first == '{') {
          // Nested members go on the same stack: the value is placed after.
          JsonValue value;
          if (!(first == '[' ? parse_array(&value) : parse_object(&value))) return false;
          members_[index].value = std::move(value);
          flat = false;
        } else {
          JsonValue& value = members_[index].value;
          if (!parse_here(value)) return false;
          if (first == '"') flat = flat && Access::tag(value) == Tag::short_string;
        }
        skip_whitespace();
        if (p_ == end_) return fail_at_end("EOF while parsing an object");
        if (*p_ == '}') break;
        if (*p_ != ',') return fail_at("expected `,` or `}`", p_);
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_at_end("EOF while parsing a value");
        if (*p_ == '}') return fail_at("trailing comma", p_);
      }
    }
    ++p_;
    ++depth_budget_;
    if (out == nullptr) return true;
    const std::size_t count = members_.size() - start;  // 0 when not kept
    if (count > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("JSON object too large");
    const Block block = arena_.allocate(kObjectHeader + count * sizeof(JsonMember));
    JsonObject* object = Access::start_object(block, count);
    JsonMember* const first = Access::members(*object);
    members_.relocate_from(start, first);
    store_block(Access::raw(*out), Tag::object, block, flat);
    JsonMember* const kept = order_members(first, first + count);
    // Past the kept members are emptied ones and earlier repeats of a key.
    std::destroy(kept, first + count);
    Access::set_size(*object, static_cast<std::size_t>(kept - first));
    return true;
  }

  // At the opening quote. Bytes of 0x80 and above are copied unchecked.
  // Writes the rep of the text to `out`, unless `out` is null.
  bool parse_string(void* out) {
    ++p_;
    const char* run = p_;
    const char* special = find_string_special(p_, end_);
    if (special == end_) return fail_at_end("EOF while parsing a string");
    if (*special == '"') {
      if (out != nullptr) store_text(out, arena_, run, static_cast<std::size_t>(special - run), end_);
      p_ = special + 1;
      return true;
    }
    scratch_.clear();
    for (;;) {
      scratch_.append(run, static_cast<std::size_t>(special - run));
      p_ = special;
      if (*p_ == '"') break;
      if (*p_ != '\\') return fail_at("control character (\\u0000-\\u001F) found while parsing a string", p_);
      if (!parse_escape()) return false;
      run = p_;
      special = find_string_special(p_, end_);
      if (special == end_) return fail_at_end("EOF while parsing a string");
    }
    ++p_;
    if (out != nullptr) store_text(out, arena_, scratch_.data(), scratch_.size(), scratch_.data() + scratch_.size());
    return true;
  }

  // At a backslash; appends the escaped character to scratch_.
  bool parse_escape() {
    if (p_ + 1 == end_) return fail_at_end("EOF while parsing a string");
    const char letter = p_[1];
    char plain;
    switch (letter) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u': {
        p_ += 2;
        std::uint32_t unit = 0;
        if (!parse_hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF)
          return fail_at("lone leading surrogate in hex escape", p_ - 1);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          if (p_ == end_) return fail_at_end("EOF while parsing a string");
          if (*p_ != '\\') return fail_at("unexpected end of hex escape", p_);
          if (p_ + 1 == end_) return fail_at_end("EOF while parsing a string");
          if (p_[1] != 'u') return fail_at("unexpected end of hex escape", p_ + 1);
          p_ += 2;
          std::uint32_t trail = 0;
          if (!parse_hex4(trail)) return false;
          if (trail < 0xDC00 || trail > 0xDFFF)
            return fail_at("lone leading surrogate in hex escape", p_ - 1);
          unit = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
        }
        append_utf8(scratch_, unit);
        return true;
      }
      default:
        return fail_at("invalid escape", p_ + 1);
    }
    scratch_.push_back(plain);
    p_ += 2;
    return true;
  }

  bool parse_hex4(std::uint32_t& unit) noexcept {
    for (int i = 0; i < 4; ++i, ++p_) {
      if (p_ == end_) return fail_at_end("EOF while parsing a string");
      const int digit = hex_value(*p_);
      if (digit < 0) return fail_at("invalid escape", p_);
      unit = (unit << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  // At the first of one or more digits: the end of the digits, or nullptr
  // after recording the failure.
  const char* skip_digits(const char* p) noexcept {
    if (p == end_) {
      fail_at_end("invalid number");
      return nullptr;
    }
    if (!is_digit(*p)) {
      fail_at("invalid number", p);
      return nullptr;
    }
    return digits_end(p + 1, end_);
  }

  static void store_number(JsonValue& out, Tag tag, std::uint64_t bits) noexcept {
    store_words(Access::raw(out), static_cast<std::uint64_t>(tag), bits);
  }

  // At '-' or a digit. The usual forms are converted by from_chars straight
  // from the text, with the JSON grammar checked around what it took: the
  // integer digits are scanned here (no leading zero), a '.' must have a digit
  // after it, and no exponent mark may follow (from_chars stops before an 'e'
  // without exponent digits). Anything else goes to parse_number, which
  // checks every byte and reports the error.
  bool parse_number_quickly(JsonValue& out) {
    const char* const first = p_;
    const char* digits = first;
    if (*digits == '-') ++digits;
    if (digits == end_ || !is_digit(*digits)) return parse_number(out);
    const char* const integer_end = digits_end(digits + 1, end_);
    if (*digits == '0' && integer_end - digits > 1) return parse_number(out);
    const char next = integer_end < end_ ? *integer_end : '\0';
    if (next != '.' && next != 'e' && next != 'E') {
      if (first != digits) {
        std::int64_t value = 0;
        if (integer_end - digits == 1 && *digits == '0') return parse_number(out);  // -0 is a double
        if (std::from_chars(first, integer_end, value).ec != std::errc()) return parse_number(out);
        store_number(out, Tag::signed_integer, static_cast<std::uint64_t>(value));
      } else {
        std::uint64_t value = 0;
        if (std::from_chars(first, integer_end, value).ec != std::errc()) return parse_number(out);
        store_number(out, Tag::unsigned_integer, value);
      }
      p_ = integer_end;
      return true;
    }
    if (next == '.' && (integer_end + 1 == end_ || !is_digit(integer_end[1]))) return parse_number(out);
    double value = 0;
    const auto result = std::from_chars(first, end_, value);
    if (result.ec != std::errc()) return parse_number(out);
    // from_chars takes every digit, and stops where the grammar stops too,
    // except before an exponent mark without exponent digits.
    if (result.ptr < end_ && (*result.ptr == 'e' || *result.ptr == 'E')) return parse_number(out);
    store_number(out, Tag::floating, std::bit_cast<std::uint64_t>(value));
    p_ = result.ptr;
    return true;
  }

  struct NumberSpan {
    const char* last;  // null when the grammar check failed
    bool fraction;
    bool exponent;
  };

  // At '-' or a digit: checks the number's grammar, leaving p_ where it is.
  NumberSpan scan_number() noexcept {
    NumberSpan span{nullptr, false, false};
    const char* p = p_;
    if (*p == '-') ++p;
    if (p == end_) {
      fail_at_end("invalid number");
      return span;
    }
    if (*p == '0') {
      ++p;
      if (p < end_ && is_digit(*p)) {
        fail_at("invalid number", p);
        return span;
      }
    } else if ((p = skip_digits(p)) == nullptr) {
      return span;
    }
    if (p < end_ && *p == '.') {
      span.fraction = true;
      if ((p = skip_digits(p + 1)) == nullptr) return span;
    }
    if (p < end_ && (*p == 'e' || *p == 'E')) {
      ++p;
      span.exponent = true;
      if (p < end_ && (*p == '+' || *p == '-')) ++p;
      if ((p = skip_digits(p)) == nullptr) return span;
    }
    span.last = p;
    return span;
  }

  // At '-' or a digit of a number that is not kept. Only a number with an
  // exponent or more than 308 integer digits can exceed the largest double
  // (about 1.8e308); only such a number is converted, to find "number out of
  // range" exactly as a kept one would.
  bool check_number() {
    const NumberSpan span = scan_number();
    if (span.last == nullptr) return false;
    if (span.exponent || span.last - p_ > 308) {
      JsonValue ignored;
      return parse_number(ignored);
    }
    p_ = span.last;
    return true;
  }

  // At '-' or a digit. The grammar is checked here; from_chars then converts
  // exactly the span that was checked.
  [[gnu::noinline]] bool parse_number(JsonValue& out) {
    const char* const first = p_;
    const bool negative = *first == '-';
    const NumberSpan span = scan_number();
    if (span.last == nullptr) return false;
    const char* const last = span.last;
    p_ = last;

    if (!span.fraction && !span.exponent) {
      if (negative) {
        if (last - first == 2 && first[1] == '0') {
          store_number(out, Tag::floating, std::bit_cast<std::uint64_t>(-0.0));
          return true;
        }
        std::int64_t value = 0;
        if (std::from_chars(first, last, value).ec == std::errc()) {
          store_number(out, Tag::signed_integer, static_cast<std::uint64_t>(value));
          return true;
        }
      } else {
        std::uint64_t value = 0;
        if (std::from_chars(first, last, value).ec == std::errc()) {
          store_number(out, Tag::unsigned_integer, value);
          return true;
        }
      }
    }
    double value = 0;
    const auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
      // from_chars reports both overflow and underflow; underflow is zero.
      if (leading_digit_exponent(first, last) >= 0) return fail_at("number out of range", last - 1);
      value = negative ? -0.0 : 0.0;
    } else if (result.ec != std::errc() || result.ptr != last) {
      return fail_at("invalid number", first);  // not reached for a checked span
    }
    store_number(out, Tag::floating, std::bit_cast<std::uint64_t>(value));
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_budget_ = kNestingBudget;
  int kept_depth_;  // levels of values kept, see keeps_content
  Failure failure_{};
  // Declared first among the owners of blocks, so destroyed last.
  Arena arena_;
  RelocatingStack<JsonValue> elements_;  // elements of the arrays being parsed
  RelocatingStack<JsonMember> members_;  // members of the objects being parsed
  std::string scratch_;                  // a string with escapes, being decoded
};

JsonParseError locate(std::string_view text, const Failure& failure) {
  const std::string_view before = text.substr(0, failure.offset);
  const std::size_t newlines = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  std::size_t column = failure.offset - line_start;
  if (!failure.at_end) ++column;
  return JsonParseError{failure.description, newlines + 1, column};
}

}  // namespace

std::string JsonParseError::to_string() const {
  char line_digits[24];
  char column_digits[24];
  const auto line_end = std::to_chars(line_digits, line_digits + sizeof line_digits, line).ptr;
  const auto column_end = std::to_chars(column_digits, column_digits + sizeof column_digits, column).ptr;
  std::string text = description;
  text += " at line ";
  text.append(line_digits, line_end);
  text += " column ";
  text.append(column_digits, column_end);
  return text;
}

Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text) {
  return parse_json_text(text, kNestingBudget);
}

Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text, std::size_t kept_depth) {
  // No container lies deeper than kNestingBudget - 1, so that many levels or
  // more keep everything.
  Parser parser(text, static_cast<int>(std::clamp<std::size_t>(kept_depth, 1, kNestingBudget)));
  JsonValue root;
  if (!parser.parse_document(root)) return unexpected(locate(text, parser.failure()));
  return root;
}

// ---------------------------------------------------------------------------
// Writer

namespace {

// For each byte: 0 when copied as it is, otherwise the letter after the
// backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// The writer's output: 64 KiB pieces (from the thread's chunk cache) filled
// through a cursor, joined into the caller's string at the end with one
// allocation of the exact size. Growing one string instead would copy the
// text again at every doubling and touch (zero) memory it never uses.
class Pieces {
 public:
  struct Room {
    char* cursor;
    char* limit;
  };

  Pieces() = default;
  Pieces(const Pieces&) = delete;
  Pieces& operator=(const Pieces&) = delete;
  ~Pieces() {
    for (const Piece& piece : pieces_) give_back(piece);
  }

  // Ends the current piece at `cursor` and starts one with room for `need`.
  Room next(char* cursor, std::size_t need) {
    if (!pieces_.empty()) pieces_.back().size = static_cast<std::size_t>(cursor - pieces_.back().data);
    pieces_.reserve(pieces_.size() + 1);
    Piece piece{nullptr, 0, std::max(need, kFullChunk)};
    if (piece.capacity == kFullChunk) piece.data = t_chunk_cache.take();
    if (piece.data == nullptr) piece.data = static_cast<char*>(::operator new(piece.capacity));
    pieces_.push_back(piece);
    return {piece.data, piece.data + piece.capacity};
  }

  void finish(char* cursor, std::string& out) {
    if (pieces_.empty()) return;
    pieces_.back().size = static_cast<std::size_t>(cursor - pieces_.back().data);
    std::size_t total = out.size();
    for (const Piece& piece : pieces_) total += piece.size;
    out.reserve(total);
    for (const Piece& piece : pieces_) out.append(piece.data, piece.size);
  }

 private:
  struct Piece {
    char* data;
    std::size_t size;
    std::size_t capacity;
  };

  static void give_back(const Piece& piece) noexcept {
    if (piece.capacity != kFullChunk || !t_chunk_cache.keep(piece.data)) ::operator delete(piece.data);
  }

  std::vector<Piece> pieces_;
};

// The longest text of one number: to_chars of a double needs at most 24
// bytes, an integer at most 20; the writer may add ".0".
constexpr std::size_t kNumberRoom = 32;

// Writes through a cursor into the current piece; every write first makes
// sure of room for its whole item, so the copies themselves are unchecked.
class Writer {
 public:
  explicit Writer(Pieces& pieces) : pieces_(pieces) {}

  void ensure(std::size_t need) {
    if (static_cast<std::size_t>(room_.limit - room_.cursor) < need) room_ = pieces_.next(room_.cursor, need);
  }
  void put_unchecked(char c) noexcept { *room_.cursor++ = c; }
  void put_unchecked(const char* bytes, std::size_t n) noexcept {
    std::memcpy(room_.cursor, bytes, n);
    room_.cursor += n;
  }
  void put(char c) {
    ensure(1);
    put_unchecked(c);
  }
  // Bytes of any length, split across pieces when needed.
  void put(const char* bytes, std::size_t n) {
    while (static_cast<std::size_t>(room_.limit - room_.cursor) < n) {
      const auto fits = static_cast<std::size_t>(room_.limit - room_.cursor);
      put_unchecked(bytes, fits);
      bytes += fits;
      n -= fits;
      room_ = pieces_.next(room_.cursor, std::min(n, kFullChunk));
    }
    put_unchecked(bytes, n);
  }

  void string(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    ensure(text.size() + 2);  // enough unless there are escapes
    put_unchecked('"');
    for (;;) {
      const char* special = find_string_special(p, end);
      put(p, static_cast<std::size_t>(special - p));
      if (special == end) break;
      const auto byte = static_cast<unsigned char>(*special);
      const char letter = kEscapes[byte];
      ensure(6);
      if (letter == 'u') {
        constexpr char hex[] = "0123456789abcdef";
        const char escape[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
        put_unchecked(escape, sizeof escape);
      } else {
        const char escape[2] = {'\\', letter};
        put_unchecked(escape, sizeof escape);
      }
      p = special + 1;
    }
    put('"');
  }

  void number(const JsonNumber& number) {
    ensure(kNumberRoom);
    char* const first = room_.cursor;
    char* const limit = first + kNumberRoom;
    switch (number.kind()) {
      case JsonNumber::Kind::unsigned_integer:
        room_.cursor = std::to_chars(first, limit, number.as_unsigned()).ptr;
        break;
      case JsonNumber::Kind::signed_integer:
        room_.cursor = std::to_chars(first, limit, number.as_signed()).ptr;
        break;
      case JsonNumber::Kind::floating: {
        const double value = number.as_double();
        if (!std::isfinite(value)) {
          put_unchecked("null", 4);
          break;
        }
        char* end = std::to_chars(first, limit - 2, value).ptr;
        // Shortest digits may read as an integer ("100", "-0"): make the text
        // read back as a double.
        if (std::find_if(first, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
          *end++ = '.';
          *end++ = '0';
        }
        room_.cursor = end;
        break;
      }
    }
  }

  void scalar(const JsonValue& value) {
    switch (value.kind()) {
      case JsonValue::Kind::null:
        ensure(4);
        put_unchecked("null", 4);
        break;
      case JsonValue::Kind::boolean:
        ensure(5);
        if (value.as_bool()) {
          put_unchecked("true", 4);
        } else {
          put_unchecked("false", 5);
        }
        break;
      case JsonValue::Kind::number:
        number(*value.as_number());
        break;
      case JsonValue::Kind::string:
        string(*value.as_string());
        break;
      default:
        break;
    }
  }

  char* cursor() const noexcept { return room_.cursor; }

 private:
  Pieces& pieces_;
  Pieces::Room room_{nullptr, nullptr};
};

// One open array or object of the writer's explicit stack.
struct WriteFrame {
  const JsonValue* element = nullptr;  // next element, for arrays
  const JsonValue* elements_end = nullptr;
  JsonObject::const_iterator member{};  // next member, for objects
  JsonObject::const_iterator members_end{};
  bool is_object = false;
  bool first = true;
};

}  // namespace

void write_json_text(const JsonValue& root, std::string& text) {
  Pieces pieces;
  Writer out(pieces);
  // An explicit stack keeps hand-built trees of any depth off the native stack.
  std::vector<WriteFrame> stack;
  const JsonValue* next = &root;
  for (;;) {
    if (next != nullptr) {
      if (const auto* elements = next->as_array()) {
        out.put('[');
        WriteFrame frame;
        frame.element = elements->begin();
        frame.elements_end = elements->end();
        stack.push_back(frame);
      } else if (const auto* object = next->as_object()) {
        out.put('{');
        WriteFrame frame;
        frame.member = object->begin();
        frame.members_end = object->end();
        frame.is_object = true;
        stack.push_back(frame);
      } else {
        out.scalar(*next);
      }
      next = nullptr;
    }
    if (stack.empty()) break;
    WriteFrame& top = stack.back();
    if (top.is_object) {
      if (top.member == top.members_end) {
        out.put('}');
        stack.pop_back();
        continue;
      }
      if (!top.first) out.put(',');
      top.first = false;
      out.string(top.member->key.view());
      out.put(':');
      next = &top.member->value;
      ++top.member;
    } else {
      if (top.element == top.elements_end) {
        out.put(']');
        stack.pop_back();
        continue;
      }
      if (!top.first) out.put(',');
      top.first = false;
      next = top.element;
      ++top.element;
    }
  }
  pieces.finish(out.cursor(), text);
}

std::string write_json_text(const JsonValue& value) {
  std::string out;
  out.reserve(128);
  write_json_text(value, out);
  return out;
}

}  // namespace korvane
