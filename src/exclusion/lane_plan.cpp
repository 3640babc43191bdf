#include "lane_plan.hpp"

#include <algorithm>
#include <bit>

#include "lcm.hpp"
#include "modular.hpp"

namespace castles {
namespace {

// Lanes are keyed by how often each small prime of p divided them; past this
// many keys the remaining primes are not divided out.
constexpr std::uint32_t kMaxKeys = 4096;
static_assert(kMaxKeys <= std::uint32_t{1} << LaneTag::kTwosShift, "a key fits in a lane's tag");
// Primes of p from this one up divide few lanes.
constexpr std::uint64_t kRarePrimes = 64;
// The residue table stands for at least this many division steps, which
// makes it cheaper per lane than the steps, and holds at most this many
// residues, about kResiduesPerLane per lane, so that filling it is cheap
// beside the lanes and it stays in the first-level cache (a byte for each
// residue, in three copies: 32 KB at most).
constexpr std::size_t kMinResidueSteps = 2;
constexpr std::uint64_t kMaxResidues = ResidueLookup::kMaxResidues;
constexpr std::uint64_t kResiduesPerLane = 4;

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
  groupOfKey_.assign(keys, kUnassigned);
  groupOfKey_[0] = 0;
  shared_.assign(1, 1);
  residues_ = ResidueTable{};
}

void LanePlan::planResidues(std::size_t lanes) {
  // The product of the smallest planned prime powers that keeps the table
  // small beside the lanes. The first primes' strides are 1, e1 + 1, ...,
  // so their keys are below the product of their exponents plus one.
  const std::uint64_t bound = std::min<std::uint64_t>(kMaxResidues, kResiduesPerLane * lanes);
  std::uint64_t modulus = 1;
  std::size_t primes = 0;
  std::size_t steps = 0;
  for (; primes < plannedPrimes_.size() && steps < frequentSteps_; ++primes) {
    const PlannedPrime& prime = plannedPrimes_[primes];
    std::uint64_t power = 1;
    for (std::uint32_t v = 0; v < prime.exponent; ++v) {
      power *= prime.prime;  // prime^exponent divides |p|, so it fits
    }
    if (power > bound / modulus) {  // modulus * power may not fit
      break;
    }
    modulus *= power;
    steps += prime.exponent;
  }
  if (steps < kMinResidueSteps) {
    return;
  }
  fillResidueTable(modulus, primes);
  residues_ = ResidueTable{modulus, ~std::uint64_t{0} / modulus, lookup_.get(), steps};
}

// A residue r shares prime^t with the modulus for every t up to the exponent
// with prime^t dividing r, each adding the prime's stride to r's key.
// @param modulus at most kMaxResidues
void LanePlan::fillResidueTable(std::uint64_t modulus, std::size_t primes) {
  if (!lookup_) {
    lookup_ = std::make_unique_for_overwrite<ResidueLookup>();
  }
  const auto keyOfResidue = std::span(lookup_->keyOfResidue).first(3 * modulus);
  std::fill_n(keyOfResidue.begin(), modulus, std::uint8_t{0});
  for (std::size_t i = 0; i < primes; ++i) {
    const PlannedPrime& prime = plannedPrimes_[i];
    std::uint64_t power = 1;
    for (std::uint32_t v = 0; v < prime.exponent; ++v) {
      power *= prime.prime;
      for (std::uint64_t r = 0; r < modulus; r += power) {
        keyOfResidue[r] = static_cast<std::uint8_t>(keyOfResidue[r] + prime.stride);
      }
    }
  }
  for (std::uint64_t copy = 1; copy < 3; ++copy) {
    std::copy_n(keyOfResidue.begin(), modulus,
                keyOfResidue.begin() + static_cast<std::ptrdiff_t>(copy * modulus));
  }
  // The keys number the modulus's divisors: at most 32 for an odd number up
  // to 2^14, so fewer than kMaxKeys.
  const PlannedPrime& last = plannedPrimes_[primes - 1];
  const std::uint32_t keys = last.stride * (last.exponent + 1);
  for (std::uint32_t key = 0; key < keys; ++key) {
    lookup_->inverseOfKey[key] = inverseModPowerOfTwo(sharedOfKey(key, primes), 64);
  }
}

// @return the odd factor of p that a key says a lane shares, from the first
//         `primes` planned primes
std::uint64_t LanePlan::sharedOfKey(std::uint32_t key, std::size_t primes) const {
  std::uint64_t shared = 1;  // divides p, so it cannot overflow
  // The key's digits, lowest first, in the radices exponent + 1; once the
  // rest is 0 no later prime divided, which ends most keys after a few.
  std::uint32_t rest = key;
  for (std::size_t i = 0; i < primes && rest != 0; ++i) {
    const PlannedPrime& prime = plannedPrimes_[i];
    const std::uint32_t radix = prime.exponent + 1;
    for (std::uint32_t v = rest % radix; v != 0; --v) {
      shared *= prime.prime;
    }
    rest /= radix;
  }
  return shared;
}

std::uint8_t LanePlan::openGroup(std::uint32_t key) {
  if (shared_.size() == kMaxGroups) {
    groupOfKey_[key] = kNoGroup;
    return kNoGroup;
  }
  shared_.push_back(sharedOfKey(key, plannedPrimes_.size()));
  groupOfKey_[key] = static_cast<std::uint8_t>(shared_.size() - 1);
  return groupOfKey_[key];
}

}  // namespace castles
