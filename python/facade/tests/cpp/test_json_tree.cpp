// The value tree: object key order and duplicates, lookups, construction,
// copying and destruction.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(JsonObjectOrder, MembersAreInUnsignedByteOrderOfKeys) {
  const JsonValue v = parse_ok(R"({"b":1,"ab":2,"a":3,"B":4,"\u00e9":5,"":6,"~":7})");
  EXPECT_EQ(keys_of(*v.as_object()),
            (std::vector<std::string>{"", "B", "a", "ab", "b", "~", "\xc3\xa9"}));
}

TEST(JsonObjectOrder, LargeObjectsAreSortedToo) {
  std::string text = "{";
  for (int i = 99; i >= 0; --i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + (i ? "," : "}");
  const JsonValue v = parse_ok(text);
  const auto keys = keys_of(*v.as_object());
  ASSERT_EQ(keys.size(), 100U);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(get_member(*v.as_object(), "k42")->as_number()->as_unsigned(), 42U);
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
  EXPECT_EQ(get_member(*many.as_object(), "k0")->as_number()->as_unsigned(), 56U);
  EXPECT_EQ(get_member(*many.as_object(), "k6")->as_number()->as_unsigned(), 55U);
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
  EXPECT_NE(get_member(object, "ab"), nullptr);
  EXPECT_EQ(get_member(object, "a"), nullptr);
  EXPECT_EQ(get_member(object, "abc"), nullptr);
  EXPECT_EQ(get_member(object, "inner"), nullptr);
  EXPECT_EQ(get_string_member(*get_member(object, "outer")->as_object(), "inner"), "x");
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

TEST(JsonParseErrorText, HasDescriptionLineAndColumn) {
  const JsonParseError error{"expected value", 12, 0};
  EXPECT_EQ(error.to_string(), "expected value at line 12 column 0");
}

}  // namespace
}  // namespace korvane
