#pragma once
// Signed 64-bit arithmetic that wraps like the hardware multiply instead of
// trapping, and the lcm built on it. Every function here is total except for
// division by zero, which lcm never reaches.

#include <cstdint>

namespace castles {

// @return a * b keeping the low 64 bits
constexpr std::int64_t wrappingMultiply(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

// @return |x| as unsigned, so that |-2^63| = 2^63 fits. The signs of running
//         values are coin tosses to the branch predictor, and compilers make
//         this select a negation and a conditional move: three instructions
//         where a mask of the sign takes five.
constexpr std::uint64_t magnitude(std::int64_t x) {
  const auto bits = static_cast<std::uint64_t>(x);
  return x < 0 ? 0 - bits : bits;
}

// @return a / b truncated toward zero; -2^63 / -1 wraps to -2^63
// @param b != 0
constexpr std::int64_t truncatedQuotient(std::int64_t a, std::int64_t b) {
  // The hardware faults on -2^63 / -1; negating through unsigned wraps instead.
  return b == -1 ? static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(a)) : a / b;
}

// @return a rem b, zero or with the sign of a; -2^63 rem -1 is 0
// @param b != 0
constexpr std::int64_t truncatedRemainder(std::int64_t a, std::int64_t b) {
  return b == -1 ? 0 : a % b;
}

// Euclid's remainder loop with the truncating remainder. The result is not
// made absolute: its sign is that of u or of v, as the length of the
// remainder sequence leaves it. gcd(x, 0) = x, gcd(0, 0) = 0.
constexpr std::int64_t gcd(std::int64_t u, std::int64_t v) {
  while (v != 0) {
    const std::int64_t t = truncatedRemainder(u, v);
    u = v;
    v = t;
  }
  return u;
}

// @return (a / gcd(a, b)) * b, dividing first and wrapping the product;
//         lcm(0, 0) is 0 (the divisor is 0 only there)
constexpr std::int64_t lcm(std::int64_t a, std::int64_t b) {
  const std::int64_t g = gcd(a, b);
  if (g == 0) {
    return 0;
  }
  return wrappingMultiply(truncatedQuotient(a, g), b);
}

}  // namespace castles
