#include "perfectness.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

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
    {"zero meets a power past the double range", {{0, 1}, {3, -1}, {2147483647, 34}}, kMin},
    {"zero stays zero below it", {{0, 1}, {-2147483647 - 1, 33}, {5, 3}}, 0},
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

// Block by block, and as one run of bases and exponents, which takes its own
// path past a zero product.
TEST(CalculateCastlePerfectness, FollowsTheRulesByHand) {
  for (const CastleCase& c : kCastles) {
    EXPECT_EQ(calculateCastlePerfectness(c.blocks), c.expected) << c.what;
    std::vector<std::int32_t> run;
    for (const Block& block : c.blocks) {
      run.insert(run.end(), {block.base, block.exponent});
    }
    PerfectnessFold fold;
    fold.add(run);
    EXPECT_EQ(fold.finish(), c.expected) << c.what << ", as one run";
  }
}

TEST(CalculateCastlePerfectness, LargePowerPassesOnTheLibraryRounding) {
  // Beyond 2^53 the factor is whatever the math library's pow returns.
  const double f = std::pow(3.0, 35.0);
  EXPECT_EQ(calculateCastlePerfectness(std::vector<Block>{{3, 35}}), static_cast<std::int64_t>(f));
}

}  // namespace
}  // namespace castles
