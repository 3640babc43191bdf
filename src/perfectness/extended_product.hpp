#pragma once
// The running product times one factor as the extended format does it: the
// product converted to double, multiplied with one rounding to a 64-bit
// significand, truncated toward zero, and every product out of range,
// infinite or NaN brought to one saturated value. Done in integer
// arithmetic, so that it does not depend on what long double is.

#include <cmath>
#include <cstdint>
#include <limits>

namespace castles {

// Every product that is out of range, infinite or NaN becomes this value.
inline constexpr std::int64_t kSaturated = std::numeric_limits<std::int64_t>::min();

// Multiplies d by f rounded once to a 64-bit significand (nearest, ties to
// even), then truncates toward zero; out of range, infinite and NaN products
// give kSaturated. Pure integer arithmetic: no dependence on long double.
std::int64_t truncatedExtendedProduct(double d, double f);

namespace internal {

// truncatedExtendedProduct by its general route, which takes any operands.
// Two normal ones take a shorter route; a test holds the two together.
std::int64_t truncatedExtendedProductGeneral(double d, double f);

// @return truncatedExtendedProduct(static_cast<double>(product), factor),
// without the extended multiply where the answer is plainly exact
inline std::int64_t truncatedProduct(std::int64_t product, double factor) {
  if (product == 0) {
    // Zero times anything finite is zero; times infinity or NaN it is NaN.
    return std::isfinite(factor) ? 0 : kSaturated;
  }
  // Both exact integers: product converts to double exactly within 2^53, and
  // factor is integral. If their product fits in 64 bits it has at most 64
  // significant bits, so the extended rounding and the truncation leave it
  // as it is; -2^63 is both the exact product and kSaturated.
  constexpr std::int64_t kTwo53 = std::int64_t{1} << 53;
  if (-kTwo53 <= product && product <= kTwo53 && factor >= -0x1p63 && factor < 0x1p63) {
    const auto integral = static_cast<std::int64_t>(factor);  // in range: defined
    std::int64_t exact = 0;
    if (static_cast<double>(integral) == factor &&
        !__builtin_mul_overflow(product, integral, &exact)) {
      return exact;
    }
  }
  if (product == kSaturated) {
    // -2^63 is a power of two, so its product with a finite factor is exact,
    // in double too. It stays in range only when |factor| < 1, or when it is
    // -2^63 itself (factor 1), which is kSaturated again.
    return std::fabs(factor) < 1 ? static_cast<std::int64_t>(-0x1p63 * factor) : kSaturated;
  }
  // int64 -> double rounds to nearest, ties to even.
  return truncatedExtendedProduct(static_cast<double>(product), factor);
}

}  // namespace internal
}  // namespace castles
