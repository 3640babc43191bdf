#include "exclusion.hpp"

#include <algorithm>
#include <numeric>
#include <span>
#include <utility>

#include "lcm.hpp"
#include "lcm_batch.hpp"

namespace castles {
namespace {

// Drops later repeats of a value, keeping the first occurrence and the order.
// Sorting positions by value finds the repeats in O(m log m) whatever the
// values, with one flat array instead of a node per value.
void dropRepeats(std::vector<std::int64_t>& values) {
  std::vector<std::uint32_t> positions(values.size());
  std::iota(positions.begin(), positions.end(), std::uint32_t{0});
  std::sort(positions.begin(), positions.end(), [&values](std::uint32_t i, std::uint32_t j) {
    return values[i] != values[j] ? values[i] < values[j] : i < j;
  });
  std::vector<bool> repeat(values.size(), false);
  for (std::size_t k = 1; k < positions.size(); ++k) {
    repeat[positions[k]] = values[positions[k]] == values[positions[k - 1]];
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!repeat[i]) {
      values[kept++] = values[i];
    }
  }
  values.resize(kept);
}

// Drops the running values equal to `all`, which rejoin it, and merges equal
// neighbours. @return whether any rejoined
bool mergeEqual(std::vector<std::int64_t>& currentLcms, std::int64_t all) {
  bool someRejoined = false;
  std::size_t kept = 0;
  for (const std::int64_t value : currentLcms) {
    if (value == all) {
      someRejoined = true;
    } else if (kept == 0 || currentLcms[kept - 1] != value) {
      currentLcms[kept++] = value;
    }
  }
  currentLcms.resize(kept);
  return someRejoined;
}

// Merges the running values at every index while merges keep happening, and
// at doubling gaps of up to kMaxGap indices while none do. Merging only
// saves work: a value left unmerged folds to the same result as the one it
// equals (a value equal to `all` stays equal to it), and the repeats go when
// the results are sorted. So when every value wraps and nothing merges, the
// pass over the values is skipped at nearly every index.
class MergeSchedule {
 public:
  // @return whether a running value rejoined `all`
  bool merge(std::vector<std::int64_t>& currentLcms, std::int64_t all) {
    if (--wait_ != 0) {
      return false;
    }
    const std::size_t before = currentLcms.size();
    const bool rejoined = mergeEqual(currentLcms, all);
    gap_ = currentLcms.size() < before ? 1 : std::min(2 * gap_, kMaxGap);
    wait_ = gap_;
    return rejoined;
  }

 private:
  static constexpr std::size_t kMaxGap = 64;
  std::size_t gap_ = 1;
  std::size_t wait_ = 1;  // indices until the next merge
};

// Counts the stage's lcm evaluations and tells the observer, now and then,
// how many there were and how many more there can be. The list of running
// values grows by at most one per index and shrinks whenever values merge,
// so with s running values and r indices left, what is left is at most
// (s + 1) + (s + 2) + ... + (s + r), counting the lcm for `all` as one. The
// bound is exact while nothing merges, as when every value wraps, and only
// ever too high otherwise, so a share of the work computed from it is a
// lower bound that a person can be shown.
class WorkCount {
 public:
  WorkCount(ExclusionObserver& observer, std::span<const std::int64_t> perfectness)
      : observer_(observer), perfectness_(perfectness) {}

  // Before the index of p, which takes one lcm per running value and one for
  // `all`. The report, when one is due, is of the state before it.
  void before(const std::int64_t& p, std::size_t running) {
    if (budget_ <= 0) {
      report(static_cast<std::size_t>(&p - perfectness_.data()), running);
    }
    budget_ -= static_cast<std::int64_t>(running) + 1;
  }

  // @param reached the indices folded so far
  void report(std::size_t reached, std::size_t running) {
    done_ += static_cast<std::uint64_t>(kReportEvery - budget_);
    // (s + 1) + ... + (s + r) = r (2s + r + 1) / 2, where s <= reached, so
    // the product is at most (2n + 1)^2 / 4, which fits for the fewer than
    // 2^32 values the batch takes.
    const std::uint64_t left = perfectness_.size() - reached;
    const std::uint64_t leftAtMost = left * (2 * std::uint64_t{running} + left + 1) / 2;
    observer_.advanced(ExclusionProgress{reached, perfectness_.size(), done_, leftAtMost});
    budget_ = kReportEvery;
  }

 private:
  ExclusionObserver& observer_;
  std::span<const std::int64_t> perfectness_;
  // Every 65536 lcms keeps the observer's clock out of the loop's cost.
  static constexpr std::int64_t kReportEvery = std::int64_t{1} << 16;
  // The lcms up to the last report, and those still to go before the next.
  std::uint64_t done_ = 0;
  std::int64_t budget_ = kReportEvery;
};

}  // namespace

ExclusionObserver& ExclusionObserver::none() {
  class Nobody final : public ExclusionObserver {
   public:
    void advanced(const ExclusionProgress& /*progress*/) override {}
  };
  static Nobody nobody;
  return nobody;
}

// All exclusions advance together, index by index. An exclusion's value after
// index j depends only on its running value and on the indices still ahead, so
// exclusions whose running values are equal at the same index end equal, and
// only one of them needs carrying on:
// - `all` is the fold over every index so far. Exclusions of castles still
//   ahead share it; at index j, castle j's exclusion leaves it, keeping the
//   value it had before j.
// - `currentLcms` holds the running values of exclusions that have left
//   `all`, in order of their castles, with equal neighbours merged. One that
//   becomes equal to `all` rejoins it and ends at the fold over all castles.
// Without wrapping, the running values of neighbouring exclusions mostly
// agree, so `currentLcms` stays short and the stage costs O(n) lcm evaluations
// times its length; when every value wraps it costs n(n-1)/2.
std::vector<std::int64_t> exclusionLcms(std::span<const std::int64_t> perfectness,
                                        ExclusionObserver& observer) {
  std::vector<std::int64_t> currentLcms;
  currentLcms.reserve(perfectness.size() + 1);  // at once: no outgrown blocks left in the heap
  std::int64_t all = 1;
  bool someRejoined = false;
  std::size_t sizeAfterLastSweep = 0;
  LcmBatch batch;
  MergeSchedule merges;
  WorkCount work(observer, perfectness);
  for (const std::int64_t& p : perfectness) {
    work.before(p, currentLcms.size());
    const std::int64_t nextAll = lcm(all, p);
    batch.apply(currentLcms, p);
    someRejoined |= merges.merge(currentLcms, nextAll);
    // This castle's exclusion skips its own value.
    if (all == nextAll) {
      someRejoined = true;
    } else if (currentLcms.empty() || currentLcms.back() != all) {
      currentLcms.push_back(all);
    }
    all = nextAll;
    // Equal values that are not neighbours are rare; sweeping them out each
    // time the list doubles keeps that rare case from growing without bound,
    // at amortised O(1) per step.
    if (currentLcms.size() > 2 * sizeAfterLastSweep + 64) {
      dropRepeats(currentLcms);
      sizeAfterLastSweep = currentLcms.size();
    }
  }
  work.report(perfectness.size(), currentLcms.size());
  if (someRejoined) {
    currentLcms.push_back(all);
  }
  std::vector<std::int64_t> uniquePerfectness = std::move(currentLcms);
  std::sort(uniquePerfectness.begin(), uniquePerfectness.end());
  uniquePerfectness.erase(std::unique(uniquePerfectness.begin(), uniquePerfectness.end()),
                          uniquePerfectness.end());
  return uniquePerfectness;
}

std::size_t countDistinctExclusionLcms(std::span<const std::int64_t> perfectness,
                                       ExclusionObserver& observer) {
  return exclusionLcms(perfectness, observer).size();
}

}  // namespace castles
