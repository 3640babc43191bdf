#pragma once
// 64 x 64 -> 128-bit multiplication, of unsigned and of signed operands. A
// portable version built from 32-bit halves and the compiler's native
// 128-bit type where it has one; the two are tested against each other, and
// CASTLES_PORTABLE_WIDE makes the whole program take the portable one.

#include <cstdint>

namespace castles {

struct U128 {
  std::uint64_t hi;
  std::uint64_t lo;
  friend constexpr bool operator==(U128, U128) = default;
};

// A signed 128-bit value: hi * 2^64 + lo.
struct I128 {
  std::int64_t hi;
  std::uint64_t lo;
  friend constexpr bool operator==(I128, I128) = default;
};

namespace internal {

// Schoolbook product of the 32-bit halves. No partial sum can overflow:
// (2^32-1)^2 + 2 * (2^32-1) = 2^64 - 1.
constexpr U128 mulWidePortable(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t aLo = a & 0xffffffffU;
  const std::uint64_t aHi = a >> 32;
  const std::uint64_t bLo = b & 0xffffffffU;
  const std::uint64_t bHi = b >> 32;
  const std::uint64_t ll = aLo * bLo;
  const std::uint64_t lh = aLo * bHi;
  const std::uint64_t hl = aHi * bLo;
  const std::uint64_t hh = aHi * bHi;
  const std::uint64_t middle = (ll >> 32) + (lh & 0xffffffffU) + (hl & 0xffffffffU);
  return {hh + (lh >> 32) + (hl >> 32) + (middle >> 32), (middle << 32) | (ll & 0xffffffffU)};
}

// The signed product differs from that of the same bits read unsigned by
// 2^64 times each negative operand's partner, the only terms that reach the
// high word.
constexpr I128 mulWideSignedPortable(std::int64_t a, std::int64_t b) {
  const auto ua = static_cast<std::uint64_t>(a);
  const auto ub = static_cast<std::uint64_t>(b);
  const U128 product = mulWidePortable(ua, ub);
  const std::uint64_t hi = product.hi - (a < 0 ? ub : 0) - (b < 0 ? ua : 0);
  return {static_cast<std::int64_t>(hi), product.lo};
}

#if defined(__SIZEOF_INT128__)
__extension__ using NativeU128 = unsigned __int128;
__extension__ using NativeI128 = __int128;

constexpr U128 mulWideNative(std::uint64_t a, std::uint64_t b) {
  const NativeU128 p = static_cast<NativeU128>(a) * b;
  return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
}

constexpr I128 mulWideSignedNative(std::int64_t a, std::int64_t b) {
  // The product fits; reading its words off through the unsigned type avoids
  // shifting a negative value.
  const auto p = static_cast<NativeU128>(static_cast<NativeI128>(a) * b);
  return {static_cast<std::int64_t>(static_cast<std::uint64_t>(p >> 64)),
          static_cast<std::uint64_t>(p)};
}
#endif

}  // namespace internal

// @return the full 128-bit product a * b
constexpr U128 mulWide(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__) && !defined(CASTLES_PORTABLE_WIDE)
  return internal::mulWideNative(a, b);
#else
  return internal::mulWidePortable(a, b);
#endif
}

// @return the full signed 128-bit product a * b
constexpr I128 mulWideSigned(std::int64_t a, std::int64_t b) {
#if defined(__SIZEOF_INT128__) && !defined(CASTLES_PORTABLE_WIDE)
  return internal::mulWideSignedNative(a, b);
#else
  return internal::mulWideSignedPortable(a, b);
#endif
}

// @return floor(a * b / 2^64), the high word of the signed 128-bit product
constexpr std::int64_t mulHighSigned(std::int64_t a, std::int64_t b) {
  return mulWideSigned(a, b).hi;
}

}  // namespace castles
