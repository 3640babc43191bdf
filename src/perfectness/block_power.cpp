#include "block_power.hpp"

#include <cmath>

namespace castles {

double blockPower(Block block) {
  if (internal::hasExactPower(block)) {
    // The power is an integer of at most 2^53, so it is exact in 64 bits and
    // as a double; a pow that is off by less than one unit in the last place
    // can only return it. Not taken on trust: BlockPower.EveryExactPower-
    // MatchesTheLibrary compares every block of this domain with std::pow.
    std::int64_t power = 1;  // every partial power is smaller still: no overflow
    for (std::int32_t i = 0; i < block.exponent; ++i) {
      power *= block.base;
    }
    return static_cast<double>(power);
  }
  return std::pow(static_cast<double>(block.base), static_cast<double>(block.exponent));
}

namespace internal {

Factor factorOf(double power) {
  // In range, the conversion is defined; NaN fails both comparisons. -0.0
  // converts to 0 and back to +0.0: not the same bits, so it is a fraction,
  // which keeps power() exactly the library's.
  if (power >= -0x1p63 && power < 0x1p63) {
    const auto integral = static_cast<std::int64_t>(power);
    if (std::bit_cast<std::uint64_t>(static_cast<double>(integral)) ==
        std::bit_cast<std::uint64_t>(power)) {
      return {Factor::kIntegralReach, integral};
    }
    return {Factor::kFractionReach, std::bit_cast<std::int64_t>(power)};
  }
  return {Factor::kBeyondReach, std::bit_cast<std::int64_t>(power)};
}

PowerMemo::Slot PowerMemo::fresh(std::uint64_t key) {
  return {key, factorOf(blockPower(std::bit_cast<Block>(key)))};
}

}  // namespace internal
}  // namespace castles
