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

namespace internal {

// multiplyIn for a product beyond the factor's reach.
std::int64_t multiplyInBeyondReach(std::int64_t product, Factor factor);

// @return a * b, or kSaturated where that does not fit in 64 bits
inline std::int64_t productOrSaturated(std::int64_t a, std::int64_t b) {
  std::int64_t exact = 0;  // modulo 2^64 where it overflows
  const bool overflow = __builtin_mul_overflow(a, b, &exact);
  // The select in bits: as a conditional, compilers may make it a branch,
  // which the data would decide as they come.
  const std::uint64_t mask = 0 - static_cast<std::uint64_t>(overflow);
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(exact) & ~mask) |
                                   ((std::uint64_t{1} << 63) & mask));
}

// @return truncatedProduct(product, factor.power())
inline std::int64_t multiplyIn(std::int64_t product, Factor factor) {
  if (factor.within(product)) [[likely]] {
    // An integral power times a product within 2^53: two exact integers,
    // whose product is the answer where it fits in 64 bits (see
    // truncatedProduct). One that does not is at least 2^63 in magnitude,
    // and still so once rounded, so it is out of range, or -2^63 exactly:
    // kSaturated either way. Zero times a fraction is zero, and -2^63 times
    // a power beyond the range overflows to kSaturated as it should.
    return productOrSaturated(product, factor.multiplier);
  }
  return multiplyInBeyondReach(product, factor);
}

}  // namespace internal

// The perfectness of castles whose blocks arrive one at a time: the running
// product of the current castle, and a memo of powers that outlives castles,
// so that blocks repeated anywhere in the input call the math library once.
// calculateCastlePerfectness is this fold over one castle.
class PerfectnessFold {
 public:
  // Multiplies the current castle's running product by the block's power.
  void add(Block block) {
    product_ = internal::multiplyIn(product_, powers_.factor(internal::PowerMemo::keyOf(block)));
  }

  // The same for several blocks, given as their bases and exponents in turn:
  // base, exponent, base, exponent... An odd last value is left out.
  void add(std::span<const std::int32_t> basesAndExponents);

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
