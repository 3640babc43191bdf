#include "small_primes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace castles {
namespace {

using Factors = std::vector<std::pair<std::uint64_t, unsigned>>;

Factors found(OddPrimes& primes, std::uint64_t m, std::uint64_t bound) {
  Factors factors;
  for (const OddPrimeFactor& factor : primes.factor(m, bound)) {
    factors.emplace_back(factor.prime, factor.exponent);
    EXPECT_EQ(factor.prime * factor.inverse, 1U) << factor.prime;
    EXPECT_EQ(factor.limit, ~std::uint64_t{0} / factor.prime) << factor.prime;
  }
  return factors;
}

// Trial division stops at the bound, except that a rest below the square of
// the next divisor is known to be prime and is listed whatever its size. One
// table serves every case, so bounds below the table's reach are kept too.
TEST(OddPrimes, FindsPrimesBelowTheBoundAndAPrimeRest) {
  struct Case {
    std::uint64_t m;
    std::uint64_t bound;
    Factors expected;
  };
  const std::vector<Case> cases = {
      {1, 1000, {}},
      {3, 64, {{3, 1}}},
      {3 * 3 * 3 * 5 * 7 * 7, 64, {{3, 3}, {5, 1}, {7, 2}}},
      {59 * 61, 64, {{59, 1}, {61, 1}}},
      {67 * 71, 64, {}},                    // both beyond the bound, rest not known prime
      {3 * 1000003, 64, {{3, 1}}},          // 1000003 > 64^2
      {3 * 4093, 64, {{3, 1}, {4093, 1}}},  // 4093 < 64^2: prime
      {65521ULL * 65521, 1 << 20, {{65521, 2}}},
      {65537ULL * 65539, 1 << 20, {}},           // beyond the table
      {4294967291, 1 << 20, {{4294967291, 1}}},  // below 2^32, no factor to 2^16
      {4052555153018976267, 1 << 20, {{3, 39}}},
      {3 * 67 * 71, 64, {{3, 1}}},  // the grown table still stops at the bound
      {59 * 61 * 67, 64, {{59, 1}, {61, 1}, {67, 1}}},
  };
  OddPrimes primes;
  for (const Case& c : cases) {
    EXPECT_EQ(found(primes, c.m, c.bound), c.expected) << c.m << " below " << c.bound;
  }
}

TEST(OddPrimes, MatchesTrialDivisionOnEveryOddNumberTo20000) {
  OddPrimes primes;
  for (std::uint64_t m = 1; m <= 20000; m += 2) {
    Factors expected;
    std::uint64_t rest = m;
    for (std::uint64_t q = 3; q * q <= rest; q += 2) {
      unsigned exponent = 0;
      for (; rest % q == 0; rest /= q) {
        ++exponent;
      }
      if (exponent != 0) {
        expected.emplace_back(q, exponent);
      }
    }
    if (rest > 1) {
      expected.emplace_back(rest, 1);
    }
    ASSERT_EQ(found(primes, m, 1 << 16), expected) << m;
  }
}

}  // namespace
}  // namespace castles
