#include "decimal.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace {

TEST(Decimal, ShortestDigitsAcrossTheRange) {
  const std::pair<std::uint64_t, std::string> cases[] = {
      {0, "0"},
      {7, "7"},
      {10, "10"},
      {65535, "65535"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(korvane::decimal(value), text) << text;
}

}  // namespace
