#include "perfectness.hpp"

#include <cstring>

namespace castles {
namespace {

// @return false if the block's power is certainly finite
constexpr bool mayBeInfinite(std::int32_t base, std::int32_t exponent) {
  // pow(0, e) is infinite for e < 0. Otherwise the power overflows only from
  // 2^1024 up, and |base| <= 2^31 reaches that only from exponent 34 on.
  return exponent > 33 || (exponent < 0 && base == 0);
}

// @return the first block of [pair, end) whose power may be infinite, or end
const std::int32_t* nextThatMayBeInfinite(const std::int32_t* pair, const std::int32_t* end) {
  while (pair != end && !mayBeInfinite(pair[0], pair[1])) {
    pair += 2;
  }
  return pair;
}

}  // namespace

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

namespace internal {

std::int64_t multiplyInBeyondReach(std::int64_t product, Factor factor) {
  if (factor.reach == Factor::kIntegralReach) {
    // Beyond 2^53 the product converts to double with a rounding, to an
    // integer all the same; times the integral power that is again two exact
    // integers, as within reach. Rounded up to 2^63, it is out of the 64-bit
    // range, and -2^63 stands in for it: times any power but zero, either is
    // out of range or -2^63 itself, kSaturated as productOrSaturated gives.
    const double rounded = static_cast<double>(product);
    const std::int64_t integral =
        rounded < 0x1p63 ? static_cast<std::int64_t>(rounded) : kSaturated;
    return productOrSaturated(integral, factor.multiplier);
  }
  // A fraction times a product other than zero, or a power beyond the range
  // times one other than -2^63: truncatedProduct's shortcuts for zero and
  // for two integers do not apply, its one for -2^63 may.
  if (product == kSaturated) {
    return truncatedProduct(kSaturated, factor.power());
  }
  return truncatedExtendedProduct(static_cast<double>(product), factor.power());
}

}  // namespace internal

void PerfectnessFold::add(std::span<const std::int32_t> basesAndExponents) {
  // The running product stays in a register for the whole run.
  std::int64_t product = product_;
  const std::int32_t* pair = basesAndExponents.data();
  const std::int32_t* const end = pair + basesAndExponents.size() / 2 * 2;
  for (; pair != end; pair += 2) {
    if (product == 0) {
      // Zero times a finite power is zero: on to the next block whose power
      // may be infinite, with no lookup and no multiply on the way.
      pair = nextThatMayBeInfinite(pair, end);
      if (pair == end) {
        break;
      }
    }
    // A block is its base and its exponent, unpadded, so these eight bytes
    // are its key.
    std::uint64_t key = 0;
    std::memcpy(&key, pair, sizeof key);
    product = internal::multiplyIn(product, powers_.factor(key));
  }
  product_ = product;
}

}  // namespace castles
