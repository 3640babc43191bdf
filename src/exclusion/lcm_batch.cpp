#include "lcm_batch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <numeric>
#include <utility>

#include "euclid_parity.hpp"
#include "lcm.hpp"
#include "modular.hpp"
#include "wide.hpp"

namespace castles {
namespace {

// Below this many lanes the set-up of a batch (trial division of p, one
// inversion per group) costs more than Euclid's loops would.
constexpr std::size_t kMinBatchLanes = 16;
// A group this small takes Euclid's loops instead of an inversion of its own.
constexpr std::uint32_t kMinGroupLanes = 8;
// Lanes are keyed by how often each small prime of p divided them; past this
// many keys the remaining primes are not divided out.
constexpr std::uint32_t kMaxKeys = 4096;
// Primes of p from this one up divide few lanes, and are tested with a branch.
constexpr std::uint64_t kRarePrimes = 64;
// The batch inversion runs in units of this many lanes, four units side by
// side so that four chains of dependent multiplications overlap. A unit is
// also what a failed certification sends to Euclid's loops.
constexpr std::size_t kUnit = 16;
constexpr std::size_t kWays = 4;
// Failed certifications located by bisection before every unit is checked.
constexpr int kBisections = 4;
// Lanes that fall back to Euclid's loops go in chunks of this many.
constexpr std::size_t kEuclidChunk = 512;

// Trial division of p reaches primes below this. A larger prime of p shared
// by one of `lanes` random-looking x fails a certification with probability
// about lanes / (bound ln bound), and the trial divisions cost about
// bound / ln bound multiplications: twice the lane count keeps both small.
std::uint64_t trialBound(std::size_t lanes) { return std::max<std::uint64_t>(64, 2 * lanes); }

// A lane's tag: its group, the twos left in |p| / G (a is odd when there are
// any), and x's sign.
constexpr unsigned kTwosShift = 6;
constexpr unsigned kSignShift = 12;
constexpr std::uint16_t kGroupMask = (1U << kTwosShift) - 1;

constexpr std::uint16_t laneTag(std::uint8_t group, unsigned twos, bool negative) {
  return static_cast<std::uint16_t>(group | twos << kTwosShift |
                                    static_cast<unsigned>(negative) << kSignShift);
}

// @param tag the lane's tag
// @param a |x| over G = gcd(|x|, |p|), coprime to |p| / G
// @param oddInverse a^-1 mod modulus, the odd part of |p| / G
// @return lcm(x, p)
inline std::int64_t finishLane(std::uint16_t tag, std::int64_t p, std::uint64_t a,
                               std::uint64_t oddInverse, std::uint64_t modulus,
                               std::uint64_t modulusInverse) {
  const unsigned twos = (tag >> kTwosShift) & 63U;
  // The inverse modulo b = modulus * 2^twos joins the two coprime parts:
  // inverse = oddInverse + modulus * t, with t chosen below 2^twos so that it
  // agrees with a^-1 mod 2^twos. It stays below b <= 2^63. With no twos the
  // mask is 0 and this is oddInverse; no branch on twos, which varies from
  // lane to lane.
  const std::uint64_t mask = (std::uint64_t{1} << twos) - 1;
  const std::uint64_t t = ((inverseModPowerOfTwo(a, twos) - oddInverse) * modulusInverse) & mask;
  const std::uint64_t inverse = oddInverse + modulus * t;
  const std::uint64_t b = modulus << twos;
  return internal::lcmFromReduced((tag >> kSignShift) != 0, p, a,
                                  internal::remainderStepsOdd(inverse, b));
}

// The forward pass of the batch inversion over kW units of `length` lanes,
// kUnit apart from lanes[0] on. Each lane's slot (its entry of the values,
// free until its result is written) receives the Montgomery product of the
// unit's lanes before it, and products[w] that of all of unit w's lanes.
template <std::size_t kW>
void forwardUnits(const Montgomery& montgomery, std::uint64_t one, const std::uint32_t* lanes,
                  std::size_t length, const std::uint64_t* reduced, std::int64_t* slots,
                  std::uint64_t* products) {
  std::array<std::uint64_t, kW> running;
  running.fill(one);
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t w = 0; w < kW; ++w) {
      const std::uint32_t lane = lanes[w * kUnit + i];
      slots[lane] = static_cast<std::int64_t>(running[w]);
      running[w] = montgomery.multiply(reduced[lane], running[w]);
    }
  }
  std::copy(running.begin(), running.end(), products);
}

// The backward pass: from the inverse of each unit's product, every lane's
// inverse, last lane first, handed to finish(lane, inverse).
template <std::size_t kW, typename Finish>
void backwardUnits(const Montgomery& montgomery, const std::uint32_t* lanes, std::size_t length,
                   const std::uint64_t* reduced, const std::int64_t* slots,
                   const std::uint64_t* inverses, Finish&& finish) {
  std::array<std::uint64_t, kW> running;
  std::copy(inverses, inverses + kW, running.begin());
  for (std::size_t i = length; i-- > 0;) {
    for (std::size_t w = 0; w < kW; ++w) {
      const std::uint32_t lane = lanes[w * kUnit + i];
      const std::uint64_t before = static_cast<std::uint64_t>(slots[lane]);
      const std::uint64_t inverse = montgomery.multiply(running[w], before);
      running[w] = montgomery.multiply(reduced[lane], running[w]);
      finish(lane, inverse);
    }
  }
}

// Lanes whose x has p's sign need no inverse: their result a * p stands
// whatever the divisor's sign. They only join the certification, through
// the product of each unit, and their results are written on the way, to be
// taken back if their unit fails.
template <std::size_t kW>
void productUnits(const Montgomery& montgomery, std::uint64_t one, const std::uint32_t* lanes,
                  std::size_t length, const std::uint64_t* reduced, std::int64_t p,
                  std::int64_t* values, std::uint64_t* products) {
  std::array<std::uint64_t, kW> running;
  running.fill(one);
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t w = 0; w < kW; ++w) {
      const std::uint32_t lane = lanes[w * kUnit + i];
      running[w] = montgomery.multiply(reduced[lane], running[w]);
      values[lane] = internal::lcmFromReduced(p < 0, p, reduced[lane], false);
    }
  }
  std::copy(running.begin(), running.end(), products);
}

// Runs `pass` over the units of `count` lanes from lanes[0] on, kWays units
// side by side while whole units last; pass<kW>(first lane, length, first unit).
template <typename Pass>
void overUnits(std::size_t count, Pass&& pass) {
  const std::size_t fullUnits = count / kUnit;
  std::size_t u = 0;
  for (; u + kWays <= fullUnits; u += kWays) {
    pass(std::integral_constant<std::size_t, kWays>{}, u * kUnit, kUnit, u);
  }
  for (; u * kUnit < count; ++u) {
    pass(std::integral_constant<std::size_t, 1>{}, u * kUnit, std::min(kUnit, count - u * kUnit),
         u);
  }
}

}  // namespace

LcmBatch::LcmBatch() : LcmBatch(bestEuclidKernel()) {}

LcmBatch::LcmBatch(EuclidKernel kernel) : kernel_(kernel) {}

void LcmBatch::apply(std::span<std::int64_t> values, std::int64_t p) {
  if (p == 0) {
    // lcm(x, 0) is 0 for every x, lcm(0, 0) included.
    std::fill(values.begin(), values.end(), 0);
    return;
  }
  const std::size_t count = values.size();
  if (count < kMinBatchLanes) {
    applyByEuclid(values, p);
    return;
  }
  const std::uint64_t pm = magnitude(p);
  twosOfP_ = static_cast<unsigned>(std::countr_zero(pm));
  pNegative_ = p < 0;
  const std::uint64_t oddOfP = pm >> twosOfP_;
  planDivisions(oddOfP, count);
  sortByGroup(classify(values), count);
  for (const Group& group : groups_) {
    if (group.count >= kMinGroupLanes) {
      const auto lanes = std::span<const std::uint32_t>(order_).subspan(group.start, group.count);
      finishGroup(values, p, group.shared, oddOfP / group.shared, lanes.first(group.signsDiffer),
                  lanes.subspan(group.signsDiffer));
    }
  }
  euclidFallback(values, p);
}

// Per lane: the common factor G of |x| and |p| as far as powers of two and the
// small primes of p go, what is left of |x| (reduced_), and the lane's tag.
// Lanes are counted per group and per whether x's sign differs from p's, in
// interleaved tallies: consecutive lanes mostly fall in the same group, and
// one tally would make each count wait for the last one's store.
LcmBatch::Tallies LcmBatch::classify(std::span<const std::int64_t> values) {
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
  std::uint16_t* const tags = tags_.data();
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t x = values[k];
    const std::uint64_t xm = magnitude(x);
    if (xm == 0) {
      tags[k] = kZeroLane;  // and the sign of 0, which is not negative
      ++tallies[k % kTallies][2U * kZeroLane + static_cast<unsigned>(pNegative)];
      continue;
    }
    const unsigned shift = std::min(static_cast<unsigned>(std::countr_zero(xm)), twosOfP);
    std::uint64_t a = xm >> shift;
    // Branch-free for small primes: whether one divides is a coin toss the
    // predictor cannot learn. Once a division fails, later steps for the same
    // prime fail too, since a is left as it was.
    std::uint32_t key = 0;
    for (const DivisionStep& step : divisions) {
      const std::uint64_t quotient = a * step.inverse;
      const bool divides = quotient <= step.limit;
      a = divides ? quotient : a;
      key += step.stride * static_cast<std::uint32_t>(divides);
    }
    // A larger prime divides one lane in kRarePrimes or fewer, so a branch
    // that expects it not to is cheaper than the branch-free step.
    for (const DivisionStep& step : rareDivisions) {
      const std::uint64_t quotient = a * step.inverse;
      if (quotient <= step.limit) [[unlikely]] {
        a = quotient;
        key += step.stride;
      }
    }
    std::uint8_t group = groupOfKey[key];
    if (group == kUnassigned) {
      group = openGroup(key);
    }
    reduced[k] = a;
    tags[k] = laneTag(group, twosOfP - shift, x < 0);
    ++tallies[k % kTallies][2U * group + static_cast<unsigned>((x < 0) != pNegative)];
  }
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    for (const auto& tally : tallies) {
      groups_[g].signsDiffer += tally[2 * g + 1];
      groups_[g].count += tally[2 * g] + tally[2 * g + 1];
    }
  }
  return tallies;
}

// Lanes sorted into order_ by group, and within a group those whose x's sign
// differs from p's first; each tally's lanes in a block of their own (the
// order within a block does not matter). Lanes of groups too small for an
// inversion, or without a group, go to fallback_ for Euclid's loops; lanes
// with x = 0 are left alone.
void LcmBatch::sortByGroup(const Tallies& tallies, std::size_t count) {
  // Blocks 2g and 2g + 1 hold group g's lanes whose signs differ and agree.
  constexpr std::size_t kEuclidBlock = std::size_t{2} * kMaxGroups;
  constexpr std::size_t kZeroBlock = kEuclidBlock + 1;
  constexpr std::size_t kBlocks = kZeroBlock + 1;
  std::array<std::uint8_t, 2 * kTags> blockOf{};
  blockOf.fill(kEuclidBlock);
  blockOf[std::size_t{2} * kZeroLane] = kZeroBlock;
  blockOf[std::size_t{2} * kZeroLane + 1] = kZeroBlock;
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    if (groups_[g].count >= kMinGroupLanes) {
      blockOf[2 * g + 1] = static_cast<std::uint8_t>(2 * g);
      blockOf[2 * g] = static_cast<std::uint8_t>(2 * g + 1);
    }
  }
  // next[t][block]: where tally t's next lane of the block goes.
  std::array<std::array<std::uint32_t, kBlocks>, kTallies> next{};
  for (std::size_t t = 0; t < kTallies; ++t) {
    for (std::size_t i = 0; i < blockOf.size(); ++i) {
      next[t][blockOf[i]] += tallies[t][i];
    }
  }
  std::uint32_t placed = 0;
  std::uint32_t euclidStart = 0;
  for (std::size_t block = 0; block < kBlocks; ++block) {
    if (block % 2 == 0 && block / 2 < groups_.size()) {
      groups_[block / 2].start = placed;
    }
    if (block == kEuclidBlock) {
      euclidStart = placed;
    }
    for (std::size_t t = 0; t < kTallies; ++t) {
      placed += std::exchange(next[t][block], placed);
    }
  }
  order_.resize(count);
  const auto pSign = static_cast<unsigned>(pNegative_);
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint16_t tag = tags_[k];
    const std::uint8_t block =
        blockOf[2U * (tag & kGroupMask) + ((static_cast<unsigned>(tag) >> kSignShift) ^ pSign)];
    order_[next[k % kTallies][block]++] = k;
  }
  fallback_.assign(order_.begin() + euclidStart, order_.begin() + next.back()[kEuclidBlock]);
}

// The division steps for the small primes of p's odd part, and the table from
// a lane's key (how often each prime divided it, in mixed radix) to its group.
void LcmBatch::planDivisions(std::uint64_t oddOfP, std::size_t lanes) {
  divisions_.clear();
  frequentDivisions_ = 0;
  plannedPrimes_.clear();
  std::uint32_t keys = 1;
  for (const OddPrimeFactor& factor : primes_.factor(oddOfP, trialBound(lanes))) {
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

std::uint8_t LcmBatch::openGroup(std::uint32_t key) {
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

// Finishes the lanes of one group, whose reduced |p| is modulus times a power
// of two: the lanes whose x's sign differs from p's take their inverses
// modulo `modulus` from one batch inversion; the others need none, and join
// only its certification.
void LcmBatch::finishGroup(std::span<std::int64_t> values, std::int64_t p, std::uint64_t shared,
                           std::uint64_t modulus, std::span<const std::uint32_t> invert,
                           std::span<const std::uint32_t> product) {
  const Montgomery montgomery(modulus);
  const std::uint64_t modulusInverse = montgomery.modulusInverse();
  const auto finish = [&](std::uint32_t lane, std::uint64_t inverse) {
    values[lane] = finishLane(tags_[lane], p, reduced_[lane], inverse, modulus, modulusInverse);
  };
  if (modulus == 1) {
    for (const std::uint32_t lane : invert) {
      finish(lane, 0);  // everything is 0 modulo 1
    }
    for (const std::uint32_t lane : product) {
      values[lane] = internal::lcmFromReduced(p < 0, p, reduced_[lane], false);
    }
    return;
  }

  // Montgomery's trick: the products of the lanes before each one, one
  // inversion of the product of all, and a backward pass that peels the
  // lanes off again. With R = 2^64 and every lane's reduced value a read as
  // the Montgomery form of a / R, the backward pass started from the plain
  // inverse of the total's Montgomery form yields each a^-1 itself. The units
  // of the lanes that need no inverse come after those that do.
  const std::uint64_t one = (0 - modulus) % modulus;  // R mod modulus, the form of 1
  const std::size_t invertUnits = (invert.size() + kUnit - 1) / kUnit;
  const std::size_t units = invertUnits + (product.size() + kUnit - 1) / kUnit;
  unitProducts_.resize(units);
  overUnits(invert.size(), [&](auto ways, std::size_t first, std::size_t length, std::size_t u) {
    forwardUnits<ways>(montgomery, one, &invert[first], length, reduced_.data(), values.data(),
                       &unitProducts_[u]);
  });
  overUnits(product.size(), [&](auto ways, std::size_t first, std::size_t length, std::size_t u) {
    productUnits<ways>(montgomery, one, &product[first], length, reduced_.data(), p, values.data(),
                       &unitProducts_[invertUnits + u]);
  });

  certify(montgomery, one, units);

  overUnits(invert.size(), [&](auto ways, std::size_t first, std::size_t length, std::size_t u) {
    const auto failed = std::span(unitFailed_).subspan(u, ways);
    if (std::all_of(failed.begin(), failed.end(), [](std::uint8_t f) { return f == 0; })) {
      backwardUnits<ways>(montgomery, &invert[first], length, reduced_.data(), values.data(),
                          &unitStarts_[u], finish);
      return;
    }
    for (std::size_t w = 0; w < ways; ++w) {
      if (failed[w] == 0) {
        backwardUnits<1>(montgomery, &invert[first + w * kUnit], length, reduced_.data(),
                         values.data(), &unitStarts_[u + w], finish);
      }
    }
  });
  for (std::size_t u = 0; u < units; ++u) {
    if (unitFailed_[u] != 0) {
      const bool inverting = u < invertUnits;
      const auto lanes = inverting ? invert : product;
      const std::size_t first = (inverting ? u : u - invertUnits) * kUnit;
      for (std::size_t i = first; i < std::min(lanes.size(), first + kUnit); ++i) {
        restoreForEuclid(values, lanes[i], shared);
      }
    }
  }
}

// Sends a lane of a failed unit to Euclid's loops, its x restored from what
// the forward pass left in its slot: |x| = a * G, with G = shared * 2^shift.
void LcmBatch::restoreForEuclid(std::span<std::int64_t> values, std::uint32_t lane,
                                std::uint64_t shared) {
  const std::uint16_t tag = tags_[lane];
  const unsigned shift = twosOfP_ - ((tag >> kTwosShift) & 63U);
  const std::uint64_t xm = reduced_[lane] * shared << shift;
  values[lane] = static_cast<std::int64_t>((tag >> kSignShift) != 0 ? 0 - xm : xm);
  fallback_.push_back(lane);
}

// Inverts the product of the units' products, which exists exactly when every
// lane is coprime to the modulus: a lane that still shares a factor with it
// (a prime of p beyond the trial divisions) makes the gcd of the product and
// the modulus exceed 1. Such units are found and marked failed, and the rest
// inverted. unitStarts_ holds the product of the units before each while
// certifying, and then, for every unit that did not fail, the inverse its
// backward pass starts from.
void LcmBatch::certify(const Montgomery& montgomery, std::uint64_t one, std::size_t units) {
  const std::uint64_t modulus = montgomery.modulus();
  unitFailed_.assign(units, 0);
  unitStarts_.resize(units);
  for (int round = 0;; ++round) {
    std::uint64_t total = one;
    for (std::size_t u = 0; u < units; ++u) {
      unitStarts_[u] = total;
      total = unitFailed_[u] != 0 ? total : montgomery.multiply(unitProducts_[u], total);
    }
    const ModularInverse inverse = inverseModulo(total, modulus);
    if (inverse.gcd == 1) {
      // Each unit's prefix gives way to the inverse its backward pass starts from.
      std::uint64_t running = inverse.inverse;
      for (std::size_t u = units; u-- > 0;) {
        if (unitFailed_[u] == 0) {
          unitStarts_[u] = montgomery.multiply(running, unitStarts_[u]);
          running = montgomery.multiply(unitProducts_[u], running);
        }
      }
      return;
    }
    if (round < kBisections) {
      markFirstFailure(montgomery, units);
    } else {
      // Many failures: check every unit on its own, after which the rest is
      // certain to invert.
      for (std::size_t u = 0; u < units; ++u) {
        unitFailed_[u] |= static_cast<std::uint8_t>(std::gcd(unitProducts_[u], modulus) != 1);
      }
    }
  }
}

// Sharing a factor with the modulus only grows along the running product of
// the units, so the first unit whose product so far shares one is found by
// bisection. It is one that has not failed before, since a failed unit adds
// nothing to the product.
void LcmBatch::markFirstFailure(const Montgomery& montgomery, std::size_t units) {
  const auto sharesThrough = [&](std::size_t u) {
    const std::uint64_t through = unitFailed_[u] != 0
                                      ? unitStarts_[u]
                                      : montgomery.multiply(unitProducts_[u], unitStarts_[u]);
    return std::gcd(through, montgomery.modulus()) != 1;
  };
  std::size_t lo = 0;
  std::size_t hi = units - 1;  // the whole product shares a factor
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (sharesThrough(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  unitFailed_[lo] = 1;
}

void LcmBatch::euclidFallback(std::span<std::int64_t> values, std::int64_t p) {
  // In chunks, so that the loops' state stays small however many lanes fall back.
  for (std::size_t start = 0; start < fallback_.size(); start += kEuclidChunk) {
    const std::size_t end = std::min(fallback_.size(), start + kEuclidChunk);
    fallbackValues_.resize(end - start);
    for (std::size_t i = start; i < end; ++i) {
      fallbackValues_[i - start] = values[fallback_[i]];
    }
    applyByEuclid(fallbackValues_, p);
    for (std::size_t i = start; i < end; ++i) {
      values[fallback_[i]] = fallbackValues_[i - start];
    }
  }
}

void LcmBatch::applyByEuclid(std::span<std::int64_t> values, std::int64_t p) {
  if (p == 0) {
    std::fill(values.begin(), values.end(), 0);
    return;
  }
  const std::size_t count = values.size();
  a_.resize(count);
  b_.resize(count);
  steps_.resize(count);

  // The first remainder, |x| mod |p|, shares its divisor across the batch: a
  // reciprocal computed once replaces the division. With m = floor((2^64-1)/|p|),
  // x*m/2^64 lies in (x/|p| - 1, x/|p|], so q is the quotient or one below it.
  const std::uint64_t pm = magnitude(p);
  const std::uint64_t reciprocal = ~std::uint64_t{0} / pm;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t x = magnitude(values[k]);
    const std::uint64_t q = mulWide(x, reciprocal).hi;
    std::uint64_t r = x - q * pm;
    if (r >= pm) {
      r -= pm;
    }
    a_[k] = pm;
    b_[k] = r;
    steps_[k] = 1;
  }
  runEuclidLanes(kernel_, a_, b_, steps_);

  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t x = values[k];
    const std::uint64_t g = a_[k];  // gcd(|x|, |p|) >= 1
    const std::uint64_t xm = magnitude(x);
    const std::uint64_t reduced = g == 1 ? xm : xm / g;
    values[k] = internal::lcmFromReduced(x < 0, p, reduced, (steps_[k] & 1U) != 0);
  }
}

}  // namespace castles
