#include "lane_groups.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "lcm.hpp"

namespace castles {
namespace {

// Lanes are keyed by how often each small prime of p divided them; past this
// many keys the remaining primes are not divided out.
constexpr std::uint32_t kMaxKeys = 4096;
// Primes of p from this one up divide few lanes, and are tested with a branch.
constexpr std::uint64_t kRarePrimes = 64;

// Trial division of p reaches primes below this. A larger prime of p shared
// by one of `lanes` random-looking x fails a certification with probability
// about lanes / (bound ln bound), and the trial divisions cost about
// bound / ln bound multiplications: twice the lane count keeps both small.
std::uint64_t trialBound(std::size_t lanes) { return std::max<std::uint64_t>(64, 2 * lanes); }

}  // namespace

void LaneGrouping::group(std::span<const std::int64_t> values, std::int64_t p) {
  const std::uint64_t pm = magnitude(p);
  twosOfP_ = static_cast<unsigned>(std::countr_zero(pm));
  pNegative_ = p < 0;
  oddOfP_ = pm >> twosOfP_;
  planDivisions(values.size());
  const Tallies tallies = classify(values);
  countGroups(tallies);
  sortByGroup(tallies);
}

// The division steps for the small primes of p's odd part, and the table from
// a lane's key (how often each prime divided it, in mixed radix) to its group.
void LaneGrouping::planDivisions(std::size_t lanes) {
  divisions_.clear();
  frequentDivisions_ = 0;
  plannedPrimes_.clear();
  std::uint32_t keys = 1;
  for (const OddPrimeFactor& factor : primes_.factor(oddOfP_, trialBound(lanes))) {
    // Primes past the key budget are left in the modulus: a lane sharing one
    // fails certification and takes Euclid's loop, slower but exact.
    if (keys * (factor.exponent + 1) > kMaxKeys) {
      break;
    }
    plannedPrimes_.push_back({factor.prime, factor.exponent, keys});
    for (unsigned v = 0; v < factor.exponent; ++v) {
      divisions_.push_back({factor.inverse, factor.limit, keys});
    }
    if (factor.prime < kRarePrimes) {
      frequentDivisions_ = divisions_.size();  // the factors come in ascending order
    }
    keys *= factor.exponent + 1;
  }
  groupOfKey_.assign(keys, kUnassigned);
  groupOfKey_[0] = 0;
  groups_.assign(1, Group{1, 0, 0, 0});
}

std::uint8_t LaneGrouping::openGroup(std::uint32_t key) {
  if (groups_.size() == kMaxGroups) {
    groupOfKey_[key] = kNoGroup;
    return kNoGroup;
  }
  std::uint64_t shared = 1;  // divides p, so it cannot overflow
  for (const PlannedPrime& prime : plannedPrimes_) {
    for (std::uint32_t v = key / prime.stride % (prime.exponent + 1); v != 0; --v) {
      shared *= prime.prime;
    }
  }
  groups_.push_back(Group{shared, 0, 0, 0});
  groupOfKey_[key] = static_cast<std::uint8_t>(groups_.size() - 1);
  return groupOfKey_[key];
}

// Branch-free for small primes: whether one divides is a coin toss the
// predictor cannot learn. Once a division fails, later steps for the same
// prime fail too, since a is left as it was.
inline LaneGrouping::Reduction LaneGrouping::divideOut(std::uint64_t a,
                                                       std::span<const DivisionStep> frequent,
                                                       std::span<const DivisionStep> rare) {
  std::uint32_t key = 0;
  for (const DivisionStep& step : frequent) {
    const std::uint64_t quotient = a * step.inverse;
    const bool divides = quotient <= step.limit;
    a = divides ? quotient : a;
    key += step.stride * static_cast<std::uint32_t>(divides);
  }
  // A larger prime divides one lane in kRarePrimes or fewer, so a branch
  // that expects it not to is cheaper than the branch-free step.
  for (const DivisionStep& step : rare) {
    const std::uint64_t quotient = a * step.inverse;
    if (quotient <= step.limit) [[unlikely]] {
      a = quotient;
      key += step.stride;
    }
  }
  return {a, key};
}

// Per lane: the common factor G of |x| and |p| as far as powers of two and the
// small primes of p go, what is left of |x| (reduced_), and the lane's tag.
// Lanes are counted per group and per whether x's sign differs from p's, in
// interleaved tallies: consecutive lanes mostly fall in the same group, and
// one tally would make each count wait for the last one's store.
LaneGrouping::Tallies LaneGrouping::classify(std::span<const std::int64_t> values) {
  const std::size_t count = values.size();
  reduced_.resize(count);
  tags_.resize(count);
  Tallies tallies{};
  // Locals, so that the stores below, which the compiler cannot tell apart
  // from this object's members, do not force reloads.
  const unsigned twosOfP = twosOfP_;
  const bool pNegative = pNegative_;
  const std::span<const DivisionStep> divisions = std::span(divisions_).first(frequentDivisions_);
  const std::span<const DivisionStep> rareDivisions =
      std::span(divisions_).subspan(frequentDivisions_);
  const std::uint8_t* const groupOfKey = groupOfKey_.data();
  std::uint64_t* const reduced = reduced_.data();
  LaneTag* const tags = tags_.data();
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t x = values[k];
    const std::uint64_t xm = magnitude(x);
    if (xm == 0) {
      tags[k] = LaneTag(kZeroLane, 0, false);  // and the sign of 0, which is not negative
      ++tallies[k % kTallies][2U * kZeroLane + static_cast<unsigned>(pNegative)];
      continue;
    }
    const unsigned shift = std::min(static_cast<unsigned>(std::countr_zero(xm)), twosOfP);
    const Reduction reduction = divideOut(xm >> shift, divisions, rareDivisions);
    std::uint8_t group = groupOfKey[reduction.key];
    if (group == kUnassigned) {
      group = openGroup(reduction.key);
    }
    reduced[k] = reduction.a;
    tags[k] = LaneTag(group, twosOfP - shift, x < 0);
    ++tallies[k % kTallies][2U * group + static_cast<unsigned>((x < 0) != pNegative)];
  }
  return tallies;
}

void LaneGrouping::countGroups(const Tallies& tallies) {
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    for (const auto& tally : tallies) {
      groups_[g].signsDiffer += tally[2 * g + 1];
      groups_[g].count += tally[2 * g] + tally[2 * g + 1];
    }
  }
}

// Lanes sorted into order_ by group, and within a group those whose x's sign
// differs from p's first; each tally's lanes in a block of their own (the
// order within a block does not matter). Lanes of groups too small for an
// inversion, or without a group, go to the block for Euclid's loops; lanes
// with x = 0 to a block of their own, which nobody reads.
// Blocks 2g and 2g + 1 hold group g's lanes whose signs differ and agree,
// for groups large enough for an inversion; the lanes of the others go to
// the block for Euclid's loops.
LaneGrouping::BlockTable LaneGrouping::blockTable() const {
  BlockTable blockOf{};
  blockOf.fill(kEuclidBlock);
  blockOf[std::size_t{2} * kZeroLane] = kZeroBlock;
  blockOf[std::size_t{2} * kZeroLane + 1] = kZeroBlock;
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    if (groups_[g].count >= kMinGroupLanes) {
      blockOf[2 * g + 1] = static_cast<std::uint8_t>(2 * g);
      blockOf[2 * g] = static_cast<std::uint8_t>(2 * g + 1);
    }
  }
  return blockOf;
}

void LaneGrouping::sortByGroup(const Tallies& tallies) {
  const BlockTable blockOf = blockTable();
  // next[t][block]: where tally t's next lane of the block goes.
  std::array<std::array<std::uint32_t, kBlocks>, kTallies> next{};
  for (std::size_t t = 0; t < kTallies; ++t) {
    for (std::size_t i = 0; i < blockOf.size(); ++i) {
      next[t][blockOf[i]] += tallies[t][i];
    }
  }
  std::uint32_t placed = 0;
  for (std::size_t block = 0; block < kBlocks; ++block) {
    if (block % 2 == 0 && block / 2 < groups_.size()) {
      groups_[block / 2].start = placed;
    }
    if (block == kEuclidBlock) {
      euclidStart_ = placed;
    }
    for (std::size_t t = 0; t < kTallies; ++t) {
      placed += std::exchange(next[t][block], placed);
    }
  }
  order_.resize(tags_.size());
  const bool pNegative = pNegative_;
  for (std::uint32_t k = 0; k < tags_.size(); ++k) {
    const LaneTag tag = tags_[k];
    const std::uint8_t block = blockOf[2U * tag.group() + (tag.negative() != pNegative ? 1U : 0U)];
    order_[next[k % kTallies][block]++] = k;
  }
  // The last tally's part of the Euclid block now ends where the block ends.
  euclidCount_ = next.back()[kEuclidBlock] - euclidStart_;
}

}  // namespace castles
