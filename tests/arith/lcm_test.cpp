#include "lcm.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace castles {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

__extension__ using Wide = __int128;

// Reference arithmetic in 128 bits, where -2^63 / -1 and -2^63 rem -1 are
// ordinary operations; only the final product is cut back to 64 bits.
std::int64_t referenceGcd(std::int64_t a, std::int64_t b) {
  Wide u = a;
  Wide v = b;
  while (v != 0) {
    const Wide t = u - v * (u / v);
    u = v;
    v = t;
  }
  return static_cast<std::int64_t>(u);
}

std::int64_t referenceLcm(std::int64_t a, std::int64_t b) {
  const Wide g = referenceGcd(a, b);
  if (g == 0) {
    return 0;
  }
  const Wide q = Wide{a} / g;
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(q) * static_cast<std::uint64_t>(b));
}

struct Case {
  std::int64_t a;
  std::int64_t b;
  std::int64_t expected;
};

// The divisor keeps the sign the remainder sequence leaves it.
TEST(Gcd, SignFollowsTheRemainderSequence) {
  const std::vector<Case> cases = {
      {-6, 0, -6},        {0, -4, -4},     {0, 0, 0},        {-4, 6, 2},
      {4, -6, -2},        {12, 18, 6},     {-12, -18, -6},   {kMin, -1, -1},
      {kMin, kMin, kMin}, {kMin, 0, kMin}, {kMin, kMax, -1}, {kMax, kMin, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gcd(c.a, c.b), c.expected) << c.a << ", " << c.b;
  }
}

// Division before multiplication, wrapping products, and lcm(0, 0) = 0.
TEST(Lcm, DividesFirstAndWraps) {
  const std::vector<Case> cases = {
      {4, 6, 12},       {4, -6, 12},
      {-4, 6, -12},     {7, 0, 0},
      {0, 7, 0},        {0, 0, 0},
      {1, 9, 9},        {1, -9, -9},
      {1, -1, 1},       {-1, -1, -1},
      {kMin, -1, kMin}, {-1, kMin, kMin},
      {kMin, 2, kMin},  {kMax, 2, -2},
      {-6, -10, -30},   {std::int64_t{1} << 32, (std::int64_t{1} << 32) + 1, std::int64_t{1} << 32},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lcm(c.a, c.b), c.expected) << c.a << ", " << c.b;
  }
}

std::vector<std::int64_t> boundaryValues() {
  std::vector<std::int64_t> values;
  for (std::int64_t i = 0; i < 6; ++i) {
    values.insert(values.end(), {kMin + i, kMax - i, i, -i, (std::int64_t{1} << 32) + i - 3,
                                 -(std::int64_t{1} << 32) - i + 3, (std::int64_t{1} << 62) - i});
  }
  return values;
}

TEST(Lcm, MatchesWideReference) {
  for (std::int64_t a = -60; a <= 60; ++a) {
    for (std::int64_t b = -60; b <= 60; ++b) {
      ASSERT_EQ(gcd(a, b), referenceGcd(a, b)) << a << ", " << b;
      ASSERT_EQ(lcm(a, b), referenceLcm(a, b)) << a << ", " << b;
    }
  }
  const std::vector<std::int64_t> edges = boundaryValues();
  for (const std::int64_t a : edges) {
    for (const std::int64_t b : edges) {
      ASSERT_EQ(gcd(a, b), referenceGcd(a, b)) << a << ", " << b;
      ASSERT_EQ(lcm(a, b), referenceLcm(a, b)) << a << ", " << b;
    }
  }
  std::mt19937_64 rng(42);
  for (int i = 0; i < 200000; ++i) {
    const auto a = static_cast<std::int64_t>(rng()) >> (rng() % 64);
    const auto b = static_cast<std::int64_t>(rng()) >> (rng() % 64);
    ASSERT_EQ(lcm(a, b), referenceLcm(a, b)) << a << ", " << b;
  }
}

}  // namespace
}  // namespace castles
