#pragma once
// The extended multiply as the x87 unit does it, for the tests and the fuzz
// target to hold the program's integer arithmetic to: the product of two
// doubles rounded once to a 64-bit significand, then truncated toward zero,
// with products out of range, infinite or NaN saturated to -2^63. Only where
// long double is that format; elsewhere CASTLES_HAS_X87_REFERENCE is 0 and
// there is nothing to compare with.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__x86_64__) && LDBL_MANT_DIG == 64
#define CASTLES_HAS_X87_REFERENCE 1
#else
#define CASTLES_HAS_X87_REFERENCE 0
#endif

namespace castles::reference {

#if CASTLES_HAS_X87_REFERENCE

inline std::int64_t x87TruncatedProduct(double d, double f) {
  const long double r = static_cast<long double>(d) * static_cast<long double>(f);
  if (std::isnan(r) || r >= 0x1p63L || r < -0x1p63L) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<std::int64_t>(r);
}
#endif

}  // namespace castles::reference
