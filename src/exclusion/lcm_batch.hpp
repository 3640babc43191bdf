#pragma once
// lcm(x, p) for many x and one p at a time, the exclusion stage's inner loop.
// The results are exactly those of the scalar lcm, sign of the divisor
// included, without running Euclid's loop for most lanes: the divisor's
// magnitude comes from the common factors of x and p (powers of two and small
// primes, divided out without the divider: lane_groups.hpp), and its sign
// from the parity of the loop's step count, read off one modular inverse per
// lane (euclid_parity.hpp), which only lanes whose x's sign differs from p's
// need. All lanes of a group meet the same modulus, so their inverses come
// from one batch inversion, whose gcd, over every lane's product, also
// certifies that nothing else is shared (batch_inversion.hpp). Lanes the
// batch cannot certify run Euclid's loop (euclid_batch.hpp).

#include <cstdint>
#include <span>
#include <vector>

#include "batch_inversion.hpp"
#include "euclid_batch.hpp"
#include "euclid_lanes.hpp"
#include "lane_groups.hpp"

namespace castles {

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
  void applyByEuclid(std::span<std::int64_t> values, std::int64_t p) { euclid_.apply(values, p); }

 private:
  void finishGroup(std::span<std::int64_t> values, std::int64_t p,
                   const LaneGrouping::Group& group);

  LaneGrouping grouping_;
  BatchInversion inversion_;
  EuclidBatch euclid_;
  // Lanes left to Euclid's loops.
  std::vector<std::uint32_t> fallback_;
};

}  // namespace castles
