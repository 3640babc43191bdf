#pragma once
// The last step for the lanes of a group whose x's sign differs from p's:
// from a = |x| / G and a's inverse modulo the group's modulus, the parity of
// Euclid's step count on (|x|, |p|) (euclid_parity.hpp), and with it
// lcm(x, p). A kernel for AVX-512 does eight lanes at a time.

#include <cstdint>
#include <span>

#include "euclid_parity.hpp"
#include "kernel.hpp"
#include "lane_plan.hpp"
#include "modular.hpp"

namespace castles {

// What every lane of a group shares.
struct GroupFinish {
  std::int64_t p;
  std::uint64_t modulus;         // the odd part of |p| / G
  std::uint64_t modulusInverse;  // modulus^-1 mod 2^64
  bool pOdd;                     // then no lane has twos left in |p| / G
};

// @param twos the twos left in |p| / G
// @param a |x| over G = gcd(|x|, |p|), coprime to |p| / G
// @param oddInverse a^-1 mod modulus
// @return lcm(x, p) for an x whose sign differs from p's
inline std::int64_t finishLane(const GroupFinish& group, unsigned twos, std::uint64_t a,
                               std::uint64_t oddInverse) {
  // The inverse modulo b = modulus * 2^twos joins the two coprime parts:
  // inverse = oddInverse + modulus * t, with t chosen below 2^twos so that it
  // agrees with a^-1 mod 2^twos. It stays below b <= 2^63. With no twos the
  // mask is 0 and this is oddInverse; no branch on twos, which varies from
  // lane to lane.
  const std::uint64_t mask = (std::uint64_t{1} << twos) - 1;
  const std::uint64_t t =
      ((inverseModPowerOfTwo(a, twos) - oddInverse) * group.modulusInverse) & mask;
  const std::uint64_t inverse = oddInverse + group.modulus * t;
  const std::uint64_t b = group.modulus << twos;
  const auto stepsOdd = static_cast<std::uint64_t>(internal::remainderStepsOdd(inverse, b));
  return internal::lcmOfOtherSign(group.p, a, 0 - stepsOdd);
}

// @pre modulus >= 3, twos >= 1
// @return finishLane(group, twos, a, oddInverse), with fewer operations
inline std::int64_t finishLaneWithTwos(const GroupFinish& group, unsigned twos, std::uint64_t a,
                                       std::uint64_t oddInverse) {
  // The inverse modulo b = modulus * 2^twos is oddInverse + modulus * t, with
  // t below 2^twos (finishLane). For twos >= 1, b / 2 = modulus * 2^(twos-1),
  // and since oddInverse lies in [1, modulus) the inverse exceeds it exactly
  // when t >= 2^(twos-1), that is, when bit twos - 1 of t is set; so t need
  // not be masked, nor the inverse formed.
  const std::uint64_t t = (inverseModPowerOfTwo(a, twos) - oddInverse) * group.modulusInverse;
  return internal::lcmOfOtherSign(group.p, a, 0 - ((t >> (twos - 1)) & 1));
}

// @pre modulus >= 3
// @return finishLane(group, 0, a, inverse), for a lane with no twos left in
//         |p| / G, as every lane of an odd p
inline std::int64_t finishOddLane(const GroupFinish& group, std::uint64_t a,
                                  std::uint64_t inverse) {
  // With no twos, b is the modulus itself, at least 3.
  return internal::lcmOfOtherSign(group.p, a, internal::oddStepsMask(inverse, group.modulus / 2));
}

// results[tags[i].lane()] = finishLane(group, tags[i].twos(), a[i], inverses[i])
// for every i.
// @param group modulus >= 3
// @param a, tags, inverses the same length
// @pre kernelAvailable(kernel)
void finishLanes(Kernel kernel, const GroupFinish& group, std::span<const std::uint64_t> a,
                 std::span<const LaneTag> tags, std::span<const std::uint64_t> inverses,
                 std::span<std::int64_t> results);

namespace internal {

// Lanes [from, a.size()) one at a time, the portable kernel and the vector
// kernel's tail.
void finishEach(const GroupFinish& group, std::span<const std::uint64_t> a,
                std::span<const LaneTag> tags, std::span<const std::uint64_t> inverses,
                std::span<std::int64_t> results, std::size_t from);

#if CASTLES_SIMD_AVX512
void finishAvx512(const GroupFinish& group, std::span<const std::uint64_t> a,
                  std::span<const LaneTag> tags, std::span<const std::uint64_t> inverses,
                  std::span<std::int64_t> results);
#endif

}  // namespace internal
}  // namespace castles
