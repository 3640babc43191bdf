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

}  // namespace castles
