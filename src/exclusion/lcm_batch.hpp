#pragma once
// lcm(x, p) for many x and one p at a time, the exclusion stage's inner loop.
// The results are exactly those of the scalar lcm, sign of the divisor
// included, without running Euclid's loop for most lanes. One pass
// (classify.hpp) divides the common factors of x and p out of every lane
// without the divider (lane_plan.hpp), and finishes the lanes whose x has
// p's sign: their result a * p stands whatever the divisor's sign. The
// others need the parity of Euclid's step count, read off one modular
// inverse per lane (euclid_parity.hpp); lanes of a group share a modulus, so
// their inverses come from one batch inversion (batch_inversion.hpp). When p
// has primes the plan does not divide out, a lane could share one; then the
// batch inversions' gcds certify that none does, and a lane that does runs
// Euclid's loop (euclid_batch.hpp).

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "batch_inversion.hpp"
#include "classify.hpp"
#include "euclid_batch.hpp"
#include "kernel.hpp"
#include "lane_plan.hpp"
#include "scratch.hpp"

namespace castles {

class LcmBatch {
 public:
  // Runs on the fastest kernels this processor has.
  LcmBatch();
  // Whether a batch may read how often p's smallest primes divide a lane
  // from a residue table (lane_plan.hpp). Tests turn the tables off to run
  // the division steps on every p.
  enum class ResidueTables { whereTheyPay, never };

  // @pre kernelAvailable(kernel)
  explicit LcmBatch(Kernel kernel, ResidueTables tables = ResidueTables::whereTheyPay);

  // Replaces every x in values by lcm(x, p).
  void apply(std::span<std::int64_t> values, std::int64_t p);

  // The same, every lane through Euclid's loop: the path for lanes the batch
  // inversion does not certify, callable alone for tests and benchmarks.
  void applyByEuclid(std::span<std::int64_t> values, std::int64_t p) { euclid_.apply(values, p); }

 private:
  // One list of a chunk's lanes, sized for the largest chunk.
  struct ListStorage {
    Scratch<std::uint64_t> a;
    Scratch<LaneTag> tag;
    ListedLanes reserve(std::size_t lanes);
  };
  // Lanes [first, end) of a list.
  struct Listed {
    std::span<const std::uint64_t> a;
    std::span<const LaneTag> tag;
    Listed(const ListStorage& list, std::size_t first, std::size_t end);
  };

  void applyToChunk(std::span<std::int64_t> chunk);
  void certifySameSign(std::span<std::int64_t> chunk, std::size_t count);
  void sortByKey(std::size_t count);
  template <std::size_t kWays>
  void sortByKeyWith(std::size_t count);
  void restoreX(std::span<std::int64_t> chunk, std::uint64_t a, LaneTag tag, std::uint64_t shared);
  void invertGroup(std::span<std::int64_t> chunk, std::uint8_t group, const Listed& listed);

  Kernel kernel_;
  ResidueTables tables_;
  LanePlan plan_;
  BatchInversion inversion_;
  EuclidBatch euclid_;
  ListStorage coprime_;                    // lanes of group 0 that need an inverse
  ListStorage sharing_;                    // those of other groups
  ListStorage sorted_;                     // the same, sorted by key
  ListStorage same_;                       // lanes of p's sign to certify
  std::vector<std::uint32_t> fallback_;    // lanes of the chunk left to Euclid's loops
  std::vector<std::uint32_t> keyTallies_;  // the sort's interleaved counts, then places
  std::vector<std::uint32_t> keyStarts_;   // where each key's lanes start in sorted_
};

}  // namespace castles
