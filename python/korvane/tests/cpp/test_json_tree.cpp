// The value tree: object key order and duplicates, lookups, construction,
// copying and destruction.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "json/memory.hpp"
#include "json_bridge.hpp"

namespace korvane {
namespace {

JsonValue parse_ok(std::string_view text) {
  auto result = parse_json_text(text);
  EXPECT_TRUE(result.has_value()) << text;
  return result.has_value() ? std::move(result).value() : JsonValue();
}

std::vector<std::string> keys_of(const JsonObject& object) {
  std::vector<std::string> keys;
  for (const auto& member : object) keys.push_back(member.key.str());
  return keys;
}

// An object of these keys, the i-th member's value i, parses to its members
// in unsigned byte order of keys, the last of equal keys kept.
void expect_sorted_last_kept(const std::vector<std::string>& keys) {
  std::string text = "{";
  std::map<std::string, std::size_t> expected;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    text += (i ? ",\"" : "\"") + keys[i] + "\":" + std::to_string(i);
    expected[keys[i]] = i;
  }
  const JsonValue v = parse_ok(text + "}");
  std::vector<std::pair<std::string, std::size_t>> got;
  for (const auto& m : *v.as_object()) got.emplace_back(m.key.str(), m.value.as_number()->as_unsigned());
  ASSERT_EQ(got, (std::vector<std::pair<std::string, std::size_t>>(expected.begin(), expected.end())))
      << text.substr(0, 200);
}

TEST(JsonObjectOrder, MembersAreInUnsignedByteOrderOfKeys) {
  const JsonValue v = parse_ok(R"({"b":1,"ab":2,"a":3,"B":4,"\u00e9":5,"":6,"~":7})");
  EXPECT_EQ(keys_of(*v.as_object()), (std::vector<std::string>{"", "B", "a", "ab", "b", "~", "\xc3\xa9"}));
}

TEST(JsonObjectOrder, LargeObjectsAreSortedToo) {
  std::string text = "{";
  for (int i = 99; i >= 0; --i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + (i ? "," : "}");
  const JsonValue v = parse_ok(text);
  const auto keys = keys_of(*v.as_object());
  ASSERT_EQ(keys.size(), 100U);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(v.as_object()->find("k42")->as_number()->as_unsigned(), 42U);
}

// Objects of one size are often ordered alike, and the parsers try the
// order of the last one first: a run of objects of the same sizes whose keys
// come in the same, a different or a partly repeated order must each still
// come out sorted, with the last of equal keys kept, from both parsers.
TEST(JsonObjectOrder, ObjectsOfOneSizeInChangingOrdersAndRepeats) {
  std::mt19937 rng(20261207);
  std::vector<std::string> pool;
  for (const char* key : {"id", "name", "a key longer than fourteen", "a key longer than fifteen", "", "b", "ba", "z",
                          "\u00e9t\u00e9", "k1", "k2", "k10", "tape", "head"})
    pool.emplace_back(key);
  for (int round = 0; round < 400; ++round) {
    const std::size_t count = round % 7 == 6 ? 250 + rng() % 10 : 2 + rng() % 28;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < count; ++i)
      keys.push_back(count > pool.size() ? "m" + std::to_string((i * 7919) % count) : pool[i]);
    // Same order as the round before of this size, shuffled, or with repeats.
    if (rng() % 3 == 0) std::shuffle(keys.begin(), keys.end(), rng);
    if (rng() % 4 == 0) keys[rng() % count] = keys[rng() % count];
    ASSERT_NO_FATAL_FAILURE(expect_sorted_last_kept(keys));
  }
}

// Objects large enough for the merge sort with spare room of its own (from
// the heap, and from a span beyond a full chunk), in shuffled, reversed,
// almost sorted and half-swapped orders, with repeated keys (a few, or a few
// keys each repeated many times), with keys short enough to be kept in
// place or not: sorted, the last repeat kept.
TEST(JsonObjectOrder, LargeObjectsInAnyOrderWithRepeats) {
  std::mt19937 rng(20261208);
  for (const std::size_t count : {300U, 5000U, 70000U}) {
    for (const std::string prefix : {"key ", "a key too long to be kept in place "}) {
      for (const char* order : {"shuffled", "reversed", "one out of place", "halves swapped", "few keys"}) {
        std::vector<std::string> keys;
        for (std::size_t i = 0; i < count; ++i) keys.push_back(prefix + std::to_string(100000 + i));
        if (order[0] == 's') std::shuffle(keys.begin(), keys.end(), rng);
        if (order[0] == 'r') std::reverse(keys.begin(), keys.end());
        if (order[0] == 'o') std::rotate(keys.begin(), keys.end() - 1, keys.end());
        if (order[0] == 'h')
          std::rotate(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(count / 2), keys.end());
        if (order[0] == 'f')
          for (std::string& key : keys) key = prefix + std::to_string(100000 + rng() % 40);
        for (int i = 0; i < 20; ++i) keys[rng() % count] = keys[rng() % count];
        ASSERT_NO_FATAL_FAILURE(expect_sorted_last_kept(keys)) << count << " members, " << order << ", keys " << prefix;
      }
    }
  }
}

TEST(JsonObjectDuplicates, LastOccurrenceWinsAndOneMemberRemains) {
  const JsonValue v = parse_ok(R"({"1":"first","a":0,"1":"second"})");
  const JsonObject& object = *v.as_object();
  EXPECT_EQ(object.size(), 2U);
  EXPECT_EQ(get_string_member(object, "1"), "second");

  // Many repeats of a key among many others, beyond the small-object path.
  std::string text = "{";
  for (int i = 0; i < 60; ++i) text += "\"k" + std::to_string(i % 7) + "\":" + std::to_string(i) + ",";
  text += "\"z\":null}";
  const JsonValue many = parse_ok(text);
  EXPECT_EQ(many.as_object()->size(), 8U);
  EXPECT_EQ(many.as_object()->find("k0")->as_number()->as_unsigned(), 56U);
  EXPECT_EQ(many.as_object()->find("k6")->as_number()->as_unsigned(), 55U);

  // Three or more of one long key, with long values: the dropped members
  // are freed too (the sanitizer build checks for leaks).
  const JsonValue repeats = parse_ok(
      R"({"a key longer than fourteen":"first long value here","a key longer than fourteen":"second long value",)"
      R"("b":1,"a key longer than fourteen":"third long value here","a key longer than fourteen":[1]})");
  EXPECT_EQ(write_json_text(repeats), R"({"a key longer than fourteen":[1],"b":1})");
}

TEST(JsonObjectEdit, InsertOrAssignKeepsOrderAndUniqueness) {
  JsonObject object;
  object.insert_or_assign("m", JsonValue::boolean(true));
  object.insert_or_assign("a", JsonValue::null());
  object.insert_or_assign("z", JsonValue::string("long text beyond the inline size"));
  object.insert_or_assign("m", JsonValue::number(JsonNumber::from_signed(-3)));
  EXPECT_EQ(keys_of(object), (std::vector<std::string>{"a", "m", "z"}));
  EXPECT_EQ(object.find("m")->as_number()->as_signed(), -3);
  EXPECT_EQ(object.find("mm"), nullptr);
  EXPECT_EQ(object.find(""), nullptr);
}

TEST(JsonLookups, GetMemberNeedsTheExactKeyAndLooksAtOneLevel) {
  const JsonValue v = parse_ok(R"({"ab":1,"outer":{"inner":"x"},"n":5})");
  const JsonObject& object = *v.as_object();
  EXPECT_NE(object.find("ab"), nullptr);
  EXPECT_EQ(object.find("a"), nullptr);
  EXPECT_EQ(object.find("abc"), nullptr);
  EXPECT_EQ(object.find("inner"), nullptr);
  EXPECT_EQ(get_string_member(*object.find("outer")->as_object(), "inner"), "x");
  EXPECT_EQ(get_string_member(object, "n"), std::nullopt);
  EXPECT_EQ(get_string_member(object, "missing"), std::nullopt);
}

TEST(JsonValueAccess, AccessorsOfAnotherKindGiveNothing) {
  const JsonValue number = JsonValue::number(JsonNumber::from_double(1.5));
  EXPECT_EQ(number.as_object(), nullptr);
  EXPECT_EQ(number.as_array(), nullptr);
  EXPECT_EQ(number.as_string(), std::nullopt);
  EXPECT_FALSE(number.as_bool());
  EXPECT_EQ(JsonValue::string("x").as_number(), nullptr);
  EXPECT_EQ(number.as_number()->as_unsigned(), 0U);
  EXPECT_EQ(JsonNumber::from_unsigned(7).as_double(), 7.0);
}

// Empty containers, parsed or built, copied and then filled: every copy owns
// what it holds (the sanitized build reports anything left behind).
TEST(JsonValueOwnership, CopiesOfEmptyContainersGrowOnTheirOwn) {
  JsonObject built;
  for (JsonValue original :
       {parse_ok("{}"), parse_ok(R"({"a":{}})").as_object()->begin()->value, JsonValue::object(JsonObject(built))}) {
    JsonValue copy = original;
    ASSERT_NE(copy.as_object(), nullptr);
    EXPECT_EQ(copy.as_object()->size(), 0U);
    copy.as_object()->insert_or_assign("key", JsonValue::string("a value longer than fourteen bytes"));
    EXPECT_EQ(copy.as_object()->size(), 1U);
    EXPECT_EQ(original.as_object()->size(), 0U);
    JsonObject object_copy(*original.as_object());
    object_copy.insert_or_assign("other", JsonValue::null());
    EXPECT_EQ(object_copy.size(), 1U);
  }
  JsonObject copy_of_built(built);
  EXPECT_EQ(copy_of_built.size(), 0U);
}

TEST(JsonValueOwnership, CopiesAreDeepAndIndependent) {
  JsonValue original = parse_ok(R"({"list":[1,"a string longer than fourteen"],"s":"short"})");
  JsonValue copy = original;
  EXPECT_EQ(copy, original);
  original.as_object()->insert_or_assign("s", JsonValue::null());
  EXPECT_EQ(get_string_member(*copy.as_object(), "s"), "short");
  EXPECT_NE(copy, original);

  JsonValue moved = std::move(copy);
  EXPECT_TRUE(copy.is_null());  // NOLINT(bugprone-use-after-move): moved-from is null
  EXPECT_EQ(moved.as_object()->size(), 2U);
}

TEST(JsonValueOwnership, DestroyingAVeryDeepBuiltTreeDoesNotExhaustTheStack) {
  JsonValue root;
  for (int i = 0; i < 300000; ++i) {
    std::vector<JsonValue> one;
    one.push_back(std::move(root));
    if (i % 2 == 0) {
      root = JsonValue::array(std::move(one));
    } else {
      JsonObject object;
      object.insert_or_assign("k", std::move(one.front()));
      root = JsonValue::object(std::move(object));
    }
  }
  // The writer uses an explicit stack as well.
  EXPECT_EQ(write_json_text(root).size(), 300000U * 2 + 150000U * 4 + 4);
  root = JsonValue::null();
  EXPECT_TRUE(root.is_null());
}

TEST(JsonObjectOrder, KeysWithZeroBytesAndSharedPrefixes) {
  // Short keys are compared in their padded inline form, long ones as text:
  // both must give plain byte order with a prefix first.
  const JsonValue v =
      parse_ok(R"({"a\u0000b":1,"a":2,"a\u0000":3,"ab":4,"abcdefghijklmn":5,"abcdefghijklmno":6,"abcdefghijklm":7,)"
               R"("abcdefghijklmn\u0000":8,"\u0000":9})");
  EXPECT_EQ(keys_of(*v.as_object()),
            (std::vector<std::string>{std::string("\0", 1), "a", std::string("a\0", 2), std::string("a\0b", 3), "ab",
                                      "abcdefghijklm", "abcdefghijklmn", std::string("abcdefghijklmn\0", 15),
                                      "abcdefghijklmno"}));
  EXPECT_EQ(v.as_object()->find(std::string("a\0", 2))->as_number()->as_unsigned(), 3U);
}

TEST(JsonObjectEdit, ParsedObjectsGrowAndCopyAfterDuplicatesWereDropped) {
  JsonValue v = parse_ok(R"({"k":1,"a":"x","k":2,"long key of the object":[1,2]})");
  JsonObject& object = *v.as_object();
  ASSERT_EQ(object.size(), 3U);
  for (int i = 0; i < 20; ++i)
    object.insert_or_assign("n" + std::to_string(i), JsonValue::number(JsonNumber::from_signed(i)));
  object.insert_or_assign("k", JsonValue::string("replaced by a text longer than fourteen"));
  EXPECT_EQ(object.size(), 23U);
  EXPECT_EQ(keys_of(object).front(), "a");
  EXPECT_EQ(get_string_member(object, "k"), "replaced by a text longer than fourteen");
  const JsonValue copy = v;
  EXPECT_EQ(copy, v);
  JsonObject moved = std::move(*v.as_object());
  EXPECT_EQ(moved.size(), 23U);
  EXPECT_EQ(v.as_object()->size(), 0U);
  EXPECT_EQ(*copy.as_object(), moved);
}

TEST(JsonArrays, ElementsAreReachedByIndexAndIteration) {
  JsonValue v = parse_ok(R"([1,"a text longer than fourteen bytes",[],{"k":null}])");
  const JsonArray& array = *v.as_array();
  ASSERT_EQ(array.size(), 4U);
  EXPECT_EQ(array[0].as_number()->as_unsigned(), 1U);
  EXPECT_EQ(array[1].as_string(), "a text longer than fourteen bytes");
  EXPECT_TRUE(array[2].as_array()->empty());
  EXPECT_EQ(array.back().as_object()->size(), 1U);
  std::size_t count = 0;
  for (const JsonValue& element : array) count += element.is_null() ? 0U : 1U;
  EXPECT_EQ(count, 4U);
  EXPECT_EQ(JsonValue::array({}).as_array()->size(), 0U);
  EXPECT_NE(v, parse_ok(R"([1,"a text longer than fourteen bytes",[],{"k":false}])"));
}

TEST(JsonValueOwnership, PartsMovedOutOutliveTheParsedRoot) {
  JsonValue kept_string;
  JsonValue kept_object;
  JsonString kept_key;
  {
    JsonValue root =
        parse_ok(R"({"name":"a text longer than fourteen bytes","inner":{"list":[1,2,"another long text here"]},)"
                 R"("a key longer than fourteen bytes":true})");
    JsonObject& object = *root.as_object();
    kept_string = std::move(*object.find("name"));
    kept_object = std::move(*object.find("inner"));
    kept_key = JsonString(object.begin()->key.view());
    JsonValue copy = root;  // copies a tree whose parts were taken
    EXPECT_TRUE(copy.as_object()->find("inner")->is_null());
  }
  EXPECT_EQ(kept_string.as_string(), "a text longer than fourteen bytes");
  EXPECT_EQ(write_json_text(kept_object), R"({"list":[1,2,"another long text here"]})");
  EXPECT_EQ(kept_key.view(), "a key longer than fourteen bytes");
}

TEST(JsonValueOwnership, TextsPutIntoParsedContainersOfScalarsAreFreed) {
  // Containers parsed with scalars only are released without a look inside;
  // whatever is put into them later must still be freed (the leak checker
  // of the sanitizer build would report it).
  JsonValue v = parse_ok(R"({"flat":[1,2,3],"also":{"a":true},"k":null})");
  (*v.as_object()->find("flat")->as_array())[1] = JsonValue::string("a text longer than fourteen bytes");
  v.as_object()->find("also")->as_object()->insert_or_assign("b", JsonValue::string("another long text, to free"));
  *v.as_object()->find("k") = JsonValue::string("a third text longer than fourteen");
  EXPECT_EQ(write_json_text(v),
            R"({"also":{"a":true,"b":"another long text, to free"},"flat":[1,"a text longer than fourteen bytes",3],)"
            R"("k":"a third text longer than fourteen"})");
}

TEST(JsonValueOwnership, TreesMayBeFreedOnAnotherThreadWhileParsingGoesOn) {
  std::string text = "[";
  for (int i = 0; i < 5000; ++i) text += R"({"event":"a text longer than fourteen bytes","i":[1,2,3]},)";
  text += "null]";
  std::vector<JsonValue> trees;
  for (int i = 0; i < 8; ++i) trees.push_back(parse_ok(text));
  JsonValue part = std::move((*trees[0].as_array())[17]);
  std::thread freeing([moved = std::move(trees)]() mutable { moved.clear(); });
  for (int i = 0; i < 8; ++i) EXPECT_EQ(parse_ok(text).as_array()->size(), 5001U);
  freeing.join();
  EXPECT_EQ(write_json_text(part), R"({"event":"a text longer than fourteen bytes","i":[1,2,3]})");
}

TEST(JsonParseErrorText, HasDescriptionLineAndColumn) {
  const JsonParseError error{"expected value", 12, 0};
  EXPECT_EQ(error.to_string(), "expected value at line 12 column 0");
}

// Full-size chunks, which the process keeps for reuse, are mapped apart
// from the malloc heap, so that keeping them pins no heap memory; a block
// that is exactly a full chunk in size, though carved on its own, and the
// chunks of a tree larger than the cache are given back where they came
// from (under the address sanitizer, which counts no heap use here, a chunk
// given back the wrong way is a reported fault).
TEST(JsonValueOwnership, KeptChunksHoldNoHeapMemory) {
  const auto heap_in_use = [] { return mallinfo2().uordblks; };
  // Warm the thread's cache and the allocator's own structures first.
  std::string large = "[";
  for (int i = 0; i < 20000; ++i) large += "\"a string long enough to need a block\",";
  large += "0]";
  for (int round = 0; round < 2; ++round) ASSERT_TRUE(parse_json_text(large).has_value());
  const std::size_t before = heap_in_use();
  ASSERT_TRUE(parse_json_text(large).has_value());
  EXPECT_EQ(heap_in_use(), before);
  for (std::size_t length = json_detail::kFullChunk - 64; length <= json_detail::kFullChunk; ++length) {
    const std::string text = "[\"" + std::string(length, 'x') + "\"," + large.substr(1);
    auto parsed = parse_json_text(text);
    ASSERT_TRUE(parsed.has_value());
    parsed = JsonValue();
    EXPECT_EQ(heap_in_use(), before) << length;
  }
  // About 80 MiB of tree, more than the cache keeps.
  std::string huge = "[";
  for (int i = 0; i < 1200000; ++i) huge += "{\"k\":[1]},";
  huge += "0]";
  for (int round = 0; round < 2; ++round) {
    auto parsed = parse_json_text(huge);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->as_array()->size(), 1200001U);
  }
  EXPECT_EQ(heap_in_use(), before);
}

// In a large text, blocks between a quarter and a whole full chunk (long
// strings, arrays and objects) are carved from full chunks too, not taken
// from the heap, where they would stay with the parsing thread's malloc
// arena; each comes back whole, beside the small blocks around it.
TEST(JsonValueOwnership, MediumBlocksOfLargeTextsComeFromChunks) {
  const auto heap_in_use = [] { return mallinfo2().uordblks; };
  const std::size_t kChunk = json_detail::kFullChunk;
  std::string text = "[";
  for (const std::size_t length :
       {kChunk / 4 + 1, kChunk / 2, kChunk - 40, kChunk - 24, kChunk / 3, std::size_t{100}}) {
    for (int i = 0; i < 3; ++i)
      text += "\"" + std::string(length, static_cast<char>('a' + i)) + "\",\"a short one, in a block\",";
  }
  std::string numbers = "[";
  for (int i = 0; i < 3000; ++i) numbers += std::to_string(i) + ",";
  text += numbers + "0],\"end\"]";
  ASSERT_TRUE(parse_json_text(text).has_value());  // warms the span cache and the heap
  const std::size_t before = heap_in_use();
  const JsonValue v = parse_ok(text);
  EXPECT_LT(heap_in_use(), before + kChunk / 4);
  EXPECT_EQ(write_json_text(v), text);
}

// Spans given back are handed out again for the same size, to any thread,
// up to 64 MiB in all: a thread's next parse of a large text reuses them.
TEST(JsonValueOwnership, SpansAreReusedAcrossThreadsWithinTheBudget) {
  constexpr std::size_t kSpan = 3 * json_detail::kFullChunk;
  char* first = json_detail::new_chunk(kSpan);
  std::thread([first] { json_detail::free_chunk(first, kSpan); }).join();
  char* again = json_detail::new_chunk(kSpan - 100);  // the same whole number of chunks
  EXPECT_EQ(again, first);
  json_detail::free_chunk(again, kSpan - 100);
  // Over the budget: given back to the system, never kept.
  constexpr std::size_t kHuge = std::size_t{80} << 20;
  char* huge = json_detail::new_chunk(kHuge);
  huge[kHuge - 1] = 1;
  json_detail::free_chunk(huge, kHuge);
  EXPECT_LE(json_detail::spans_in_use(), std::size_t{64} << 20);
}

}  // namespace
}  // namespace korvane
