// How the JSON tree sits in memory, for the code that builds and releases
// it: the compact string representation, the blocks of arrays and objects,
// and the private access of the parser and the releaser to the tree types.
//
// Internal to the JSON code.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/memory.hpp"
#include "json/value.hpp"

namespace korvane::json_detail {

// ---------------------------------------------------------------------------
// Compact strings
//
// Up to 14 bytes live in the StringRep itself, zero padded. Longer texts live
// in a block: the length (a std::size_t) followed by the bytes.

inline constexpr std::size_t kOffsetAt = 2;   // short_bytes + 2 is byte 4 of the rep
inline constexpr std::size_t kPointerAt = 6;  // short_bytes + 6 is byte 8 of the rep
static_assert(offsetof(StringRep, short_bytes) + kPointerAt == 8);

inline char* long_block(const StringRep& rep) noexcept {
  char* block = nullptr;
  std::memcpy(&block, rep.short_bytes + kPointerAt, sizeof block);
  return block;
}

inline std::uint32_t long_offset(const StringRep& rep) noexcept {
  std::uint32_t offset = 0;
  std::memcpy(&offset, rep.short_bytes + kOffsetAt, sizeof offset);
  return offset;
}

inline std::string_view rep_view(const StringRep& rep) noexcept {
  if (rep.tag == Tag::short_string) return {rep.short_bytes, rep.short_size};
  const char* block = long_block(rep);
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  return {block + sizeof size, size};
}

inline StringRep empty_rep() noexcept {
  StringRep rep{};
  rep.tag = Tag::short_string;
  return rep;
}

inline StringRep short_rep(const char* bytes, std::size_t size) noexcept {
  StringRep rep{};
  rep.tag = Tag::short_string;
  rep.short_size = static_cast<unsigned char>(size);
  if (size != 0) std::memcpy(rep.short_bytes, bytes, size);
  return rep;
}

inline StringRep long_rep(Block block, const char* bytes, std::size_t size) noexcept {
  std::memcpy(block.data, &size, sizeof size);
  std::memcpy(block.data + sizeof size, bytes, size);
  StringRep rep{};
  rep.tag = Tag::long_string;
  std::memcpy(rep.short_bytes + kOffsetAt, &block.offset, sizeof block.offset);
  std::memcpy(rep.short_bytes + kPointerAt, &block.data, sizeof block.data);
  return rep;
}

inline StringRep make_rep(std::string_view text) {
  if (text.size() <= kShortCapacity) return short_rep(text.data(), text.size());
  return long_rep(allocate_single(sizeof(std::size_t) + text.size()), text.data(), text.size());
}

// The parser writes every 16-byte rep with one store of both words: smaller
// stores followed by a 16-byte copy of the same rep (which is what moving a
// value does) would defeat store forwarding.
inline void store_words(void* rep, std::uint64_t low, std::uint64_t high) noexcept {
#if defined(__SSE2__)
  _mm_storeu_si128(static_cast<__m128i*>(rep),
                   _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low)));
#else
  const std::uint64_t words[2] = {low, high};
  std::memcpy(rep, words, sizeof words);
#endif
}

inline void store_words(void* rep, const StringRep& text) noexcept {
  std::uint64_t words[2];
  std::memcpy(words, &text, sizeof words);
  store_words(rep, words[0], words[1]);
}

// Rep words of a block held by a value: the tag, the block's offset in its
// chunk in bytes 4..7, the block's address in bytes 8..15.
inline void store_block(void* rep, Tag tag, Block block, bool flat = false) noexcept {
  static_assert(std::endian::native == std::endian::little);
  store_words(rep, static_cast<std::uint64_t>(tag) | (std::uint64_t{flat} << 8) | (std::uint64_t{block.offset} << 32),
              reinterpret_cast<std::uintptr_t>(block.data));
}

// A text of up to 14 bytes that is followed by at least 16 readable bytes (in
// the text being parsed), zero padded in registers.
inline void store_short_from_text(void* rep, const char* bytes, std::size_t size) noexcept {
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
inline void store_text(void* rep, Arena& arena, const char* bytes, std::size_t size, const char* text_end) {
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

inline void free_rep(StringRep& rep) noexcept {
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
[[gnu::noinline]] inline bool rep_less_as_text(const StringRep& a, const StringRep& b) noexcept {
  return rep_view(a) < rep_view(b);
}

[[gnu::noinline]] inline bool rep_equal_as_text(const StringRep& a, const StringRep& b) noexcept {
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

// ---------------------------------------------------------------------------
// Container blocks

// Size of an object's block before its trailing members.
inline constexpr std::size_t kObjectHeader =
    (sizeof(JsonObject) + alignof(JsonMember) - 1) / alignof(JsonMember) * alignof(JsonMember);

inline bool is_container(Tag tag) noexcept { return tag == Tag::array || tag == Tag::object; }

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
  static void release(JsonValue& value, int budget, Releaser& releaser) noexcept;
  static void release_child(JsonValue& child, int budget, Releaser& releaser) noexcept;
};

}  // namespace korvane::json_detail
