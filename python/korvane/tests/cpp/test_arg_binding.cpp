#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "arg_binding.hpp"

namespace korvane {
namespace {

constexpr std::string_view kFour[] = {"a", "b", "c", "d"};
constexpr ArgumentSignature kThreeRequired{"Thing", "make", kFour, 3};
constexpr std::string_view kOne[] = {"path"};
constexpr ArgumentSignature kAllRequired{"FileRecorder", "__new__", kOne, 1};

std::string failure(const ArgumentSignature& signature, std::size_t positional,
                    std::vector<std::string_view> keywords) {
  auto bound = bind_arguments(signature, positional, keywords);
  EXPECT_FALSE(bound.has_value());
  return bound.has_value() ? std::string() : bound.error();
}

TEST(ArgumentBinding, MissingNamesAreJoinedLikeTheInterpreter) {
  EXPECT_EQ(failure(kThreeRequired, 0, {}), "Thing.make() missing 3 required positional arguments: 'a', 'b', and 'c'");
  EXPECT_EQ(failure(kThreeRequired, 0, {"b"}), "Thing.make() missing 2 required positional arguments: 'a' and 'c'");
  EXPECT_EQ(failure(kThreeRequired, 2, {}), "Thing.make() missing 1 required positional argument: 'c'");
}

TEST(ArgumentBinding, TooManyPositionalWording) {
  EXPECT_EQ(failure(kAllRequired, 2, {}), "FileRecorder.__new__() takes 1 positional arguments but 2 were given");
  EXPECT_EQ(failure(kThreeRequired, 5, {}), "Thing.make() takes from 3 to 4 positional arguments but 5 were given");
  EXPECT_EQ(failure(kAllRequired, 3, {}), "FileRecorder.__new__() takes 1 positional arguments but 3 were given");
}

TEST(ArgumentBinding, KeywordsCheckedInCallerOrderBeforeMissing) {
  EXPECT_EQ(failure(kThreeRequired, 1, {"a", "zz"}), "Thing.make() got multiple values for argument 'a'");
  EXPECT_EQ(failure(kThreeRequired, 0, {"zz", "a"}), "Thing.make() got an unexpected keyword argument 'zz'");
  EXPECT_EQ(failure(kThreeRequired, 0, {"A"}), "Thing.make() got an unexpected keyword argument 'A'");
}

TEST(ArgumentBinding, SlotsTellWhereEachValueComesFrom) {
  std::vector<std::string_view> keywords = {"d", "c"};
  auto bound = bind_arguments(kThreeRequired, 2, keywords);
  ASSERT_TRUE(bound.has_value());
  using Source = BoundArguments::Source;
  EXPECT_EQ(bound->slots[0].source, Source::positional);
  EXPECT_EQ(bound->slots[1].index, 1u);
  EXPECT_EQ(bound->slots[2].source, Source::keyword);
  EXPECT_EQ(bound->slots[2].index, 1u);
  EXPECT_EQ(bound->slots[3].source, Source::keyword);
  EXPECT_EQ(bound->slots[3].index, 0u);
}

TEST(ArgumentBinding, OptionalParametersMayBeAbsent) {
  auto bound = bind_arguments(kThreeRequired, 3, {});
  ASSERT_TRUE(bound.has_value());
  EXPECT_EQ(bound->slots[3].source, BoundArguments::Source::absent);
}

}  // namespace
}  // namespace korvane
