#include "perfectness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "perfectness_internal.hpp"

namespace castles {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kPow3To35 = 50031545098999707;
// 3^35 is 3 mod 8 and lies in [2^55, 2^56), where doubles are 8 apart.
constexpr std::int64_t kPow3To35AsDouble = kPow3To35 - 3;

struct CastleCase {
  const char* what;
  std::vector<Block> blocks;
  std::int64_t expected;
};

// Castles whose perfectness follows from the rules by hand: truncation after
// every block, one rounding to 64 bits, saturation that is not sticky.
const std::vector<CastleCase> kCastles = {
    {"no blocks", {}, 1},
    {"one power", {{2, 3}}, 8},
    {"fraction first truncates to zero", {{2, -1}, {2, 1}}, 0},
    {"fraction last halves exactly", {{2, 1}, {2, -1}}, 1},
    {"fraction truncates toward zero", {{3, 1}, {2, -1}}, 1},
    {"extended multiply keeps 3^35 exact", {{3, 20}, {3, 15}}, kPow3To35},
    {"running value rounds to double first", {{3, 20}, {3, 15}, {3, 1}}, kPow3To35AsDouble * 3},
    {"exponent zero still rounds the running value", {{3, 20}, {3, 15}, {5, 0}}, kPow3To35AsDouble},
    {"zero to the zero is one", {{0, 0}}, 1},
    {"zero base", {{0, 5}}, 0},
    {"zero stays zero", {{0, 5}, {7, 2}, {-3, 3}}, 0},
    {"zero times infinity saturates", {{0, 5}, {0, -1}}, kMin},
    {"infinite first block", {{0, -1}}, kMin},
    {"infinite later block", {{2, 1}, {0, -1}}, kMin},
    {"odd power of negative base", {{-2, 3}}, -8},
    {"minus one", {{-1, 1}}, -1},
    {"negative fraction truncates to zero", {{-2, -1}}, 0},
    {"minus one to minus one", {{-1, -1}}, -1},
    {"2^62 fits", {{2, 62}}, std::int64_t{1} << 62},
    {"2^63 is out of range", {{2, 63}}, kMin},
    {"-2^63 is in range", {{-2, 63}}, kMin},
    {"two halves of 2^62", {{2, 31}, {2, 31}}, std::int64_t{1} << 62},
    {"2^62 doubled overflows", {{2, 62}, {2, 1}}, kMin},
    {"saturated times one stays", {{2, 63}, {1, 7}}, kMin},
    {"saturated times minus one saturates again", {{2, 63}, {-1, 1}}, kMin},
    {"saturation is not sticky", {{2, 63}, {2, -1}}, -(std::int64_t{1} << 62)},
    {"finite power beyond the range", {{2, 1000}}, kMin},
    {"power beyond double range", {{2, 2000}}, kMin},
    {"power that underflows to zero", {{2, -2000}}, 0},
    {"subnormal power truncates, then zero meets infinity", {{2, -1074}, {2, 1074}}, kMin},
    {"subnormal power truncates to zero", {{2, -1074}, {2, 1000}}, 0},
    {"largest bases", {{2147483647, 1}, {-2147483647 - 1, 1}}, -4611686016279904256},
};

TEST(CalculateCastlePerfectness, FollowsTheRulesByHand) {
  for (const CastleCase& c : kCastles) {
    EXPECT_EQ(calculateCastlePerfectness(c.blocks), c.expected) << c.what;
  }
}

TEST(CalculateCastlePerfectness, LargePowerPassesOnTheLibraryRounding) {
  // Beyond 2^53 the factor is whatever the math library's pow returns.
  const double f = std::pow(3.0, 35.0);
  EXPECT_EQ(calculateCastlePerfectness(std::vector<Block>{{3, 35}}), static_cast<std::int64_t>(f));
}

std::uint64_t bitsOf(double x) { return std::bit_cast<std::uint64_t>(x); }

// The proof that blockPower's integer path is std::pow: every block in its
// domain compared bit for bit, and the domain shown to end where the walk does.
TEST(BlockPower, EveryExactPowerMatchesTheLibrary) {
  std::uint64_t mismatches = 0;
  for (std::int32_t e = 0; e <= internal::kMaxExactExponent; ++e) {
    const std::int64_t limit = internal::kExactPowerBaseLimits[static_cast<std::size_t>(e)];
    ASSERT_LE(std::pow(static_cast<double>(limit), e), 0x1p53) << e;
    ASSERT_FALSE(internal::hasExactPower({static_cast<std::int32_t>(limit + 1), e})) << e;
    ASSERT_FALSE(internal::hasExactPower({static_cast<std::int32_t>(-limit - 1), e})) << e;
    for (std::int64_t b = -limit; b <= limit; ++b) {
      const Block block{static_cast<std::int32_t>(b), e};
      const double expected = std::pow(static_cast<double>(b), static_cast<double>(e));
      if (!internal::hasExactPower(block) || bitsOf(blockPower(block)) != bitsOf(expected)) {
        ADD_FAILURE() << b << "^" << e;
        if (++mismatches == 10) {
          return;
        }
      }
    }
  }
  const std::int32_t kMaxInt = std::numeric_limits<std::int32_t>::max();
  for (const Block block : std::vector<Block>{{2, -1},
                                              {1, -1},
                                              {0, -1},
                                              {1, 54},
                                              {0, 54},
                                              {-1, kMaxInt},
                                              {kMaxInt, 1},
                                              {-kMaxInt - 1, 0}}) {
    EXPECT_FALSE(internal::hasExactPower(block)) << block.base << "^" << block.exponent;
  }
}

// Blocks that share a memo slot (bases 128 apart, exponents 8 apart) evict
// each other; every answer must still be blockPower's.
TEST(PowerMemo, AnswersAsBlockPowerDoes) {
  const std::vector<Block> blocks = {
      {0, 0},  {128, 0}, {0, 8},  {-128, 0},  {0, 0},  {2, -3},
      {2, 5},  {130, 5}, {2, -3}, {-126, -3}, {2, 5},  {0, -1},
      {-1, 7}, {127, 7}, {-1, 7}, {3, 35},    {3, 35}, {-2147483647 - 1, 2},
      {0, 0}};
  internal::PowerMemo memo;
  for (int round = 0; round < 2; ++round) {
    for (const Block& block : blocks) {
      EXPECT_EQ(bitsOf(memo.power(block)), bitsOf(blockPower(block)))
          << block.base << "^" << block.exponent;
    }
  }
}

// The memo's key is the whole block: a key that dropped either sign would
// answer (b, -e) or (-b, e) with the power of (b, e) where they share a slot.
TEST(PowerMemo, SignsMakeDifferentBlocks) {
  internal::PowerMemo memo;
  for (const std::int32_t b : {2, 3, 7, 10, 128, 1000}) {
    for (const std::int32_t e : {1, 2, 3, 4, 5, 8, 16}) {
      for (const Block block : {Block{b, e}, Block{b, -e}, Block{-b, e}}) {
        EXPECT_EQ(bitsOf(memo.power(block)), bitsOf(blockPower(block)))
            << block.base << "^" << block.exponent;
      }
    }
  }
}

// From 2^53 to 2^54 doubles are two apart, so every odd power there is an
// exact tie between two doubles, and the factor is whichever the library's pow
// picks: not always the even one, so an exact integer power rounded to double
// would differ. A sample of such ties, through blockPower and through the fold
// the program runs, against std::pow.
TEST(BlockPower, TiesAboveTwo53AreTheLibrarys) {
  constexpr std::uint64_t kTwo53 = std::uint64_t{1} << 53;
  constexpr std::uint64_t kTwo54 = std::uint64_t{1} << 54;
  constexpr int kBasesPerExponent = 4000;
  PerfectnessFold fold;
  std::uint64_t mismatches = 0;
  for (std::int32_t e = 2; e <= 34; ++e) {
    // Start a little below the e-th root of 2^53; the loop skips what is short of it.
    auto b = static_cast<std::int64_t>(std::exp2(53.0 / e)) - 2;
    for (int tried = 0; tried < kBasesPerExponent; ++b) {
      std::uint64_t power = 1;
      bool wrapped = false;
      for (std::int32_t i = 0; i < e; ++i) {
        wrapped |= __builtin_mul_overflow(power, static_cast<std::uint64_t>(b), &power);
      }
      if (wrapped || power >= kTwo54) {
        break;  // and so are all larger bases
      }
      if (power <= kTwo53 || power % 2 == 0) {
        continue;
      }
      ++tried;
      for (const std::int64_t base : {b, -b}) {
        const Block block{static_cast<std::int32_t>(base), e};
        const double expected = std::pow(static_cast<double>(base), static_cast<double>(e));
        fold.add(block);
        const std::int64_t perfectness = fold.finish();
        if (bitsOf(blockPower(block)) != bitsOf(expected) ||
            perfectness != static_cast<std::int64_t>(expected)) {
          ADD_FAILURE() << base << "^" << e;
          if (++mismatches == 10) {
            return;
          }
        }
      }
    }
  }
}

// truncatedProduct answers exact products without the extended multiply; it
// must agree with it everywhere, above all at the edges of its shortcuts:
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
      EXPECT_EQ(internal::truncatedProduct(p, f),
                truncatedExtendedProduct(static_cast<double>(p), f))
          << p << " * " << f;
    }
  }
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
    ASSERT_EQ(internal::truncatedProduct(p, f), truncatedExtendedProduct(static_cast<double>(p), f))
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

#if defined(__x86_64__) && LDBL_MANT_DIG == 64
// The x87 extended multiply and a range-checked truncation: the arithmetic the
// integer code must reproduce bit for bit.
std::int64_t viaLongDouble(double d, double f) {
  const long double r = static_cast<long double>(d) * static_cast<long double>(f);
  if (std::isnan(r) || r >= 0x1p63L || r < -0x1p63L) {
    return kMin;
  }
  return static_cast<std::int64_t>(r);
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
    const auto product = static_cast<unsigned __int128>(a) * b;
    if ((product >> 64) == 1) {
      // Scale so that the result lands anywhere from 1/4 to 2^64.
      const int shift = -66 + static_cast<int>(rng() % 65);
      const double sign = (rng() & 1) != 0 ? -1.0 : 1.0;
      return {std::ldexp(static_cast<double>(a), shift) * sign, static_cast<double>(b)};
    }
  }
}

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
      ASSERT_EQ(truncatedExtendedProduct(d, f), viaLongDouble(d, f)) << d << " * " << f;
    }
  }
  constexpr int kRounds = 1 << 22;
  for (int i = 0; i < kRounds; ++i) {
    double d = 0;
    double f = 0;
    switch (i % 4) {
      case 0: {  // a running value times a block's power
        d = static_cast<double>(static_cast<std::int64_t>(rng()) >> (rng() % 64));
        const auto base = static_cast<std::int32_t>(rng() % 41) - 20;
        const auto exponent = static_cast<std::int32_t>(rng() % 61) - 30;
        f = std::pow(static_cast<double>(base), static_cast<double>(exponent));
        break;
      }
      case 1:
        std::tie(d, f) = exactTie(rng);
        break;
      case 2: {  // near +-2^63, with factors just around one
        const auto offset = static_cast<std::int64_t>(rng() % 4096) - 2048;
        d = (rng() & 1) != 0 ? 0x1p63 + static_cast<double>(offset) * 1024 : -0x1p63;
        f = 1 + static_cast<double>(static_cast<std::int64_t>(rng() % 64) - 32) * 0x1p-60;
        break;
      }
      default:
        d = randomFiniteDouble(rng);
        f = randomFiniteDouble(rng);
        // Bring the product near the integer range most of the time.
        d = std::ldexp(d, -std::ilogb(d) + static_cast<int>(rng() % 70) - 2);
        f = std::ldexp(f, -std::ilogb(f));
        break;
    }
    ASSERT_EQ(truncatedExtendedProduct(d, f), viaLongDouble(d, f))
        << std::hexfloat << d << " * " << f;
  }
}
#endif

}  // namespace
}  // namespace castles
