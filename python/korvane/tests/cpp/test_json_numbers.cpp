// Numbers: the table of powers of five checked by exact arithmetic, the
// conversion's decisions at its edges, and both parsers held to from_chars
// (the correctly rounded value) bit for bit, on hard cases and on generated
// numbers of every shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "json/number.hpp"
#include "json/parser.hpp"
#include "json_bridge.hpp"

namespace korvane {
namespace {

using json_detail::decimal_to_double;

// A non-negative integer of any size, 32-bit limbs, least significant first.
using Big = std::vector<std::uint32_t>;

Big big(std::uint64_t high, std::uint64_t low) {
  Big n;
  for (const std::uint64_t half : {low, high}) {
    n.push_back(static_cast<std::uint32_t>(half));
    n.push_back(static_cast<std::uint32_t>(half >> 32));
  }
  return n;
}

Big multiply(const Big& a, const Big& b) {
  Big product(a.size() + b.size(), 0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < b.size(); ++j) {
      const std::uint64_t t = std::uint64_t{a[i]} * b[j] + product[i + j] + carry;
      product[i + j] = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    product[i + b.size()] = static_cast<std::uint32_t>(carry);
  }
  return product;
}

Big power_of_two(int exponent) {
  Big n(static_cast<std::size_t>(exponent / 32) + 1, 0);
  n.back() = std::uint32_t{1} << (exponent % 32);
  return n;
}

// a <=> b as -1, 0, 1.
int compare(Big a, Big b) {
  while (!a.empty() && a.back() == 0) a.pop_back();
  while (!b.empty() && b.back() == 0) b.pop_back();
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

TEST(JsonNumbers, PowersOfFiveAreFlooredAndNormalised) {
  // 5^q = (T + f) * 2^e with 0 <= f < 1 and 2^127 <= T < 2^128, checked as
  // T * 2^e <= 5^q < (T + 1) * 2^e with both sides made integers.
  std::int64_t q = json_detail::kSmallestPowerOfFive;
  for (const auto& power : json_detail::kPowersOfFive) {
    const Big t = big(power.high, power.low);
    const Big t_next = power.low == ~std::uint64_t{0} ? big(power.high + 1, 0) : big(power.high, power.low + 1);
    ASSERT_GE(power.high, std::uint64_t{1} << 63) << "5^" << q;
    Big five_power{1};
    for (std::int64_t k = 0; k < (q < 0 ? -q : q); ++k) five_power = multiply(five_power, Big{5});
    Big lower_bound, value, upper_bound;
    if (q < 0) {  // T * 5^-q <= 2^-e < (T + 1) * 5^-q
      ASSERT_LT(power.exponent, 0) << "5^" << q;
      lower_bound = multiply(t, five_power);
      value = power_of_two(-power.exponent);
      upper_bound = multiply(t_next, five_power);
    } else if (power.exponent >= 0) {
      lower_bound = multiply(t, power_of_two(power.exponent));
      value = five_power;
      upper_bound = multiply(t_next, power_of_two(power.exponent));
    } else {  // T <= 5^q * 2^-e < T + 1
      lower_bound = t;
      value = multiply(five_power, power_of_two(-power.exponent));
      upper_bound = t_next;
    }
    EXPECT_LE(compare(lower_bound, value), 0) << "5^" << q;
    EXPECT_LT(compare(value, upper_bound), 0) << "5^" << q;
    ++q;
  }
  EXPECT_EQ(q, json_detail::kLargestPowerOfFive + 1);
}

// The double of `text` as from_chars reads it, underflow as signed zero; or
// nullopt when it overflows.
std::optional<std::uint64_t> exact_bits(std::string_view text) {
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // strtod tells the two apart: it gives an infinity for an overflow.
    if (std::isinf(std::strtod(std::string(text).c_str(), nullptr))) return std::nullopt;
    value = text.front() == '-' ? -0.0 : 0.0;
  }
  return std::bit_cast<std::uint64_t>(value);
}

TEST(JsonNumbers, ConversionDecidesOnlyNormalResultsWithCertainRounding) {
  struct Case {
    std::uint64_t w;
    std::int64_t q;
    bool decided;
  };
  const std::vector<Case> cases = {
      {1, 23, false},  // 1e23: exactly half way (5^23 takes 54 bits)
      {3, 23, true},
      {898846567431158, 293, true},      // 8.98846567431158e307
      {17976931348623157, 292, true},    // the largest double
      {17976931348623158, 292, true},    // rounds down to it
      {17976931348623159, 292, false},   // overflows
      {1, 309, false},                   // overflows
      {22250738585072014, -324, true},   // the smallest normal double
      {22250738585072011, -324, false},  // subnormal
      {49, -325, false},                 // the smallest subnormal
      {1, -343, false},                  // below every subnormal
      {9007199254740993, 0, false},      // 2^53 + 1: a tie
      {9007199254740993, 1, true},
      {9007199254740995, 0, false},  // a tie rounding up to even
      {9007199254740994, 0, true},
      {9999999999999999999U, 0, true},
      {1844674407370955161, -18, true},
      {0, 400, true},
      {0, -400, true},
  };
  for (const auto& c : cases) {
    for (const bool negative : {false, true}) {
      const std::string text = (negative ? "-" : "") + std::to_string(c.w) + "e" + std::to_string(c.q);
      double value = 12345;
      EXPECT_EQ(decimal_to_double(c.w, c.q, negative, value), c.decided) << text;
      if (c.decided) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(value), exact_bits(text)) << text;
      }
    }
  }
}

// The outcome of the parse at a kept depth: accepted or not.
void expect_accepted(const std::string& text, std::size_t kept_depth, bool accepted) {
  EXPECT_EQ(parse_json_text(text, kept_depth).has_value(), accepted) << text.substr(0, 80);
}

// The number of each text against from_chars: the same double, bit for bit.
// Unkept below the first level, they pass too.
void expect_exact(const std::vector<std::string>& texts) {
  std::string array = "[";
  for (const auto& text : texts) array += text + ",";
  array.back() = ']';
  expect_accepted("[" + array + "]", 1, true);
  const auto result = parse_json_text(array);
  ASSERT_TRUE(result.has_value()) << result.error().to_string();
  const JsonArray& numbers = *result->as_array();
  ASSERT_EQ(numbers.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const JsonNumber& number = *numbers[i].as_number();
    ASSERT_EQ(number.kind(), JsonNumber::Kind::floating) << texts[i];
    EXPECT_EQ(std::bit_cast<std::uint64_t>(number.as_double()), exact_bits(texts[i])) << texts[i];
  }
}

TEST(JsonNumbers, HardCasesAreCorrectlyRounded) {
  const std::string zeros(400, '0');
  std::vector<std::string> texts = {
      // halfway between doubles at 2^53, and its neighbours
      "9007199254740993.0", "9007199254740993e0", "90071992547409930e-1", "9007199254740991.0", "9007199254740992.0",
      "9007199254740994.0", "9007199254740995.0", "9007199254740992.999999", "9007199254740993.000001",
      "18014398509481985e0", "18014398509481987e0",
      // the usual suspects
      "0.1", "0.2", "0.3", "1e23", "1e22", "8.98846567431158e307", "7.2057594037927933e16", "4.35", "5e-1",
      "2.2250738585072011e-308", "2.2250738585072012e-308", "2.2250738585072014e-308", "2.2250738585072009e-308",
      "4.9e-324", "5e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "1e-400", "-1e-400",
      "1.7976931348623157e308", "-1.7976931348623157e308", "1.7976931348623158e308", "1.797693134862315807e308",
      // 19 and 20 significant digits
      "1234567890123456789e-5", "9999999999999999999e0", "9999999999999999999.0", "1844674407370955161.5",
      "12345678901234567890e-5", "99999999999999999999e-300", "0.12345678901234567890",
      // long runs of leading and trailing zeros
      "0." + zeros + "1", "0." + zeros + "1e400", "0.000000000000000000000000000000123456789012345678",
      "1" + zeros.substr(0, 300) + ".0", "1" + zeros.substr(0, 63) + ".01", "1.0" + zeros,
      "10000000000000000000000000e-25", "0.000123",
      "0.0000000000000000000000000000000000000000000001234567890123456789", "1000000000000000000000.0",
      // exponents with leading zeros, signs and both marks
      "1e0000000000000000000000023", "1E+023", "1e-0000308", "123.456e-00", "-0.0e-0001", "0.0", "-0.0",
      "1e-0000000000000000000000000000000000400", "0e999999999999999999999", "0.0001e311", "1" + zeros.substr(0, 308)};
  expect_exact(texts);
  // Exponents longer than any double's balanced by as many fraction digits.
  const std::string million_zeros(1000000, '0');
  expect_exact({"0." + million_zeros + "5e1000005", "0." + million_zeros + "5e+0001000305"});
  // Overflows, kept or not.
  for (const std::string& text :
       std::vector<std::string>{"1.7976931348623159e308", "1e309", "1" + zeros + ".5", "0.1e310", "0.0001e313",
                                "0." + million_zeros + "5e10000005"}) {
    expect_accepted(text, 1000, false);
    expect_accepted("[[" + text + "]]", 1, false);
  }
}

// Numbers with a fraction or an exponent, of 1 to 25 digits, with leading
// and trailing zeros, exponents spread over and past the double range.
std::string generated_number(std::mt19937_64& random) {
  const auto pick = [&](std::uint64_t n) { return random() % n; };
  const auto digits = [&](std::string& s, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) s += static_cast<char>('0' + pick(10));
  };
  std::string text = pick(2) == 0 ? "-" : "";
  const std::uint64_t total = 1 + pick(25);
  const std::uint64_t integer_digits = pick(3) == 0 ? 0 : pick(total + 1);
  if (integer_digits == 0) {
    text += "0";
  } else {
    text += static_cast<char>('1' + pick(9));
    digits(text, integer_digits - 1);
  }
  const bool fraction = integer_digits < total || pick(2) == 0;
  if (fraction) {
    text += '.';
    if (integer_digits == 0) text.append(pick(4) == 0 ? pick(30) : 0, '0');
    digits(text, std::max<std::uint64_t>(total - integer_digits, 1));
    if (pick(8) == 0) text.append(pick(10), '0');
  }
  if (!fraction || pick(3) != 0) {
    text += pick(2) == 0 ? 'e' : 'E';
    const std::uint64_t sign = pick(3);
    if (sign != 0) text += sign == 1 ? '-' : '+';
    if (pick(8) == 0) text.append(pick(4), '0');
    // Mostly where doubles are normal, some at and past both ends.
    const std::uint64_t magnitude = pick(4) == 0 ? 280 + pick(80) : pick(30);
    text += std::to_string(magnitude);
  }
  return text;
}

TEST(JsonNumbers, GeneratedNumbersMatchFromChars) {
  std::mt19937_64 random(20261207);
  std::vector<std::string> texts;
  while (texts.size() < 300000) {
    std::string text = generated_number(random);
    if (exact_bits(text).has_value()) texts.push_back(std::move(text));  // overflows fail the whole text
  }
  expect_exact(texts);
}

}  // namespace
}  // namespace korvane
