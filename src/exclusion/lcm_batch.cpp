#include "lcm_batch.hpp"

#include "euclid_parity.hpp"
#include "lcm.hpp"
#include "modular.hpp"

namespace castles {
namespace {

// Below this many lanes the set-up of a batch (trial division of p, one
// inversion per group) costs more than Euclid's loops would.
constexpr std::size_t kMinBatchLanes = 16;

// @param tag the lane's tag
// @param a |x| over G = gcd(|x|, |p|), coprime to |p| / G
// @param oddInverse a^-1 mod modulus, the odd part of |p| / G
// @return lcm(x, p)
inline std::int64_t finishLane(LaneTag tag, std::int64_t p, std::uint64_t a,
                               std::uint64_t oddInverse, std::uint64_t modulus,
                               std::uint64_t modulusInverse) {
  const unsigned twos = tag.twos();
  // The inverse modulo b = modulus * 2^twos joins the two coprime parts:
  // inverse = oddInverse + modulus * t, with t chosen below 2^twos so that it
  // agrees with a^-1 mod 2^twos. It stays below b <= 2^63. With no twos the
  // mask is 0 and this is oddInverse; no branch on twos, which varies from
  // lane to lane.
  const std::uint64_t mask = (std::uint64_t{1} << twos) - 1;
  const std::uint64_t t = ((inverseModPowerOfTwo(a, twos) - oddInverse) * modulusInverse) & mask;
  const std::uint64_t inverse = oddInverse + modulus * t;
  const std::uint64_t b = modulus << twos;
  return internal::lcmFromReduced(tag.negative(), p, a, internal::remainderStepsOdd(inverse, b));
}

}  // namespace

LcmBatch::LcmBatch() : LcmBatch(bestEuclidKernel()) {}

LcmBatch::LcmBatch(EuclidKernel kernel) : euclid_(kernel) {}

void LcmBatch::apply(std::span<std::int64_t> values, std::int64_t p) {
  if (p == 0) {
    // lcm(x, 0) is 0 for every x, lcm(0, 0) included.
    std::fill(values.begin(), values.end(), 0);
    return;
  }
  if (values.size() < kMinBatchLanes) {
    euclid_.apply(values, p);
    return;
  }
  grouping_.group(values, p);
  const auto euclidLanes = grouping_.euclidLanes();
  fallback_.assign(euclidLanes.begin(), euclidLanes.end());
  for (const LaneGrouping::Group& group : grouping_.groups()) {
    if (group.count >= LaneGrouping::kMinGroupLanes) {
      finishGroup(values, p, group);
    }
  }
  euclid_.applyTo(values, fallback_, p);
}

// Finishes the lanes of one group, whose reduced |p| is modulus times a power
// of two: the lanes whose x's sign differs from p's take their inverses
// modulo `modulus` from one batch inversion; the others need none, and join
// only its certification, as their result a * p stands whatever the
// divisor's sign. Lanes of units that fail the certification keep their x
// and join the fallback.
void LcmBatch::finishGroup(std::span<std::int64_t> values, std::int64_t p,
                           const LaneGrouping::Group& group) {
  const std::uint64_t modulus = grouping_.oddOfP() / group.shared;
  const auto lanes = grouping_.lanes(group);
  const auto invert = lanes.first(group.signsDiffer);
  const auto certifyOnly = lanes.subspan(group.signsDiffer);
  const std::span<const std::uint64_t> reduced = grouping_.reduced();
  const std::span<const LaneTag> tags = grouping_.tags();
  const Montgomery montgomery(modulus);
  const std::uint64_t modulusInverse = montgomery.modulusInverse();
  const auto finish = [&](std::uint32_t lane, std::uint64_t inverse) {
    values[lane] = finishLane(tags[lane], p, reduced[lane], inverse, modulus, modulusInverse);
  };
  const auto finishCertified = [&](std::uint32_t lane) {
    values[lane] = internal::lcmFromReduced(p < 0, p, reduced[lane], false);
  };
  if (modulus == 1) {
    for (const std::uint32_t lane : invert) {
      finish(lane, 0);  // everything is 0 modulo 1
    }
    std::for_each(certifyOnly.begin(), certifyOnly.end(), finishCertified);
    return;
  }
  inversion_.run(montgomery, reduced, invert, certifyOnly, finish, finishCertified);
  const auto failed = inversion_.failedLanes();
  fallback_.insert(fallback_.end(), failed.begin(), failed.end());
}

}  // namespace castles
