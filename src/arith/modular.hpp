#pragma once
// Arithmetic modulo one 64-bit number without the integer divider:
// Montgomery multiplication modulo an odd number, inverses modulo powers of
// two, and the modular inverse by the extended remainder loop (the one place
// that divides, once per modulus).

#include <array>
#include <cstdint>

#include "wide.hpp"

namespace castles {

namespace internal {

// Inverses of the odd bytes modulo 2^8, indexed by a / 2. a * a = 1 mod 8 for
// every odd a, so a is its own inverse to 3 bits, and each Newton step
// y(2 - ay) doubles the number of correct low bits: two steps give 12.
inline constexpr std::array<std::uint8_t, 128> kByteInverses = [] {
  std::array<std::uint8_t, 128> inverses{};
  for (std::uint64_t a = 1; a < 256; a += 2) {
    std::uint64_t y = a;
    y *= 2 - a * y;
    y *= 2 - a * y;
    inverses[a / 2] = static_cast<std::uint8_t>(y);
  }
  return inverses;
}();

}  // namespace internal

// @param a odd when bits > 0
// @param bits 0 <= bits <= 64
// @return a^-1 modulo 2^bits, in the low `bits` bits (the rest is garbage)
constexpr std::uint64_t inverseModPowerOfTwo(std::uint64_t a, unsigned bits) {
  // The table gives 8 correct bits, so the few twos a lane usually has need
  // no Newton step, and 64 bits need three.
  std::uint64_t y = internal::kByteInverses[(a >> 1) & 127];
  for (unsigned correct = 8; correct < bits; correct *= 2) {
    y *= 2 - a * y;
  }
  return y;
}

// Multiplication in Montgomery form modulo an odd n, with R = 2^64.
class Montgomery {
 public:
  // @param n odd
  constexpr explicit Montgomery(std::uint64_t n) : n_(n), inverse_(inverseModPowerOfTwo(n, 64)) {}

  // @param y < n
  // @return x * y * 2^-64 mod n, in [0, n)
  constexpr std::uint64_t multiply(std::uint64_t x, std::uint64_t y) const {
    // x * y < 2^64 * n, so its high word is below n. m * n agrees with x * y
    // in the low word, so x * y - m * n is (hi - mnHi) * 2^64 exactly, and
    // hi - mnHi lies in (-n, n): one conditional add of n brings it to [0, n).
    const U128 t = mulWide(x, y);
    const std::uint64_t m = t.lo * inverse_;
    const std::uint64_t mnHi = mulWide(m, n_).hi;
    const std::uint64_t r = t.hi - mnHi;
    return t.hi < mnHi ? r + n_ : r;
  }

  // The same product of residues carried signed, in (-n, n), which needs no
  // correction at the end: a chain of them is shorter by one compare and
  // one select per product.
  // @param x any, read signed
  // @param y in (-n, n)
  // @pre n < 2^63
  // @return x * y * 2^-64 mod n, in (-n, n)
  constexpr std::int64_t multiplySigned(std::int64_t x, std::int64_t y) const {
    // |x * y| <= 2^63 (n - 1), so its high word lies in [-n/2, n/2); m * n
    // with m read signed lies in [-2^63 n, 2^63 n), its high word in
    // [-n/2, n/2). The low words agree, so the difference of the high words
    // is (x * y - m * n) / 2^64 exactly, an integer in (-n, n).
    const I128 t = mulWideSigned(x, y);
    const auto m = static_cast<std::int64_t>(t.lo * inverse_);
    return t.hi - mulHighSigned(m, static_cast<std::int64_t>(n_));
  }

  constexpr std::uint64_t modulus() const { return n_; }
  // @return n^-1 mod 2^64
  constexpr std::uint64_t modulusInverse() const { return inverse_; }

 private:
  std::uint64_t n_;
  std::uint64_t inverse_;
};

struct ModularInverse {
  std::uint64_t gcd;      // gcd(c, n)
  std::uint64_t inverse;  // c^-1 mod n in [0, n) when gcd is 1, otherwise meaningless
};

// @param n 1 <= n < 2^63
// @param c < n
constexpr ModularInverse inverseModulo(std::uint64_t c, std::uint64_t n) {
  // Invariant: r0 = s0 * c and r1 = s1 * c modulo n. The coefficients
  // alternate in sign and never exceed n in magnitude, so they are carried
  // in wrapping unsigned arithmetic and read back as two's complement.
  std::uint64_t r0 = n;
  std::uint64_t r1 = c;
  std::uint64_t s0 = 0;
  std::uint64_t s1 = 1;
  while (r1 != 0) {
    const std::uint64_t q = r0 / r1;
    const std::uint64_t r2 = r0 - q * r1;
    const std::uint64_t s2 = s0 - q * s1;
    r0 = r1;
    r1 = r2;
    s0 = s1;
    s1 = s2;
  }
  const bool negative = (s0 >> 63) != 0;
  return {r0, negative ? s0 + n : s0};
}

}  // namespace castles
