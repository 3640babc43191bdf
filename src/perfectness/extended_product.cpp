#include "extended_product.hpp"

#include <bit>

#include "wide.hpp"

namespace castles {
namespace {

// A finite double as sign, integer significand and power of two:
// |x| = significand * 2^exponent, exactly.
struct Unpacked {
  bool negative;
  std::uint64_t significand;
  int exponent;
};

// @param x finite
constexpr Unpacked unpack(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const bool negative = (bits >> 63) != 0;
  const auto biased = static_cast<int>((bits >> 52) & 0x7ffU);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0) {
    return {negative, fraction, -1074};  // subnormal or zero
  }
  return {negative, fraction | (std::uint64_t{1} << 52), biased - 1075};
}

// Truncates ±m * 2^e toward zero into a signed 64-bit integer, kSaturated when
// the truncated value does not fit.
constexpr std::int64_t truncateToInt64(bool negative, std::uint64_t m, int e) {
  // -2^63 is in range, +2^63 is not.
  const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  if (e >= 0) {
    if (e >= 64 || m > (limit >> e)) {
      return kSaturated;
    }
    magnitude = m << e;
  } else if (e > -64) {
    magnitude = m >> -e;
  }
  if (magnitude > limit) {
    return kSaturated;
  }
  // Negation through unsigned wraps; 2^63 becomes -2^63 by the modular conversion.
  return static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

}  // namespace

std::int64_t truncatedExtendedProduct(double d, double f) {
  // Infinity times anything, and NaN, have no integer value.
  if (!std::isfinite(d) || !std::isfinite(f)) {
    return kSaturated;
  }
  const Unpacked a = unpack(d);
  const Unpacked b = unpack(f);
  if (a.significand == 0 || b.significand == 0) {
    return 0;
  }
  const bool negative = a.negative != b.negative;
  // Both significands are below 2^53, so the exact product is below 2^106.
  const U128 p = mulWide(a.significand, b.significand);
  int exponent = a.exponent + b.exponent;
  std::uint64_t m = p.lo;
  if (p.hi != 0) {
    // Keep the top 64 of 65..106 significant bits; s is 1..42, so neither
    // shift below reaches 64.
    const auto s = static_cast<int>(std::bit_width(p.hi));
    m = (p.hi << (64 - s)) | (p.lo >> s);
    const std::uint64_t dropped = p.lo & ((std::uint64_t{1} << s) - 1);
    const std::uint64_t half = std::uint64_t{1} << (s - 1);
    if (dropped > half || (dropped == half && (m & 1U) != 0)) {
      ++m;
      if (m == 0) {  // rounded up to 2^64: renormalise
        m = std::uint64_t{1} << 63;
        ++exponent;
      }
    }
    exponent += s;
  }
  // The product's exponent stays within -2148..2048, far inside the extended
  // format's range, so the rounding above is the only one.
  return truncateToInt64(negative, m, exponent);
}

}  // namespace castles
