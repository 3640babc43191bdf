#include "exclusion.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "lcm.hpp"
#include "naive_exclusion.hpp"

namespace castles {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct ExclusionCase {
  const char* what;
  std::vector<std::int64_t> perfectness;
  std::vector<std::int64_t> expected;  // the distinct exclusion values, ascending
};

// Small sequences worked out by hand from the fold's definition.
const std::vector<ExclusionCase> kCases = {
    {"no castles", {}, {}},
    {"one castle folds nothing", {12345}, {1}},
    {"the worked example", {8, 4, 6}, {8, 12, 24}},
    {"a repeated value", {6, 6, 4}, {6, 12}},
    {"all equal", {5, 5, 5, 5}, {5}},
    {"all minus one", {-1, -1, -1}, {1}},
    {"one zero", {0, 3, 4}, {0, 12}},
    {"two zeros meet lcm(0, 0)", {0, 0, 5}, {0}},
    {"three zeros", {0, 0, 0}, {0}},
    {"saturated value with minus one", {kMin, -1}, {kMin, 1}},
    {"negative values keep the sign the divisors leave", {-4, 6}, {-4, 6}},
    {"order matters for signs", {4, -6, 9}, {-18, 12, 36}},
};

TEST(ExclusionLcms, WorkedCases) {
  for (const ExclusionCase& c : kCases) {
    EXPECT_EQ(exclusionLcms(c.perfectness), c.expected) << c.what;
    EXPECT_EQ(countDistinctExclusionLcms(c.perfectness), c.expected.size()) << c.what;
  }
}

// Perfectness sequences of the kinds that exercise the merging of exclusions:
// small values that never wrap, values that wrap at once, zeros, -1, -2^63,
// runs of equal neighbours, long non-wrapping prefixes that wrap later, and
// values that share small and large primes with values before them.
std::vector<std::int64_t> randomPerfectness(std::mt19937_64& rng, std::size_t maxCastles) {
  const std::size_t n = rng() % maxCastles;
  std::vector<std::int64_t> values;
  const int kind = static_cast<int>(rng() % 7);
  const std::int64_t smallPrimePowers[] = {1, 2, 3, 4, 5, 7, 8, 9, 11, 16, 25, 27, 49};
  while (values.size() < n) {
    std::int64_t value = 0;
    switch (rng() % 8 < 5 ? kind : static_cast<int>(rng() % 7)) {
      case 0:
        value = smallPrimePowers[rng() % std::size(smallPrimePowers)];
        break;
      case 1:
        value = static_cast<std::int64_t>(rng() >> (4 + rng() % 40));
        break;
      case 2:
        value = static_cast<std::int64_t>(rng());
        break;
      case 3:
        value = std::array<std::int64_t, 4>{0, -1, kMin, 1}[rng() % 4];
        break;
      case 4:
        value = static_cast<std::int64_t>(rng() % 13) - 6;
        break;
      case 5:  // a prime power large enough to wrap the running value eventually
        value = std::array<std::int64_t, 5>{1009, 1013, 65537, 2147483647, 999983}[rng() % 5];
        break;
      default:  // an earlier value times a small number or a large prime
        value = values.empty() ? 6 : values[rng() % values.size()];
        value = wrappingMultiply(
            value, std::array<std::int64_t, 6>{2, 3, 12, 45, 1000003, 998244353}[rng() % 6]);
        break;
    }
    if (rng() % 5 == 0) {
      value = wrappingMultiply(value, -1);
    }
    const std::size_t run = rng() % 6 == 0 ? 1 + rng() % 4 : 1;
    for (std::size_t k = 0; k < run && values.size() < n; ++k) {
      values.push_back(value);
    }
  }
  return values;
}

// The merged fold must give exactly the set of values of the fold from scratch
// for every castle. Seeded, so a failure reproduces.
TEST(ExclusionLcms, MatchesTheFoldFromScratch) {
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 12000; ++round) {
    // Mostly small inputs; every hundredth is long enough that the running
    // values fill several batches of vector lanes.
    const std::size_t maxCastles = round % 100 == 0 ? 400 : 40;
    const std::vector<std::int64_t> perfectness = randomPerfectness(rng, maxCastles);
    ASSERT_EQ(exclusionLcms(perfectness), reference::naiveExclusionLcms(perfectness))
        << "round " << round;
  }
}

class RecordedProgress final : public ExclusionObserver {
 public:
  void advanced(const ExclusionProgress& progress) override { reports.push_back(progress); }
  std::vector<ExclusionProgress> reports;
};

// What the stage reports may be shown as a share of the work done, so the
// bound on the work left must hold: the lcms done plus the bound never grow
// from one report to the next, and the last report comes at the end with
// nothing left. While no running values merge, as when every value wraps,
// the bound is exact.
TEST(ExclusionLcms, ProgressBoundsTheWorkLeft) {
  std::mt19937_64 rng(20261209);
  std::vector<std::vector<std::int64_t>> inputs(40);
  for (std::vector<std::int64_t>& perfectness : inputs) {
    perfectness = randomPerfectness(rng, 400);
  }
  std::vector<std::int64_t>& wrapping = inputs.front();
  wrapping.clear();
  for (int i = 0; i < 1200; ++i) {
    wrapping.push_back(static_cast<std::int64_t>((rng() >> 34) * (rng() >> 34)));
  }
  for (const std::vector<std::int64_t>& perfectness : inputs) {
    RecordedProgress progress;
    static_cast<void>(exclusionLcms(perfectness, progress));
    const std::vector<ExclusionProgress>& reports = progress.reports;
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().reached, perfectness.size());
    EXPECT_EQ(reports.back().count, perfectness.size());
    EXPECT_EQ(reports.back().lcmsLeftAtMost, 0U);
    for (std::size_t k = 1; k < reports.size(); ++k) {
      EXPECT_LE(reports[k].lcmsDone + reports[k].lcmsLeftAtMost,
                reports[k - 1].lcmsDone + reports[k - 1].lcmsLeftAtMost)
          << "report " << k << " of " << perfectness.size() << " castles";
    }
    if (&perfectness == &wrapping) {
      EXPECT_GT(reports.size(), 4U) << "reports come every 65536 lcms";
      for (const ExclusionProgress& report : reports) {
        EXPECT_EQ(report.lcmsDone + report.lcmsLeftAtMost, reports.back().lcmsDone);
      }
    }
  }
}

}  // namespace
}  // namespace castles
