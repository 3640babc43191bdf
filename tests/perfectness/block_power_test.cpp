#include "block_power.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "perfectness.hpp"

namespace castles {
namespace {

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

}  // namespace
}  // namespace castles
