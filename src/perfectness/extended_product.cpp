#include "extended_product.hpp"

#include <algorithm>
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

namespace internal {

std::int64_t truncatedExtendedProductGeneral(double d, double f) {
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

}  // namespace internal

namespace {

// @param bits a double's
// @return whether it is finite and normal: neither zero nor subnormal
constexpr bool isNormal(std::uint64_t bits) { return ((bits >> 52) & 0x7ffU) - 1 < 0x7feU; }

// truncatedExtendedProduct for two normal doubles, given as their bits, with
// no branch on them: the product's rounding and range follow from a few
// shifts and selects.
constexpr std::int64_t normalProduct(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kFraction = (std::uint64_t{1} << 52) - 1;
  constexpr std::uint64_t kImplicit = std::uint64_t{1} << 52;
  const U128 p = mulWide((a & kFraction) | kImplicit, (b & kFraction) | kImplicit);
  // Two significands of 53 bits make 105 or 106: the top 64 are kept and s,
  // 41 or 42, are dropped, as the top bit of p.hi (at most 2^41) says.
  const int s = 41 + static_cast<int>(p.hi >> 41);
  std::uint64_t m = (p.hi << (64 - s)) | (p.lo >> s);
  const std::uint64_t dropped = p.lo & ((std::uint64_t{1} << s) - 1);
  const std::uint64_t half = std::uint64_t{1} << (s - 1);
  // Nearest, ties to even: up where dropped is above half, or is half and m
  // is odd. m wraps to zero only from 2^64 - 1: that is 2^63, one bit up.
  m += static_cast<std::uint64_t>(dropped + (m & 1U) > half);
  const int carried = m == 0 ? 1 : 0;
  m |= static_cast<std::uint64_t>(carried) << 63;
  // |d * f| = m * 2^exponent, m at least 2^63: from exponent 0 up it is out
  // of range, or -2^63 itself, kSaturated either way; below -63 it truncates
  // to zero.
  const int exponent = static_cast<int>((a >> 52) & 0x7ffU) + static_cast<int>((b >> 52) & 0x7ffU) -
                       2 * 1075 + s + carried;
  const int drop = std::clamp(-exponent, 1, 64);
  const std::uint64_t magnitude = (m >> (drop - 1)) >> 1;  // no shift by 64
  const std::uint64_t negative = (a ^ b) >> 63;
  const auto value = static_cast<std::int64_t>((magnitude ^ (0 - negative)) + negative);
  return exponent >= 0 ? kSaturated : value;
}

}  // namespace

std::int64_t truncatedExtendedProduct(double d, double f) {
  const auto a = std::bit_cast<std::uint64_t>(d);
  const auto b = std::bit_cast<std::uint64_t>(f);
  if (isNormal(a) && isNormal(b)) [[likely]] {
    return normalProduct(a, b);
  }
  return internal::truncatedExtendedProductGeneral(d, f);
}

}  // namespace castles
