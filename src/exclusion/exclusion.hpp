#pragma once
// The exclusion stage: for every castle, the lcm fold from 1 over all other
// castles' perfectness values in ascending index order, and how many distinct
// values those folds give.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace castles {

// How far the stage has got, in lcm evaluations: those done, and a bound on
// those to come that holds however the values turn out.
struct ExclusionProgress {
  std::size_t reached = 0;  // indices folded so far
  std::size_t count = 0;    // indices in all
  std::uint64_t lcmsDone = 0;
  std::uint64_t lcmsLeftAtMost = 0;
};

// Told how far the stage has got every 65536 lcm evaluations or so, and once
// when it ends; it is called from the stage's loop, so it must be quick.
class ExclusionObserver {
 public:
  virtual void advanced(const ExclusionProgress& progress) = 0;
  // An observer that takes no notice.
  static ExclusionObserver& none();

 protected:
  ExclusionObserver() = default;
  ExclusionObserver(const ExclusionObserver&) = default;
  ExclusionObserver& operator=(const ExclusionObserver&) = default;
  ~ExclusionObserver() = default;
};

// @return the distinct exclusion LCM values, in ascending signed order
std::vector<std::int64_t> exclusionLcms(std::span<const std::int64_t> perfectness,
                                        ExclusionObserver& observer = ExclusionObserver::none());

// @return the number of distinct exclusion LCM values
std::size_t countDistinctExclusionLcms(std::span<const std::int64_t> perfectness,
                                       ExclusionObserver& observer = ExclusionObserver::none());

}  // namespace castles
