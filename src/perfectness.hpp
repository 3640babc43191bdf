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

// The factor of one block: the math library's double pow of base and exponent.
double blockPower(Block block);

// @return the running product after multiplying in one more block
std::int64_t applyBlock(std::int64_t product, Block block);

// @return the perfectness of a castle whose blocks are given in input order
std::int64_t calculateCastlePerfectness(std::span<const Block> blocks);

}  // namespace castles
