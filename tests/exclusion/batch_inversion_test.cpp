#include "batch_inversion.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "modular.hpp"

namespace castles {
namespace {

constexpr std::size_t kUnit = BatchInversion::kUnit;

struct InversionCase {
  const char* what;
  std::uint64_t modulus;
  std::uint64_t factor;  // a prime of the modulus that planted values share
  std::size_t invert;    // lanes whose inverses are wanted
  std::size_t certifyOnly;
  std::vector<std::size_t> planted;  // positions, invert's first, of values sharing the factor
};

// Lane counts that fill four units side by side and leave partial units;
// failures found by one bisection, by several, and by checking every unit.
const std::vector<InversionCase> kCases = {
    {"one lane", 3, 3, 1, 0, {}},
    {"partial units only", 1000003, 1000003, 21, 9, {}},
    {"a large modulus", (std::uint64_t{1} << 62) + 135, 5, 200, 130, {}},
    {"one failure among the inverted lanes", 65537ULL * 101, 65537, 150, 70, {37}},
    {"one failure among the certified lanes", 65537ULL * 101, 101, 150, 70, {190}},
    {"failures at both ends", 3ULL * 1000000007, 3, 96, 64, {0, 159}},
    {"failures in every unit", 7ULL * 65537, 7, 80, 16, {3, 20, 40, 60, 79, 88}},
    {"two failures in one unit", 11ULL * 13, 13, 64, 0, {16, 31}},
};

// Values coprime to the modulus but at the planted positions, in lanes listed
// in a shuffled order, as the grouping lists them.
struct Batch {
  std::vector<std::uint64_t> values;
  std::vector<std::uint32_t> invert;
  std::vector<std::uint32_t> certifyOnly;
};

Batch makeBatch(const InversionCase& c, std::mt19937_64& rng) {
  const std::size_t lanes = c.invert + c.certifyOnly;
  std::vector<std::uint32_t> order(lanes);
  std::iota(order.begin(), order.end(), 0U);
  std::shuffle(order.begin(), order.end(), rng);
  Batch batch{std::vector<std::uint64_t>(lanes), {}, {}};
  batch.invert.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(c.invert));
  batch.certifyOnly.assign(order.begin() + static_cast<std::ptrdiff_t>(c.invert), order.end());
  for (std::size_t position = 0; position < lanes; ++position) {
    std::uint64_t value = 0;
    do {
      value = rng() >> (rng() % 64);
    } while (std::gcd(value, c.modulus) != 1);
    if (std::count(c.planted.begin(), c.planted.end(), position) != 0) {
      value = c.factor * (1 + rng() % 1000);
    }
    batch.values[order[position]] = value;
  }
  return batch;
}

// Every inverse against inverseModulo; the lanes of exactly the units that
// hold a planted value reported failed, and nothing else of theirs finished.
TEST(BatchInversion, InvertsAndGivesUpExactlyTheUnitsThatShareAFactor) {
  std::mt19937_64 rng(41);
  BatchInversion inversion;
  for (const InversionCase& c : kCases) {
    const Batch batch = makeBatch(c, rng);
    std::set<std::uint32_t> expectedFailed;
    for (const std::size_t position : c.planted) {
      const bool inverting = position < c.invert;
      const auto& lanes = inverting ? batch.invert : batch.certifyOnly;
      const std::size_t first = (inverting ? position : position - c.invert) / kUnit * kUnit;
      for (std::size_t i = first; i < std::min(lanes.size(), first + kUnit); ++i) {
        expectedFailed.insert(lanes[i]);
      }
    }
    std::multiset<std::uint32_t> finished;
    const Montgomery montgomery(c.modulus);
    inversion.run(
        montgomery, batch.values, batch.invert, batch.certifyOnly,
        [&](std::uint32_t lane, std::uint64_t inverse) {
          finished.insert(lane);
          EXPECT_EQ(inverse, inverseModulo(batch.values[lane] % c.modulus, c.modulus).inverse)
              << c.what << ": lane " << lane;
        },
        [&](std::uint32_t lane) { finished.insert(lane); });
    const auto failed = inversion.failedLanes();
    EXPECT_EQ(std::set<std::uint32_t>(failed.begin(), failed.end()), expectedFailed) << c.what;
    EXPECT_EQ(failed.size(), expectedFailed.size()) << c.what;
    for (std::uint32_t lane = 0; lane < batch.values.size(); ++lane) {
      EXPECT_EQ(finished.count(lane), expectedFailed.count(lane) != 0 ? 0U : 1U)
          << c.what << ": lane " << lane;
    }
  }
}

}  // namespace
}  // namespace castles
