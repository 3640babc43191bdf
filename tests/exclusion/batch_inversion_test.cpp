#include "batch_inversion.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kernel.hpp"
#include "kernel_names.hpp"
#include "modular.hpp"

namespace castles {
namespace {

struct InversionCase {
  const char* what;
  std::uint64_t modulus;
  std::uint64_t factor;  // a prime of the modulus that planted values share
  std::size_t invert;    // lanes whose inverses are wanted
  std::size_t certifyOnly;
  std::vector<std::size_t> planted;  // positions, invert's first, of values sharing the factor
  // Positions of values from 2^63 up, which the chains cannot read signed;
  // the other values are below 2^63.
  std::vector<std::size_t> fromTopBit;
};

// Lane counts that fill four units side by side and leave partial units;
// failures found by one bisection, by several, and by checking every unit;
// values from 2^63 up in whole blocks, in the units after them and among the
// lanes only certified.
const std::vector<InversionCase> kCases = {
    {"one lane", 3, 3, 1, 0, {}, {}},
    {"partial units only", 1000003, 1000003, 21, 9, {}, {}},
    {"a large modulus", (std::uint64_t{1} << 62) + 135, 5, 200, 130, {}, {5, 150, 250}},
    {"a modulus near 2^63, eight units side by side twice",
     (std::uint64_t{1} << 63) - 25,
     3,
     300,
     0,
     {},
     {}},
    {"one failure among the inverted lanes", 65537ULL * 101, 65537, 150, 70, {37}, {140}},
    {"one failure among the certified lanes", 65537ULL * 101, 101, 150, 70, {190}, {}},
    {"failures at both ends", 3ULL * 1000000007, 3, 96, 64, {0, 159}, {100}},
    {"failures in every unit", 7ULL * 65537, 7, 80, 16, {3, 20, 40, 60, 79, 88}, {}},
    {"two failures in one unit", 11ULL * 13, 13, 64, 0, {16, 31}, {}},
};

// Values coprime to the modulus but at the planted positions.
std::vector<std::uint64_t> makeValues(const InversionCase& c, std::mt19937_64& rng) {
  std::vector<std::uint64_t> values(c.invert + c.certifyOnly);
  for (std::size_t position = 0; position < values.size(); ++position) {
    const bool fromTopBit = std::count(c.fromTopBit.begin(), c.fromTopBit.end(), position) != 0;
    std::uint64_t value = 0;
    do {
      value = fromTopBit ? rng() | std::uint64_t{1} << 63 : rng() >> (1 + rng() % 63);
    } while (std::gcd(value, c.modulus) != 1);
    if (std::count(c.planted.begin(), c.planted.end(), position) != 0) {
      value = c.factor * (1 + rng() % 1000);
    }
    values[position] = value;
  }
  return values;
}

// The positions of the units that hold a planted value, in the layout the
// batch inversion documents, counted separately below `invert` and above.
std::set<std::uint32_t> unitsOfPlanted(const InversionCase& c) {
  std::set<std::size_t> units;
  const std::size_t invertUnits = internal::unitsOf(c.invert);
  for (const std::size_t position : c.planted) {
    units.insert(position < c.invert
                     ? internal::unitOf(position, c.invert)
                     : invertUnits + internal::unitOf(position - c.invert, c.certifyOnly));
  }
  std::set<std::uint32_t> failed;
  for (std::size_t i = 0; i < c.invert + c.certifyOnly; ++i) {
    const std::size_t unit = i < c.invert
                                 ? internal::unitOf(i, c.invert)
                                 : invertUnits + internal::unitOf(i - c.invert, c.certifyOnly);
    if (units.count(unit) != 0) {
      failed.insert(static_cast<std::uint32_t>(i));
    }
  }
  return failed;
}

// The layout itself: whole blocks interleave their units, the rest runs in
// consecutive sixteens.
TEST(BatchInversion, UnitsInterleaveInWholeBlocksOnly) {
  EXPECT_EQ(internal::unitsOf(300), 2 * 8 + 3U);  // 256 in two blocks, 44 in three units
  EXPECT_EQ(internal::unitOf(9, 300), 1U);
  EXPECT_EQ(internal::unitOf(128 + 15, 300), 8 + 7U);
  EXPECT_EQ(internal::unitOf(256 + 16, 300), 16 + 1U);
  EXPECT_EQ(internal::unitOf(100, 127), 6U);  // no whole block: consecutive units
}

// Runs once per kernel, skipping those this build or processor lacks.
class BatchInversionKernels : public testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
    if (!kernelAvailable(GetParam())) {
      GTEST_SKIP() << kernelName(GetParam()) << " is not built or not supported here";
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Kernels, BatchInversionKernels,
                         testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512),
                         [](const testing::TestParamInfo<Kernel>& param) {
                           return std::string(kernelName(param.param));
                         });

// Every inverse against inverseModulo; exactly the units that hold a planted
// value fail, and only they.
TEST_P(BatchInversionKernels, InvertsAndGivesUpExactlyTheUnitsThatShareAFactor) {
  std::mt19937_64 rng(41);
  BatchInversion inversion(GetParam());
  for (const InversionCase& c : kCases) {
    const std::vector<std::uint64_t> values = makeValues(c, rng);
    const std::set<std::uint32_t> expectedFailed = unitsOfPlanted(c);
    inversion.run(Montgomery(c.modulus), values, c.invert);
    EXPECT_EQ(inversion.anyFailed(), !expectedFailed.empty()) << c.what;
    for (std::uint32_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(inversion.certified(i), expectedFailed.count(i) == 0) << c.what << ": " << i;
      if (i < c.invert && inversion.certified(i)) {
        ASSERT_EQ(inversion.inverses()[i], inverseModulo(values[i] % c.modulus, c.modulus).inverse)
            << c.what << ": position " << i;
      }
    }
  }
}

}  // namespace
}  // namespace castles
