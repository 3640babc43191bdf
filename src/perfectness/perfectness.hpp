#pragma once
// A castle's perfectness: the product of its blocks' powers, taken in double
// precision and brought back to a signed 64-bit integer after every block.

#include <cstdint>
#include <limits>
#include <span>

namespace castles {

// One block of a castle: base raised to exponent is its factor.
struct Block {
  std::int32_t base;
  std::int32_t exponent;
};

// Every product that is out of range, infinite or NaN becomes this value.
inline constexpr std::int64_t kSaturated = std::numeric_limits<std::int64_t>::min();

// Multiplies d by f rounded once to a 64-bit significand (nearest, ties to
// even), then truncates toward zero; out of range, infinite and NaN products
// give kSaturated. Pure integer arithmetic: no dependence on long double.
std::int64_t truncatedExtendedProduct(double d, double f);

// The factor of one block: the math library's double pow of base and exponent,
// computed exactly by integer multiplication where that gives the same bits.
double blockPower(Block block);

// @return the running product after multiplying in one more block
std::int64_t applyBlock(std::int64_t product, Block block);

// @return the perfectness of a castle whose blocks are given in input order
std::int64_t calculateCastlePerfectness(std::span<const Block> blocks);

}  // namespace castles

// The memo of powers and the shortcut for exact products, which the fold
// below holds and calls inline; they build on the declarations above.
#include "perfectness_internal.hpp"  // IWYU pragma: export

namespace castles {

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
