#pragma once
// A castle's perfectness: the product of its blocks' powers, taken in double
// precision and brought back to a signed 64-bit integer after every block.

#include <cstdint>
#include <span>

#include "block_power.hpp"
#include "extended_product.hpp"

namespace castles {

// @return the running product after multiplying in one more block
std::int64_t applyBlock(std::int64_t product, Block block);

// @return the perfectness of a castle whose blocks are given in input order
std::int64_t calculateCastlePerfectness(std::span<const Block> blocks);

// The perfectness of castles whose blocks arrive one at a time: the running
// product of the current castle, and a memo of powers that outlives castles,
// so that blocks repeated anywhere in the input call the math library once.
// calculateCastlePerfectness is this fold over one castle.
class PerfectnessFold {
 public:
  // Multiplies the current castle's running product by the block's power.
  void add(Block block) { product_ = internal::truncatedProduct(product_, powers_.power(block)); }

  // @return the current castle's perfectness; the next add starts a new castle
  std::int64_t finish() {
    const std::int64_t perfectness = product_;
    product_ = 1;
    return perfectness;
  }

 private:
  std::int64_t product_ = 1;
  internal::PowerMemo powers_;
};

}  // namespace castles
