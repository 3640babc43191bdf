#include "exclusion.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

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

}  // namespace
}  // namespace castles
