#pragma once
// The exclusion stage exactly as defined: for every castle a fresh lcm fold
// from 1 over all other perfectness values in ascending index order, n*(n-1)
// lcm evaluations in all. The reference that faster code is checked against.

#include <cstdint>
#include <set>
#include <span>
#include <vector>

#include "lcm.hpp"

namespace castles::reference {

inline std::vector<std::int64_t> naiveExclusionLcms(std::span<const std::int64_t> perfectness) {
  std::set<std::int64_t> uniquePerfectness;
  for (std::size_t i = 0; i < perfectness.size(); ++i) {
    std::int64_t currentLcm = 1;
    for (std::size_t j = 0; j < perfectness.size(); ++j) {
      if (j != i) {
        currentLcm = lcm(currentLcm, perfectness[j]);
      }
    }
    uniquePerfectness.insert(currentLcm);
  }
  return {uniquePerfectness.begin(), uniquePerfectness.end()};
}

}  // namespace castles::reference
