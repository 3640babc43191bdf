#pragma once
// The exclusion stage: for every castle, the lcm fold from 1 over all other
// castles' perfectness values in ascending index order, and how many distinct
// values those folds give.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace castles {

// @return the distinct exclusion LCM values, in ascending signed order
std::vector<std::int64_t> exclusionLcms(std::span<const std::int64_t> perfectness);

// @return the number of distinct exclusion LCM values
std::size_t countDistinctExclusionLcms(std::span<const std::int64_t> perfectness);

}  // namespace castles
