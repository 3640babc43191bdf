#pragma once
// lcm(x, p) for many x and one p through Euclid's loop: the exact path for
// the lanes the batched lcm cannot certify, and for batches too small for it.

#include <cstdint>
#include <span>
#include <vector>

#include "kernel.hpp"

namespace castles {

class EuclidBatch {
 public:
  // @pre euclidKernelAvailable(kernel)
  explicit EuclidBatch(Kernel kernel) : kernel_(kernel) {}

  // Replaces every x in values by lcm(x, p).
  void apply(std::span<std::int64_t> values, std::int64_t p);

  // Replaces values[lane] by lcm(values[lane], p) for every listed lane.
  void applyTo(std::span<std::int64_t> values, std::span<const std::uint32_t> lanes,
               std::int64_t p);

 private:
  Kernel kernel_;
  // The loops' state, per lane of a batch.
  std::vector<std::uint64_t> a_;
  std::vector<std::uint64_t> b_;
  std::vector<std::uint64_t> steps_;
  // The listed lanes' values, gathered for apply.
  std::vector<std::int64_t> gathered_;
};

}  // namespace castles
