// Numbers for both parsers: reading a run of digits into a mantissa, and the
// exact conversion of a decimal w * 10^q (w of at most 19 digits) to the
// nearest double.
//
// The conversion decides only where that is quick and certain: results in
// the normal range whose rounding the arithmetic below settles. Everything
// else (more digits, subnormal, infinite and out-of-range results, possible
// ties) is left to std::from_chars on the number's text, which the callers
// keep as the authority.
//
// Internal to the JSON code.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "json/scan.hpp"

namespace korvane::json_detail {

// The value of eight digits, given as the bytes 0..9 (the first byte the
// most significant digit), in three multiplications.
inline std::uint64_t eight_digit_values(std::uint64_t word) noexcept {
  static_assert(std::endian::native == std::endian::little);
  word = (word * 2561) >> 8;
  word = ((word & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
  return ((word & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32;
}

// Whether the eight bytes at p are all ASCII digits; `values` gets them as
// 0..9 (and other bytes as something else).
inline bool eight_digits_at(const char* p, std::uint64_t& values) noexcept {
  values = digit_values_at(p);
  return non_digit_bytes(values) == 0;
}

// Reads the digits from p on into `mantissa`, like read_digits below, for
// runs that are mostly short (the integer part of a number with a
// fraction): eight at a time while there are eight, then byte by byte.
[[gnu::always_inline]] inline const char* read_leading_digits(const char* p, const char* end,
                                                              std::uint64_t& mantissa) noexcept {
  std::uint64_t value = mantissa;
  std::uint64_t values = 0;
  while (end - p >= 8 && eight_digits_at(p, values)) {
    value = value * 100000000 + eight_digit_values(values);
    p += 8;
  }
  while (p != end && is_digit(*p)) value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
  mantissa = value;
  return p;
}

inline constexpr std::uint64_t kSmallPowersOfTen[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// Reads the digits from p on into `mantissa` (which wraps past 19 digits:
// the caller counts them); returns the first byte that is not a digit.
// Where eight bytes can be read, a word at a time: a run of eight digits
// multiplies in whole, and the last, shorter run is moved to the top of its
// word, below which zeros stand in for leading digits. No branch depends on
// the length of that last run, which varies from number to number in a
// fraction.
[[gnu::always_inline]] inline const char* read_digits(const char* p, const char* end,
                                                      std::uint64_t& mantissa) noexcept {
  std::uint64_t value = mantissa;
  while (end - p >= 8) {
    const std::uint64_t values = digit_values_at(p);
    const std::uint64_t other = non_digit_bytes(values);
    if (other == 0) {
      value = value * 100000000 + eight_digit_values(values);
      p += 8;
      continue;
    }
    const int digits = std::countr_zero(other) / 8;
    if (digits != 0) {
      value = value * kSmallPowersOfTen[digits] + eight_digit_values(values << (64 - 8 * digits));
      p += digits;
    }
    mantissa = value;
    return p;
  }
  while (p != end && is_digit(*p)) value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
  mantissa = value;
  return p;
}

// The most significant digits a uint64 mantissa always holds exactly.
inline constexpr std::int64_t kMantissaDigits = 19;

// An exponent's digits stop accumulating once it reaches this: still far
// beyond any double once any possible count of fraction digits is taken off
// (a scale is the exponent less those), and no int64 overflows.
inline constexpr std::int64_t kExponentLimit = 100000000000000000;  // 10^17

// floor(5^q / 2^e) in [2^127, 2^128), and e, for q in [kSmallestPowerOfFive,
// kLargestPowerOfFive]: 5^q = (high * 2^64 + low + f) * 2^e with 0 <= f < 1.
struct PowerOfFive {
  std::uint64_t high;
  std::uint64_t low;
  std::int32_t exponent;
};

inline constexpr std::int64_t kSmallestPowerOfFive = -342;
inline constexpr std::int64_t kLargestPowerOfFive = 308;

inline constexpr PowerOfFive kPowersOfFive[] = {
#include "json/powers_of_five.inc"
};
static_assert(std::size(kPowersOfFive) == kLargestPowerOfFive - kSmallestPowerOfFive + 1);

namespace number_detail {

__extension__ typedef unsigned __int128 Wide;

// Powers of ten that a double holds exactly.
inline constexpr std::array<double, 23> kExactPowers = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline constexpr int kMantissaBits = 52;  // stored bits of a double's significand
inline constexpr int kExponentBias = 1023;
inline constexpr int kLargestBiasedExponent = 2046;

}  // namespace number_detail

// w * 10^q, negated when `negative`, rounded to the nearest double (ties to
// even) into `out`; false when not decided here, and `out` is then untouched.
// w holds the number's significant digits exactly (at most 19 of them).
[[gnu::always_inline]] inline bool decimal_to_double(std::uint64_t w, std::int64_t q, bool negative,
                                                     double& out) noexcept {
  using namespace number_detail;
  if (w == 0) {
    out = negative ? -0.0 : 0.0;
    return true;
  }
  // Both operands exact, so the one operation rounds correctly.
  if (w <= std::uint64_t{1} << 53 && q >= -22 && q <= 22) {
    double value = static_cast<double>(w);
    value =
        q < 0 ? value / kExactPowers[static_cast<std::size_t>(-q)] : value * kExactPowers[static_cast<std::size_t>(q)];
    out = negative ? -value : value;
    return true;
  }
  if (q < kSmallestPowerOfFive || q > kLargestPowerOfFive) return false;

  // w * 10^q = w * 5^q * 2^q. With w' = w * 2^shift in [2^63, 2^64) and
  // T = kPowersOfFive[q], the exact product P = w' * T (192 bits, in
  // [2^190, 2^192)) falls short of the true w' * 5^q / 2^e by less than
  // w' < 2^64, as T falls short of 5^q / 2^e by less than one.
  const int shift = std::countl_zero(w);
  const std::uint64_t normalised = w << shift;
  const PowerOfFive& power = kPowersOfFive[q - kSmallestPowerOfFive];
  const Wide by_high = static_cast<Wide>(normalised) * power.high;
  std::uint64_t high = static_cast<std::uint64_t>(by_high >> 64);

  // The significand is the 53 bits from P's top bit (191 or 190) down; the
  // bit after them rounds; below it lie the rest of `high`, then `middle`
  // and the low word, into which the shortfall can carry at most one.
  int top = static_cast<int>(high >> 63);  // 1 when bit 191 is set
  int dropped = 10 + top;                  // bits of `high` below the significand
  std::uint64_t below_mask = (std::uint64_t{1} << (dropped - 1)) - 1;
  std::uint64_t below = high & below_mask;
  // P >> 64 is by_high plus less than 2^64, which adds at most one to
  // `high`. With `below` neither 0 nor one of the two largest values, that
  // one changes neither the rounding bit nor the bits above it, nor makes
  // the value a possible tie: the low product is not needed.
  if (below == 0 || below >= below_mask - 1) [[unlikely]] {
    const Wide by_low = static_cast<Wide>(normalised) * power.low;
    const Wide upper = by_high + (by_low >> 64);  // P >> 64, exact: no carry out of 128 bits
    high = static_cast<std::uint64_t>(upper >> 64);
    const auto middle = static_cast<std::uint64_t>(upper);
    top = static_cast<int>(high >> 63);
    dropped = 10 + top;
    below_mask = (std::uint64_t{1} << (dropped - 1)) - 1;
    below = high & below_mask;
    // The shortfall could carry into the rounding bit (or across P's top bit).
    if (below == below_mask && middle == ~std::uint64_t{0}) return false;
    // Exactly half way, or above half by no more than the shortfall:
    // from_chars settles the tie.
    if (((high >> (dropped - 1)) & 1) != 0 && below == 0 && middle == 0) return false;
  }
  const bool round_bit = ((high >> (dropped - 1)) & 1) != 0;

  std::uint64_t significand = (high >> dropped) + (round_bit ? 1 : 0);
  // The value is about significand * 2^(dropped + 128) * 2^(e + q - shift),
  // and a double's is significand * 2^(biased - bias - 52).
  std::int64_t biased = power.exponent + q - shift + dropped + 128 + kMantissaBits + kExponentBias;
  if (biased < 1) return false;  // subnormal or zero: rounded differently
  if (significand == std::uint64_t{1} << (kMantissaBits + 1)) {
    significand >>= 1;
    ++biased;
  }
  if (biased > kLargestBiasedExponent) return false;
  const std::uint64_t bits = (static_cast<std::uint64_t>(negative) << 63) |
                             (static_cast<std::uint64_t>(biased) << kMantissaBits) |
                             (significand & ((std::uint64_t{1} << kMantissaBits) - 1));
  out = std::bit_cast<double>(bits);
  return true;
}

}  // namespace korvane::json_detail
