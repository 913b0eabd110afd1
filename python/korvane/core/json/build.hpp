// Pieces shared by the JSON parsers: building the tree's blocks (the stack
// of values moved into their final block, the ordering of object members),
// UTF-8 encoding of escapes and the overflow test of numbers.
//
// Internal to the JSON code.
#pragma once

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>

#include "json/layout.hpp"
#include "json/memory.hpp"
#include "json/scan.hpp"

namespace korvane::json_detail {

// Arrays and objects open at once stay below this.
inline constexpr int kNestingBudget = 128;

// How deep a parse keeps values: `limit()` is the level (the top value being
// 1) at which arrays and objects are stored empty. With named members, the
// limit is 2 everywhere except in the values of the top-level object's
// members named, where it is `depth`.
class KeptLevels {
 public:
  explicit KeptLevels(std::size_t depth) noexcept : limit_(clamped(depth)) {}
  KeptLevels(std::size_t depth, std::span<const std::string_view> deep_members) noexcept
      : limit_(2), deep_limit_(std::max(2, clamped(depth))), deep_members_(deep_members), by_member_(true) {}

  int limit() const noexcept { return limit_; }

  // Before the value of each member of an object at `level`, with a view of
  // its key (only read when it matters).
  template <typename KeyView>
  void enter_member(int level, KeyView key) noexcept {
    if (!by_member_ || level != 1) [[likely]]
      return;
    const std::string_view text = key();
    limit_ = std::find(deep_members_.begin(), deep_members_.end(), text) != deep_members_.end() ? deep_limit_ : 2;
  }

 private:
  // No container lies deeper than kNestingBudget - 1, so that many levels or
  // more keep everything; 0 counts as 1.
  static int clamped(std::size_t depth) noexcept {
    return static_cast<int>(std::clamp<std::size_t>(depth, 1, kNestingBudget));
  }

  int limit_;
  int deep_limit_ = 0;
  std::span<const std::string_view> deep_members_;
  bool by_member_ = false;
};

inline void append_utf8(ByteBuffer& out, std::uint32_t code_point) {
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
inline std::int64_t leading_digit_exponent(const char* first, const char* last) noexcept {
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

inline bool key_less(const JsonMember& a, const JsonMember& b) noexcept {
  return rep_less(Access::rep(a.key), Access::rep(b.key));
}

inline bool key_equal(const JsonMember& a, const JsonMember& b) noexcept {
  return rep_equal(Access::rep(a.key), Access::rep(b.key));
}

// The order the members of an object were sorted into, remembered per
// member count across parses. The objects of one document
// (and the texts of one kind) mostly repeat their keys in the same order, so
// the order found for one object is tried first on the next of the same
// size: if it puts the keys in strictly ascending order, that order is right
// and no key repeats, whatever object it came from.
//
// The table is plain static storage of the module (some 64 KiB, whose pages
// the system provides as they are first written), not heap blocks: those
// would be taken from the malloc arena of whichever thread parsed first
// and stay there for the life of the process.
class MemberOrders {
 public:
  static constexpr std::size_t kLimit = 256;  // member counts below this are remembered

  // The order last remembered for `count` members (a permutation of
  // 0..count-1, followed by 1 when it is the identity), or null.
  const std::uint8_t* find(std::size_t count) const noexcept { return known_[count] ? orders_[count] : nullptr; }

  void remember(std::size_t count, const std::uint8_t* order) noexcept {
    std::uint8_t* slot = orders_[count];
    std::memcpy(slot, order, count);
    bool identity = true;
    for (std::size_t i = 0; i < count && identity; ++i) identity = order[i] == i;
    slot[count] = identity ? 1 : 0;
    known_[count] = true;
  }

 private:
  std::uint8_t orders_[kLimit][kLimit + 1] = {};
  bool known_[kLimit] = {};
};
static_assert(std::is_trivially_destructible_v<MemberOrders>);

// The process's one MemberOrders, lent to one parse at a time: a parse that
// finds it lent out sorts without it (the same result, without the
// shortcut), so its memory stays one table whatever the thread count.
class MemberOrdersLease {
 public:
  MemberOrdersLease() noexcept : orders_(busy().test_and_set(std::memory_order_acquire) ? nullptr : &table()) {}
  ~MemberOrdersLease() {
    if (orders_ != nullptr) busy().clear(std::memory_order_release);
  }
  MemberOrdersLease(const MemberOrdersLease&) = delete;
  MemberOrdersLease& operator=(const MemberOrdersLease&) = delete;

  // The table, or null when another parse holds it.
  MemberOrders* get() const noexcept { return orders_; }

 private:
  static std::atomic_flag& busy() noexcept {
    static std::atomic_flag flag;
    return flag;
  }
  // Constant-initialised and trivially destructible: usable while the
  // process exits, when a parse may still run.
  static MemberOrders& table() noexcept {
    static constinit MemberOrders orders;
    return orders;
  }

  MemberOrders* orders_;
};

// Puts the members of [first, first + count) in the given order. Members are
// moved as raw bytes: they hold no pointers into themselves, and each ends up
// in exactly one place.
inline void permute_members(JsonMember* first, const std::uint8_t* order, std::size_t count) noexcept {
  alignas(JsonMember) unsigned char moved[MemberOrders::kLimit * sizeof(JsonMember)];
  std::memcpy(moved, static_cast<void*>(first), count * sizeof(JsonMember));
  for (std::size_t i = 0; i < count; ++i)
    std::memcpy(static_cast<void*>(first + i), moved + order[i] * sizeof(JsonMember), sizeof(JsonMember));
}

// Sorts [first, first + count) stably by `less`, moving the items as raw
// bytes (the tree types hold no pointers into themselves); `spare` has room
// for count / 2 items. A merge sort: the left half of each merge is copied
// to `spare` and merged back into place with the right half, and halves
// already in order are left as they are, so an almost sorted range costs
// little more than one comparison per item. `kMasked`: whether the merge
// chooses each item by a mask rather than a branch, for comparisons cheap
// enough that waiting for each one's outcome costs less than the branch
// mispredicted about every other time in a shuffled range.
template <bool kMasked, class T, class Less>
void merge_sort(T* first, std::size_t count, T* spare, Less less) {
  auto move = [](T* to, const T* from, std::size_t n) noexcept {
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), n * sizeof(T));
  };
  if (count <= 16) {
    for (std::size_t i = 1; i < count; ++i) {
      if (!less(first[i], first[i - 1])) continue;
      alignas(T) unsigned char moving[sizeof(T)];
      move(reinterpret_cast<T*>(moving), first + i, 1);
      const T& item = *reinterpret_cast<const T*>(moving);
      std::size_t j = i;
      do {
        move(first + j, first + j - 1, 1);
        --j;
      } while (j > 0 && less(item, first[j - 1]));
      move(first + j, reinterpret_cast<const T*>(moving), 1);
    }
    return;
  }
  const std::size_t half = count / 2;
  merge_sort<kMasked>(first, half, spare, less);
  merge_sort<kMasked>(first + half, count - half, spare, less);
  T* right = first + half;
  T* end = first + count;
  if (!less(*right, right[-1])) return;
  // Items of the left half not above the right's first, and of the right
  // half not below the left's last, are in place already: only the rest is
  // merged (the whole of it in a shuffled range, little of it in an almost
  // sorted one).
  T* out = std::upper_bound(first, right, *right, less);
  end = std::lower_bound(right + 1, end, right[-1], less);
  const std::size_t left_count = static_cast<std::size_t>(right - out);
  move(spare, out, left_count);
  const T* left = spare;
  const T* const left_end = spare + left_count;
  // Equal items are taken from the left first, which keeps the sort stable;
  // what remains of the right half once the left is used up is in place.
  while (left != left_end && right != end) {
    const bool from_right = less(*right, *left);
    if constexpr (kMasked) {
      // Compilers make a branch of a plain choice of pointers.
      const std::uintptr_t l = reinterpret_cast<std::uintptr_t>(left);
      const std::uintptr_t r = reinterpret_cast<std::uintptr_t>(right);
      move(out++, reinterpret_cast<const T*>(l ^ ((l ^ r) & (std::uintptr_t{0} - from_right))), 1);
    } else {
      move(out++, from_right ? right : left, 1);
    }
    right += from_right;
    left += !from_right;
  }
  move(out, left, static_cast<std::size_t>(left_end - left));
}

// Keeps the last member of each run of equal keys in sorted [first, last);
// returns the end of the kept members.
inline JsonMember* drop_repeated_keys(JsonMember* first, JsonMember* last) {
  JsonMember* kept = first;
  for (JsonMember* m = first; m != last; ++m) {
    if (m + 1 != last && key_equal(m[1], *m)) continue;
    if (kept != m) *kept = std::move(*m);
    ++kept;
  }
  return kept;
}

// Sorts [first, last) stably by key and keeps the last member of each run of
// equal keys; returns the end of the kept members.
// `orders`, when given, remembers the order found for the next object of the
// same size. `spare` is uninitialised room for half as many members as there
// are (the parser lends the unused part of its stack of members, so that
// sorting a large object takes no memory of its own).
inline JsonMember* order_members(JsonMember* first, JsonMember* last, MemberOrders* orders, JsonMember* spare) {
  const std::size_t count = static_cast<std::size_t>(last - first);
  if (count < 2) return last;
  if (count >= MemberOrders::kLimit) {
    bool ascending = true;
    for (std::size_t i = 1; i < count && ascending; ++i) ascending = key_less(first[i - 1], first[i]);
    if (ascending) return last;
    const auto less = [](const JsonMember& a, const JsonMember& b) { return key_less(a, b); };
    // Short keys compare in a few instructions, longer ones in a call: a
    // mispredicted branch then costs less than waiting for each outcome.
    const bool short_keys =
        std::all_of(first, last, [](const JsonMember& m) { return Access::rep(m.key).tag == Tag::short_string; });
    if (short_keys) {
      merge_sort<true>(first, count, spare, less);
    } else {
      merge_sort<false>(first, count, spare, less);
    }
    return drop_repeated_keys(first, last);
  }
  auto key = [first](std::size_t i) -> const StringRep& { return Access::rep(first[i].key); };
  if (const std::uint8_t* known = orders != nullptr ? orders->find(count) : nullptr) {
    std::size_t i = 1;
    while (i < count && rep_less(key(known[i - 1]), key(known[i]))) ++i;
    if (i == count) {
      if (known[count] == 0) permute_members(first, known, count);
      return last;
    }
  }
  // Sorts the members' indices, stably.
  std::uint8_t order[MemberOrders::kLimit];
  bool repeated = false;  // some key occurs more than once
  order[0] = 0;
  if (count <= 24) {
    // Insertion sort: on members already in order it is one comparison
    // each. A repeated key always ends next to its equal, and the insertion
    // stops right there, which is where repeats are noticed.
    for (std::size_t i = 1; i < count; ++i) {
      const StringRep& moving = key(i);
      std::size_t j = i;
      while (j > 0 && rep_less(moving, key(order[j - 1]))) {
        order[j] = order[j - 1];
        --j;
      }
      order[j] = static_cast<std::uint8_t>(i);
      repeated = repeated || (j > 0 && rep_equal(moving, key(order[j - 1])));
    }
  } else {
    for (std::size_t i = 1; i < count; ++i) order[i] = static_cast<std::uint8_t>(i);
    std::uint8_t spare_order[MemberOrders::kLimit / 2];
    merge_sort<false>(order, count, spare_order,
                      [&](std::uint8_t a, std::uint8_t b) { return rep_less(key(a), key(b)); });
    for (std::size_t i = 1; i < count && !repeated; ++i) repeated = rep_equal(key(order[i - 1]), key(order[i]));
  }
  if (!repeated && orders != nullptr) orders->remember(count, order);
  permute_members(first, order, count);
  return repeated ? drop_repeated_keys(first, last) : last;
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
    free_chunk(reinterpret_cast<char*>(data_), capacity_ * sizeof(T));
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
  // Uninitialised room for `count` items past the top, valid until the next
  // push.
  T* room(std::size_t count) {
    while (capacity_ - size_ < count) grow();
    return data_ + size_;
  }
  // Hands the items from `start` on over to the uninitialised `target`.
  void relocate_from(std::size_t start, T* target) noexcept {
    const std::size_t count = size_ - start;
    if (count <= 4) {
      // Most containers are small: fixed-size copies, without a library call.
      for (std::size_t i = 0; i < count; ++i)
        std::memcpy(static_cast<void*>(target + i), static_cast<const void*>(data_ + start + i), sizeof(T));
    } else {
      std::memcpy(static_cast<void*>(target), static_cast<const void*>(data_ + start), count * sizeof(T));
    }
    size_ = start;
  }

 private:
  // A large stack is a span of chunks (json/memory.hpp), so the next parse of
  // a large text finds its stack's memory mapped already.
  void grow() {
    const std::size_t capacity = std::max<std::size_t>(64, capacity_ * 2);
    T* grown = reinterpret_cast<T*>(new_chunk(capacity * sizeof(T)));
    if (size_ != 0) std::memcpy(static_cast<void*>(grown), static_cast<const void*>(data_), size_ * sizeof(T));
    free_chunk(reinterpret_cast<char*>(data_), capacity_ * sizeof(T));
    data_ = grown;
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace korvane::json_detail
