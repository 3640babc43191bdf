#include "lane_plan.hpp"

#include <algorithm>
#include <bit>

#include "lcm.hpp"

namespace castles {
namespace {

// Lanes are keyed by how often each small prime of p divided them; past this
// many keys the remaining primes are not divided out.
constexpr std::uint32_t kMaxKeys = 4096;
// Primes of p from this one up divide few lanes.
constexpr std::uint64_t kRarePrimes = 64;
// Readable bytes after the table's last entry, for 32-bit loads of an entry.
constexpr std::size_t kTablePadding = 3;

// Trial division of p reaches primes below this. A larger prime of p shared
// by one of `lanes` random-looking x fails a certification with probability
// about lanes / (bound ln bound), and the trial divisions cost about
// bound / ln bound multiplications: twice the lane count keeps both small.
std::uint64_t trialBound(std::size_t lanes) { return std::max<std::uint64_t>(64, 2 * lanes); }

}  // namespace

// The division steps for the small primes of p's odd part, and the table from
// a lane's key (how often each prime divided it, in mixed radix) to its group.
void LanePlan::plan(std::int64_t p, std::size_t lanes) {
  p_ = p;
  const std::uint64_t pm = magnitude(p);
  twosOfP_ = static_cast<unsigned>(std::countr_zero(pm));
  oddOfP_ = pm >> twosOfP_;
  unplanned_ = oddOfP_;
  steps_.clear();
  frequentSteps_ = 0;
  plannedPrimes_.clear();
  std::uint32_t keys = 1;
  for (const OddPrimeFactor& factor : primes_.factor(oddOfP_, trialBound(lanes))) {
    // Primes past the key budget are left unplanned: a lane sharing one
    // fails certification and takes Euclid's loop, slower but exact.
    if (keys * (factor.exponent + 1) > kMaxKeys) {
      break;
    }
    plannedPrimes_.push_back({factor.prime, factor.exponent, keys});
    for (unsigned v = 0; v < factor.exponent; ++v) {
      steps_.push_back({factor.inverse, factor.limit, keys});
      unplanned_ /= factor.prime;
    }
    if (factor.prime < kRarePrimes) {
      frequentSteps_ = steps_.size();  // the factors come in ascending order
    }
    keys *= factor.exponent + 1;
  }
  groupOfKey_.assign(keys + kTablePadding, kUnassigned);
  groupOfKey_[0] = 0;
  shared_.assign(1, 1);
}

std::uint8_t LanePlan::openGroup(std::uint32_t key) {
  if (shared_.size() == kMaxGroups) {
    groupOfKey_[key] = kNoGroup;
    return kNoGroup;
  }
  std::uint64_t shared = 1;  // divides p, so it cannot overflow
  for (const PlannedPrime& prime : plannedPrimes_) {
    for (std::uint32_t v = key / prime.stride % (prime.exponent + 1); v != 0; --v) {
      shared *= prime.prime;
    }
  }
  shared_.push_back(shared);
  groupOfKey_[key] = static_cast<std::uint8_t>(shared_.size() - 1);
  return groupOfKey_[key];
}

}  // namespace castles
