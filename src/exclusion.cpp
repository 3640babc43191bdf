#include "exclusion.hpp"

#include <set>

#include "lcm.hpp"

namespace castles {

std::vector<std::int64_t> exclusionLcms(std::span<const std::int64_t> perfectness) {
  const std::size_t n = perfectness.size();
  std::set<std::int64_t> uniquePerfectness;
  for (std::size_t i = 0; i < n; ++i) {
    std::int64_t currentLcm = 1;
    for (std::size_t j = 0; j < n; ++j) {
      if (j != i) {
        currentLcm = lcm(currentLcm, perfectness[j]);
      }
    }
    uniquePerfectness.insert(currentLcm);
  }
  return {uniquePerfectness.begin(), uniquePerfectness.end()};
}

std::size_t countDistinctExclusionLcms(std::span<const std::int64_t> perfectness) {
  return exclusionLcms(perfectness).size();
}

}  // namespace castles
