#pragma once
// lcm(x, p) for many x and one p at a time, the exclusion stage's inner loop.
// The results are exactly those of the scalar lcm, sign of the divisor
// included, without running Euclid's loop for most lanes: the divisor's
// magnitude comes from the common factors of x and p (powers of two and small
// primes, divided out without the divider), and its sign from the parity of
// the loop's step count, read off one modular inverse per lane
// (euclid_parity.hpp), which only lanes whose x's sign differs from p's
// need. All lanes meet the same p, so their inverses share a modulus and come
// from one batch inversion, whose gcd, over every lane's product, also
// certifies that nothing else is shared. Lanes the batch cannot certify run
// Euclid's loop (euclid_lanes.hpp).

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "euclid_lanes.hpp"
#include "small_primes.hpp"

namespace castles {

class Montgomery;

class LcmBatch {
 public:
  // Runs Euclid's loops, where needed, on the fastest kernel this processor has.
  LcmBatch();
  // @pre euclidKernelAvailable(kernel)
  explicit LcmBatch(EuclidKernel kernel);

  // Replaces every x in values by lcm(x, p).
  // @param values fewer than 2^32 of them
  void apply(std::span<std::int64_t> values, std::int64_t p);

  // The same, every lane through Euclid's loop: the path for lanes the batch
  // inversion does not certify, callable alone for tests and benchmarks.
  void applyByEuclid(std::span<std::int64_t> values, std::int64_t p);

 private:
  // One division of a lane by a prime of p, done as often as p holds the prime.
  struct DivisionStep {
    std::uint64_t inverse;  // of the prime, mod 2^64
    std::uint64_t limit;    // (2^64 - 1) / prime
    std::uint32_t stride;   // what one division adds to the lane's key
  };
  struct PlannedPrime {
    std::uint64_t prime;
    std::uint32_t exponent;
    std::uint32_t stride;
  };
  // Lanes whose x shares the same odd factor with p.
  struct Group {
    std::uint64_t shared;
    std::uint32_t count;
    std::uint32_t signsDiffer;  // lanes whose x's sign differs from p's
    std::uint32_t start;        // where its lanes begin in order_, those lanes first
  };

  // Lanes whose common factor with p would open a group beyond these take
  // Euclid's loops; in practice a handful of groups hold nearly every lane.
  static constexpr std::uint8_t kMaxGroups = 32;
  // What a lane's group can be besides a group id.
  static constexpr std::uint8_t kNoGroup = kMaxGroups;
  static constexpr std::uint8_t kUnassigned = kMaxGroups + 1;  // a key not yet met
  static constexpr std::uint8_t kZeroLane = kMaxGroups + 2;    // x = 0: lcm(0, p) = 0 leaves it
  static constexpr std::size_t kTags = kMaxGroups + 3;
  // Lanes are counted per group and sign, 2 * group + whether x's sign
  // differs from p's, in this many interleaved tallies.
  static constexpr std::size_t kTallies = 4;
  using Tallies = std::array<std::array<std::uint32_t, 2 * kTags>, kTallies>;

  void planDivisions(std::uint64_t oddOfP, std::size_t lanes);
  Tallies classify(std::span<const std::int64_t> values);
  void sortByGroup(const Tallies& tallies, std::size_t count);
  std::uint8_t openGroup(std::uint32_t key);
  void finishGroup(std::span<std::int64_t> values, std::int64_t p, std::uint64_t shared,
                   std::uint64_t modulus, std::span<const std::uint32_t> invert,
                   std::span<const std::uint32_t> product);
  // @param one 2^64 mod the modulus, the Montgomery form of 1
  void certify(const Montgomery& montgomery, std::uint64_t one, std::size_t units);
  void markFirstFailure(const Montgomery& montgomery, std::size_t units);
  void restoreForEuclid(std::span<std::int64_t> values, std::uint32_t lane, std::uint64_t shared);
  void euclidFallback(std::span<std::int64_t> values, std::int64_t p);

  EuclidKernel kernel_;
  OddPrimes primes_;
  // The plan for the p at hand.
  unsigned twosOfP_ = 0;
  bool pNegative_ = false;
  std::vector<DivisionStep> divisions_;  // for the primes in ascending order
  std::size_t frequentDivisions_ = 0;    // how many are for primes that divide often
  std::vector<PlannedPrime> plannedPrimes_;
  std::vector<std::uint8_t> groupOfKey_;
  std::vector<Group> groups_;
  // Per lane.
  std::vector<std::uint64_t> reduced_;  // |x| over the common factor found
  std::vector<std::uint16_t> tags_;     // its group, the twos left in p, the sign of x
  std::vector<std::uint32_t> order_;    // lanes sorted by group and sign
  // Per unit of lanes in the batch inversion.
  std::vector<std::uint64_t> unitProducts_;
  std::vector<std::uint64_t> unitStarts_;  // products of the units before, then inverses
  std::vector<std::uint8_t> unitFailed_;
  // Lanes left to Euclid's loops, and the loops' state.
  std::vector<std::uint32_t> fallback_;
  std::vector<std::int64_t> fallbackValues_;
  std::vector<std::uint64_t> a_;
  std::vector<std::uint64_t> b_;
  std::vector<std::uint64_t> steps_;
};

}  // namespace castles
