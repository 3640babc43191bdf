#include "extended_product.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "extended_reference.hpp"
#include "perfectness.hpp"
#include "wide.hpp"

namespace castles {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kPow3To35 = 50031545098999707;

// truncatedProduct answers exact products without the extended multiply, and
// the fold's multiplyIn answers them on integers alone, past 2^63 too; both
// must agree with it everywhere, above all at the edges of their shortcuts:
// 2^53 for the running value, 2^63 for the product, and non-finite factors.
TEST(TruncatedProduct, AgreesWithTheExtendedMultiply) {
  constexpr std::int64_t kTwo53 = std::int64_t{1} << 53;
  const std::int64_t products[] = {0,
                                   1,
                                   -1,
                                   7,
                                   -7,
                                   kTwo53 - 1,
                                   kTwo53,
                                   kTwo53 + 1,
                                   -kTwo53,
                                   -kTwo53 - 1,
                                   std::int64_t{1} << 62,
                                   kPow3To35,
                                   kMin,
                                   kMin + 1,
                                   -(kMin + 1)};
  const double factors[] = {0.0,
                            -0.0,
                            1.0,
                            -1.0,
                            2.0,
                            -2.0,
                            0.5,
                            -0.5,
                            3.0,
                            1024.0,
                            -1024.0,
                            0x1p53,
                            0x1p53 + 2,
                            0x1p62,
                            -0x1p62,
                            0x1p63,
                            -0x1p63,
                            0x1p64,
                            1e300,
                            0.1,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()};
  for (const std::int64_t p : products) {
    for (const double f : factors) {
      const std::int64_t expected = truncatedExtendedProduct(static_cast<double>(p), f);
      EXPECT_EQ(internal::truncatedProduct(p, f), expected) << p << " * " << f;
      EXPECT_EQ(internal::multiplyIn(p, internal::factorOf(f)), expected) << p << " * " << f;
    }
  }
  // -2^63 times -1 is 2^63, out of range, so the saturated value stays. Had
  // 2^63 been converted to int64, x86 would give -2^63 all the same, but
  // aarch64 gives 2^63 - 1, and so does a compiler folding the constants.
  EXPECT_EQ(internal::truncatedProduct(kSaturated, -1.0), kSaturated);
  // Integer pairs whose product lands near +-2^63, on both sides of it, with
  // running values on both sides of 2^53; a quarter of the factors are made
  // fractional.
  std::mt19937_64 rng(0x70d0c7);
  for (int i = 0; i < (1 << 20); ++i) {
    const int pBits = 1 + static_cast<int>(rng() % 54);
    const int fBits = std::clamp(63 - pBits + static_cast<int>(rng() % 5) - 2, 1, 63);
    const std::int64_t pSign = (rng() & 1) != 0 ? -1 : 1;
    const auto p = static_cast<std::int64_t>(rng() >> (64 - pBits)) * pSign;
    double f = static_cast<double>(rng() >> (64 - fBits)) * ((rng() & 1) != 0 ? -1.0 : 1.0);
    if (i % 4 == 0) {
      f /= 4;
    }
    const std::int64_t expected = truncatedExtendedProduct(static_cast<double>(p), f);
    ASSERT_EQ(internal::truncatedProduct(p, f), expected) << p << " * " << std::hexfloat << f;
    ASSERT_EQ(internal::multiplyIn(p, internal::factorOf(f)), expected)
        << p << " * " << std::hexfloat << f;
  }
}

// Direct products whose rounding a double multiply would get wrong.
TEST(TruncatedExtendedProduct, RoundsOnceAtSixtyFourBits) {
  const double nearTwo53 = 0x1p53 - 1;      // 53 significant bits
  const double justAboveOne = 1 + 0x1p-52;  // 53 significant bits
  // Exact product 2^53 + 1 - 2^-52: rounds to 2^53 + 1 with 64 bits, to 2^53 in double.
  EXPECT_EQ(truncatedExtendedProduct(nearTwo53, justAboveOne), (std::int64_t{1} << 53) + 1);
  // (2^52+1)(2^12+1) has 65 bits ending in 1: an exact tie, kept even (rounded down).
  EXPECT_EQ(truncatedExtendedProduct(0x1p52 + 1, 0x1p12 + 1), kMin);
  EXPECT_EQ(truncatedExtendedProduct((0x1p52 + 1) * 0x1p-2, 0x1p12 + 1),
            static_cast<std::int64_t>((std::uint64_t{1} << 62) + (std::uint64_t{1} << 50) +
                                      (std::uint64_t{1} << 10)));
  // The same tie one unit up in the last place rounds up to even.
  EXPECT_EQ(truncatedExtendedProduct((0x1p52 + 3) * 0x1p-2, 0x1p12 + 1),
            static_cast<std::int64_t>((std::uint64_t{1} << 62) + (std::uint64_t{1} << 50) +
                                      3 * (std::uint64_t{1} << 10) + 1));
  // Below 2^23 by less than half a unit in the 64th bit: the rounding carries
  // into a new top bit (the castle 2^25 * 3 * 5 * 13 * 1152509 / 898957020).
  EXPECT_EQ(truncatedExtendedProduct(7540998049628160.0, 0x1.31c635211748bp-30), 1 << 23);
  EXPECT_EQ(truncatedExtendedProduct(0x1p63, -1.0), kMin);
  EXPECT_EQ(truncatedExtendedProduct(-0x1p63, 1.0), kMin);
  EXPECT_EQ(truncatedExtendedProduct(0x1p62, 1.75), 7 * (std::int64_t{1} << 60));
  EXPECT_EQ(truncatedExtendedProduct(0x1p62, 2.5), kMin);
  EXPECT_EQ(truncatedExtendedProduct(0x1p62, -2.0), kMin);  // -2^63 itself, in range
  EXPECT_EQ(truncatedExtendedProduct(0x1p62 - 1024, -2.0), kMin + 2048);
  EXPECT_EQ(truncatedExtendedProduct(-0.0, 5.0), 0);
  EXPECT_EQ(truncatedExtendedProduct(0.0, std::numeric_limits<double>::infinity()), kMin);
  EXPECT_EQ(truncatedExtendedProduct(1.0, std::numeric_limits<double>::quiet_NaN()), kMin);
  EXPECT_EQ(truncatedExtendedProduct(std::numeric_limits<double>::denorm_min(), 0x1p1023), 0);
  EXPECT_EQ(truncatedExtendedProduct(0x1p-1000, 0x1p1000), 1);
  // Far beyond double's range, yet finite in the extended format: out of range.
  EXPECT_EQ(truncatedExtendedProduct(std::numeric_limits<double>::max(), -0x1p1000), kMin);
  // (2 - 2^-52) truncates to 1.
  EXPECT_EQ(truncatedExtendedProduct(std::numeric_limits<double>::max(), 0x1p-1023), 1);
}

double randomFiniteDouble(std::mt19937_64& rng) {
  for (;;) {
    const double x = std::bit_cast<double>(rng());
    if (std::isfinite(x)) {
      return x;
    }
  }
}

// Odd significands whose product has exactly 65 bits: the dropped bit is a tie.
std::pair<double, double> exactTie(std::mt19937_64& rng) {
  for (;;) {
    const std::uint64_t a = (rng() >> 11) | (std::uint64_t{1} << 52) | 1;
    const int bBits = 12 + static_cast<int>(rng() % 2);
    const std::uint64_t b = (rng() >> (64 - bBits)) | (std::uint64_t{1} << (bBits - 1)) | 1;
    if (mulWide(a, b).hi == 1) {
      // Scale so that the result lands anywhere from 1/4 to 2^64.
      const int shift = -66 + static_cast<int>(rng() % 65);
      const double sign = (rng() & 1) != 0 ? -1.0 : 1.0;
      return {std::ldexp(static_cast<double>(a), shift) * sign, static_cast<double>(b)};
    }
  }
}

// Operands of four kinds in turn, by round: a running value times a block's
// power, exact ties, values near +-2^63 times factors near one, and random
// doubles brought near the integer range.
std::pair<double, double> randomOperands(std::mt19937_64& rng, int round) {
  switch (round % 4) {
    case 0: {
      const double d = static_cast<double>(static_cast<std::int64_t>(rng()) >> (rng() % 64));
      const auto base = static_cast<std::int32_t>(rng() % 41) - 20;
      const auto exponent = static_cast<std::int32_t>(rng() % 61) - 30;
      return {d, std::pow(static_cast<double>(base), static_cast<double>(exponent))};
    }
    case 1:
      return exactTie(rng);
    case 2: {
      const auto offset = static_cast<std::int64_t>(rng() % 4096) - 2048;
      const double d = (rng() & 1) != 0 ? 0x1p63 + static_cast<double>(offset) * 1024 : -0x1p63;
      return {d, 1 + static_cast<double>(static_cast<std::int64_t>(rng() % 64) - 32) * 0x1p-60};
    }
    default: {
      const double d = randomFiniteDouble(rng);
      const double f = randomFiniteDouble(rng);
      return {std::ldexp(d, -std::ilogb(d) + static_cast<int>(rng() % 70) - 2),
              std::ldexp(f, -std::ilogb(f))};
    }
  }
}

// Two normal operands take a route of their own, without branches; every
// other pair takes the general one. The two must agree, on every machine.
TEST(TruncatedExtendedProduct, NormalOperandsAgreeWithTheGeneralRoute) {
  std::mt19937_64 rng(0x40a11);
  for (int i = 0; i < (1 << 21); ++i) {
    const auto [d, f] = randomOperands(rng, i);
    ASSERT_EQ(truncatedExtendedProduct(d, f), internal::truncatedExtendedProductGeneral(d, f))
        << std::hexfloat << d << " * " << f;
  }
}

#if CASTLES_HAS_X87_REFERENCE
using reference::x87TruncatedProduct;

TEST(TruncatedExtendedProduct, MatchesX87ExtendedArithmetic) {
  std::mt19937_64 rng(0x5eed2026);
  const double specials[] = {0.0,
                             -0.0,
                             1.0,
                             -1.0,
                             0.5,
                             -0.5,
                             0x1p63,
                             -0x1p63,
                             0x1p62,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::max()};
  for (const double d : specials) {
    for (const double f : specials) {
      ASSERT_EQ(truncatedExtendedProduct(d, f), x87TruncatedProduct(d, f)) << d << " * " << f;
    }
  }
  constexpr int kRounds = 1 << 22;
  for (int i = 0; i < kRounds; ++i) {
    const auto [d, f] = randomOperands(rng, i);
    ASSERT_EQ(truncatedExtendedProduct(d, f), x87TruncatedProduct(d, f))
        << std::hexfloat << d << " * " << f;
  }
}
#endif

}  // namespace
}  // namespace castles
