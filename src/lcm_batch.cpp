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

// Every lane in order: the usual single group needs no list.
struct AllLanes {
  std::size_t count;
  std::size_t size() const { return count; }
  std::uint32_t operator[](std::size_t i) const { return static_cast<std::uint32_t>(i); }
};

// Inverses of the odd bytes modulo 2^8, so that the lanes' usual few twos
// need no Newton step.
constexpr std::array<std::uint8_t, 128> kByteInverses = [] {
  std::array<std::uint8_t, 128> inverses{};
  for (std::uint64_t a = 1; a < 256; a += 2) {
    inverses[a / 2] = static_cast<std::uint8_t>(inverseModPowerOfTwo(a, 8));
  }
  return inverses;
}();

// @param a odd when bits > 0
// @param bits 0 <= bits <= 63
// @return a^-1 mod 2^bits in the low bits
inline std::uint64_t inverseOfOdd(std::uint64_t a, unsigned bits) {
  std::uint64_t y = kByteInverses[(a >> 1) & 127];
  for (unsigned correct = 8; correct < bits; correct *= 2) {
    y *= 2 - a * y;  // Newton's step doubles the correct low bits
  }
  return y;
}

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
  const std::uint64_t t = ((inverseOfOdd(a, twos) - oddInverse) * modulusInverse) & mask;
  const std::uint64_t inverse = oddInverse + modulus * t;
  const std::uint64_t b = modulus << twos;
  return internal::lcmFromReduced((tag >> kSignShift) != 0, p, a,
                                  internal::remainderStepsOdd(inverse, b));
}

// The forward pass of the batch inversion over kW units of `length` lanes,
// kUnit apart from lanes[first] on. Each lane's slot (its entry of the values,
// free until its result is written) receives the Montgomery product of the
// unit's lanes before it, and products[w] that of all of unit w's lanes.
template <std::size_t kW, typename Lanes>
void forwardUnits(const Montgomery& montgomery, std::uint64_t one, const Lanes& lanes,
                  std::size_t first, std::size_t length, const std::uint64_t* reduced,
                  std::int64_t* slots, std::uint64_t* products) {
  std::array<std::uint64_t, kW> running;
  running.fill(one);
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t w = 0; w < kW; ++w) {
      const std::uint32_t lane = lanes[first + w * kUnit + i];
      slots[lane] = static_cast<std::int64_t>(running[w]);
      running[w] = montgomery.multiply(reduced[lane], running[w]);
    }
  }
  std::copy(running.begin(), running.end(), products);
}

// The backward pass: from the inverse of each unit's product, every lane's
// inverse, last lane first, handed to finish(lane, inverse).
template <std::size_t kW, typename Lanes, typename Finish>
void backwardUnits(const Montgomery& montgomery, const Lanes& lanes, std::size_t first,
                   std::size_t length, const std::uint64_t* reduced, const std::int64_t* slots,
                   const std::uint64_t* inverses, Finish&& finish) {
  std::array<std::uint64_t, kW> running;
  std::copy(inverses, inverses + kW, running.begin());
  for (std::size_t i = length; i-- > 0;) {
    for (std::size_t w = 0; w < kW; ++w) {
      const std::uint32_t lane = lanes[first + w * kUnit + i];
      const std::uint64_t before = static_cast<std::uint64_t>(slots[lane]);
      const std::uint64_t inverse = montgomery.multiply(running[w], before);
      running[w] = montgomery.multiply(reduced[lane], running[w]);
      finish(lane, inverse);
    }
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
  const std::uint64_t oddOfP = pm >> twosOfP_;
  planDivisions(oddOfP, count);
  const Tallies tallies = classify(values);
  fallback_.clear();
  if (groups_.size() == 1 && groups_[0].count == count) {
    // The usual case: no lane shares a small odd prime with p.
    finishGroup(values, p, 1, oddOfP, AllLanes{count});
  } else {
    sortByGroup(tallies, count);
    for (const Group& group : groups_) {
      if (group.count >= kMinGroupLanes) {
        finishGroup(values, p, group.shared, oddOfP / group.shared,
                    std::span<const std::uint32_t>(order_).subspan(group.start, group.count));
      }
    }
  }
  euclidFallback(values, p);
}

// Per lane: the common factor G of |x| and |p| as far as powers of two and the
// small primes of p go, what is left of |x| (reduced_), and the lane's tag.
// Lanes are counted per group in interleaved tallies: consecutive lanes mostly
// fall in the same group, and one tally would make each count wait for the
// last one's store.
LcmBatch::Tallies LcmBatch::classify(std::span<const std::int64_t> values) {
  const std::size_t count = values.size();
  reduced_.resize(count);
  tags_.resize(count);
  Tallies tallies{};
  // Locals, so that the stores below, which the compiler cannot tell apart
  // from this object's members, do not force reloads.
  const unsigned twosOfP = twosOfP_;
  const std::span<const DivisionStep> divisions = divisions_;
  const std::uint8_t* const groupOfKey = groupOfKey_.data();
  std::uint64_t* const reduced = reduced_.data();
  std::uint16_t* const tags = tags_.data();
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t x = values[k];
    const std::uint64_t xm = magnitude(x);
    if (xm == 0) {
      tags[k] = kZeroLane;
      ++tallies[k % kTallies][kZeroLane];
      continue;
    }
    const unsigned shift = std::min(static_cast<unsigned>(std::countr_zero(xm)), twosOfP);
    std::uint64_t a = xm >> shift;
    // Branch-free: whether a prime divides is a coin toss the predictor
    // cannot learn. Once a division fails, later steps for the same prime
    // fail too, since a is left as it was.
    std::uint32_t key = 0;
    for (const DivisionStep& step : divisions) {
      const std::uint64_t quotient = a * step.inverse;
      const bool divides = quotient <= step.limit;
      a = divides ? quotient : a;
      key += step.stride * static_cast<std::uint32_t>(divides);
    }
    std::uint8_t group = groupOfKey[key];
    if (group == kUnassigned) {
      group = openGroup(key);
    }
    reduced[k] = a;
    tags[k] = laneTag(group, twosOfP - shift, x < 0);
    ++tallies[k % kTallies][group];
  }
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    for (const auto& tally : tallies) {
      groups_[g].count += tally[g];
    }
  }
  return tallies;
}

// Lanes sorted by group into order_, each tally's lanes in a block of their
// own (the order within a group does not matter). Lanes of groups too small
// for an inversion, or without a group, go to fallback_ for Euclid's loops;
// lanes with x = 0 are left alone.
void LcmBatch::sortByGroup(const Tallies& tallies, std::size_t count) {
  constexpr std::uint8_t kEuclidBlock = kMaxGroups;
  constexpr std::uint8_t kZeroBlock = kMaxGroups + 1;
  constexpr std::size_t kBlocks = kMaxGroups + 2U;
  std::array<std::uint8_t, kTags> blockOf{};
  blockOf.fill(kEuclidBlock);
  blockOf[kZeroLane] = kZeroBlock;
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    if (groups_[g].count >= kMinGroupLanes) {
      blockOf[g] = static_cast<std::uint8_t>(g);
    }
  }
  // next[t][block]: where tally t's next lane of the block goes.
  std::array<std::array<std::uint32_t, kBlocks>, kTallies> next{};
  for (std::size_t t = 0; t < kTallies; ++t) {
    for (std::size_t g = 0; g < kTags; ++g) {
      next[t][blockOf[g]] += tallies[t][g];
    }
  }
  std::array<std::uint32_t, kBlocks> blockEnd{};
  std::uint32_t placed = 0;
  for (std::size_t block = 0; block < kBlocks; ++block) {
    if (block < groups_.size()) {
      groups_[block].start = placed;
    }
    for (std::size_t t = 0; t < kTallies; ++t) {
      placed += std::exchange(next[t][block], placed);
    }
    blockEnd[block] = placed;
  }
  order_.resize(count);
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint8_t block = blockOf[tags_[k] & kGroupMask];
    order_[next[k % kTallies][block]++] = k;
  }
  fallback_.assign(order_.begin() + blockEnd[kEuclidBlock - 1],
                   order_.begin() + blockEnd[kEuclidBlock]);
}

// The division steps for the small primes of p's odd part, and the table from
// a lane's key (how often each prime divided it, in mixed radix) to its group.
void LcmBatch::planDivisions(std::uint64_t oddOfP, std::size_t lanes) {
  divisions_.clear();
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
    keys *= factor.exponent + 1;
  }
  groupOfKey_.assign(keys, kUnassigned);
  groupOfKey_[0] = 0;
  groups_.assign(1, Group{1, 0, 0});
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
  groups_.push_back(Group{shared, 0, 0});
  groupOfKey_[key] = static_cast<std::uint8_t>(groups_.size() - 1);
  return groupOfKey_[key];
}

// Finishes the lanes of one group, whose reduced |p| is modulus times a power
// of two: their inverses modulo `modulus` come from one batch inversion.
template <typename Lanes>
void LcmBatch::finishGroup(std::span<std::int64_t> values, std::int64_t p, std::uint64_t shared,
                           std::uint64_t modulus, const Lanes& lanes) {
  const Montgomery montgomery(modulus);
  const std::uint64_t modulusInverse = montgomery.modulusInverse();
  const auto finish = [&](std::uint32_t lane, std::uint64_t inverse) {
    values[lane] = finishLane(tags_[lane], p, reduced_[lane], inverse, modulus, modulusInverse);
  };
  const std::size_t count = lanes.size();
  if (modulus == 1) {
    for (std::size_t i = 0; i < count; ++i) {
      finish(lanes[i], 0);  // everything is 0 modulo 1
    }
    return;
  }

  // Montgomery's trick: the products of the lanes before each one, one
  // inversion of the product of all, and a backward pass that peels the
  // lanes off again. With R = 2^64 and every lane's reduced value a read as
  // the Montgomery form of a / R, the backward pass started from the plain
  // inverse of the total's Montgomery form yields each a^-1 itself.
  const std::uint64_t one = (0 - modulus) % modulus;  // R mod modulus, the form of 1
  const std::size_t units = (count + kUnit - 1) / kUnit;
  const std::size_t fullUnits = count / kUnit;
  const auto unitLength = [&](std::size_t u) { return std::min(kUnit, count - u * kUnit); };
  unitProducts_.resize(units);
  std::size_t u = 0;
  for (; u + kWays <= fullUnits; u += kWays) {
    forwardUnits<kWays>(montgomery, one, lanes, u * kUnit, kUnit, reduced_.data(), values.data(),
                        &unitProducts_[u]);
  }
  for (; u < units; ++u) {
    forwardUnits<1>(montgomery, one, lanes, u * kUnit, unitLength(u), reduced_.data(),
                    values.data(), &unitProducts_[u]);
  }

  certify(montgomery, units);

  u = 0;
  for (; u + kWays <= fullUnits; u += kWays) {
    if (std::all_of(&unitFailed_[u], &unitFailed_[u] + kWays,
                    [](std::uint8_t f) { return f == 0; })) {
      backwardUnits<kWays>(montgomery, lanes, u * kUnit, kUnit, reduced_.data(), values.data(),
                           &unitStarts_[u], finish);
      continue;
    }
    for (std::size_t w = u; w < u + kWays; ++w) {
      if (unitFailed_[w] == 0) {
        backwardUnits<1>(montgomery, lanes, w * kUnit, kUnit, reduced_.data(), values.data(),
                         &unitStarts_[w], finish);
      }
    }
  }
  for (; u < units; ++u) {
    if (unitFailed_[u] == 0) {
      backwardUnits<1>(montgomery, lanes, u * kUnit, unitLength(u), reduced_.data(), values.data(),
                       &unitStarts_[u], finish);
    }
  }
  for (u = 0; u < units; ++u) {
    if (unitFailed_[u] != 0) {
      for (std::size_t i = u * kUnit; i < u * kUnit + unitLength(u); ++i) {
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
void LcmBatch::certify(const Montgomery& montgomery, std::size_t units) {
  const std::uint64_t modulus = montgomery.modulus();
  const std::uint64_t one = (0 - modulus) % modulus;
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
