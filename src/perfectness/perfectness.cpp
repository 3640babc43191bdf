#include "perfectness.hpp"

namespace castles {

std::int64_t applyBlock(std::int64_t product, Block block) {
  return internal::truncatedProduct(product, blockPower(block));
}

std::int64_t calculateCastlePerfectness(std::span<const Block> blocks) {
  PerfectnessFold fold;
  for (const Block& block : blocks) {
    fold.add(block);
  }
  return fold.finish();
}

}  // namespace castles
