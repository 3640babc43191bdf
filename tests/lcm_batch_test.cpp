#include "lcm_batch.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "lcm.hpp"

namespace castles {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Values that stress every branch: zero, ±1, the extremes, powers of two,
// small multiples, wrapped products and values of every width.
std::vector<std::int64_t> mixedValues(std::mt19937_64& rng, std::size_t count) {
  std::vector<std::int64_t> values = {0,
                                      1,
                                      -1,
                                      2,
                                      -2,
                                      kMin,
                                      kMin + 1,
                                      kMax,
                                      kMax - 1,
                                      std::int64_t{1} << 62,
                                      -(std::int64_t{1} << 62),
                                      6,
                                      -10,
                                      49};
  while (values.size() < count) {
    const auto raw = static_cast<std::int64_t>(rng());
    switch (rng() % 4) {
      case 0:
        values.push_back(raw);
        break;
      case 1:
        values.push_back(raw >> (rng() % 64));
        break;
      case 2:
        values.push_back(static_cast<std::int64_t>(rng() % 200) - 100);
        break;
      default:
        values.push_back(wrappingMultiply(values[rng() % values.size()], raw % 7 + 2));
        break;
    }
  }
  return values;
}

TEST(LcmBatch, MatchesScalarLcm) {
  std::mt19937_64 rng(7);
  const std::vector<std::int64_t> values = mixedValues(rng, 500);
  LcmBatch batch;
  for (const std::int64_t p : mixedValues(rng, 300)) {
    std::vector<std::int64_t> got = values;
    batch.apply(got, p);
    for (std::size_t k = 0; k < values.size(); ++k) {
      ASSERT_EQ(got[k], lcm(values[k], p)) << "lcm(" << values[k] << ", " << p << ")";
    }
  }
}

// The vector and portable loops must leave the same divisor and step count,
// including lanes whose quotient is too large for the floating-point estimate.
TEST(EuclidBatch, VectorLanesMatchPortableLoop) {
  if (!internal::avx512Available()) {
    GTEST_SKIP() << "no AVX-512 on this processor";
  }
  std::mt19937_64 rng(11);
  constexpr std::size_t kCount = 4096 + 40;  // 86 full groups of six vectors, then one
  std::vector<std::uint64_t> a(kCount);
  std::vector<std::uint64_t> b(kCount);
  for (std::size_t k = 0; k < kCount; ++k) {
    a[k] = rng() >> (rng() % 64);
    b[k] = rng() >> (rng() % 64);
    if (k % 16 == 0) {
      a[k] = std::uint64_t{1} << 63;  // magnitude of -2^63
    }
    if (k % 16 == 1) {
      b[k] = (std::uint64_t{1} << 62) + rng() % 1000;
    }
  }
  std::vector<std::uint64_t> steps(kCount, 0);
  std::vector<std::uint64_t> a2 = a;
  std::vector<std::uint64_t> b2 = b;
  std::vector<std::uint64_t> steps2 = steps;
  const std::vector<std::uint64_t> a0 = a;
  const std::vector<std::uint64_t> b0 = b;
  internal::euclidPortable(a, b, steps);
  internal::euclidAvx512(a2, b2, steps2);
  for (std::size_t k = 0; k < kCount; ++k) {
    ASSERT_EQ(a[k], std::gcd(a0[k], b0[k])) << a0[k] << ", " << b0[k];
  }
  EXPECT_EQ(a, a2);
  EXPECT_EQ(steps, steps2);
}

}  // namespace
}  // namespace castles
