#pragma once
// The lcm's divisor without Euclid's loop. lcm(x, p) divides x by
// g = gcd(x, p), where the loop
//     while (v != 0) { t = u rem v; u = v; v = t; }   starting from u = x, v = p
// uses the truncating remainder, so g is not made positive. Three facts let a
// batch find g's sign from one modular inverse per lane:
//
// 1. Sign. A truncating remainder is 0 or has its dividend's sign, so the
//    remainders alternate: the first has x's sign, the second p's, and so on.
//    The loop returns the divisor of its last step, which is p itself after
//    one step and the remainder before last after more. So after an odd
//    number of steps g has p's sign, after an even number x's. Magnitudes
//    follow the unsigned loop on |x|, |p|, since |u rem v| = |u| mod |v|
//    (-2^63 rem -1 = 0 = 2^63 mod 1 included), so the count is that loop's.
//
// 2. Scaling. For d dividing both, (d a) mod (d b) = d (a mod b): every
//    remainder of the scaled pair is d times the remainder of the reduced
//    pair, so steps(|x|, |p|) = steps(|x| / G, |p| / G) with G = gcd(|x|, |p|).
//
// 3. Parity from an inverse. Let a, b be coprime, b >= 2. Then r = a mod b is
//    not 0 (else b would divide a), and steps(a, b) = 1 + steps(b, r). Run
//    the loop on (b, r): its quotients q1, ..., qk are the partial quotients
//    of the continued fraction b / r = [q1; q2, ..., qk], and the last
//    remainder before 0 is gcd(b, r) = 1. Its convergents h(i) / d(i), with
//    h(-2) = 0, h(-1) = 1, d(-2) = 1, d(-1) = 0 and
//    h(i) = q(i+1) h(i-1) + h(i-2) (d alike), end at h(k-1) / d(k-1) = b / r
//    and obey h(i) d(i-1) - h(i-1) d(i) = (-1)^(i-1). At i = k-1 that is
//    b d(k-2) - h(k-2) r = (-1)^k, so r h(k-2) = (-1)^(k+1) mod b: r^-1 mod b
//    is h(k-2) when k is odd and b - h(k-2) when k is even.
//    Now h(k-2) <= b / 2, and < b / 2 for k >= 2: for k = 1 it is
//    h(-1) = 1 <= b / 2; for k >= 2 the last quotient qk is the dividend of
//    the last step, a remainder above the final remainder 1, so qk >= 2 and
//    b = qk h(k-2) + h(k-3) > 2 h(k-2). So steps(b, r) = k is odd exactly
//    when r^-1 mod b <= b / 2 (rounded down), and since r = a mod b has the
//    same inverse as a:
//        steps(a, b) is odd  <=>  a^-1 mod b > b / 2   (b >= 2)
//    and for b = 1 the loop takes one step (a mod 1 = 0).

#include <cstdint>

namespace castles::internal {

// @param b 1 <= b, coprime to the a whose inverse is given
// @param inverse a^-1 mod b, in [0, b)
// @return whether Euclid's loop on (a, b) takes an odd number of remainder steps
constexpr bool remainderStepsOdd(std::uint64_t inverse, std::uint64_t b) {
  return b == 1 || inverse > b / 2;
}

// @param xNegative whether x < 0 in lcm(x, p), x != 0, p != 0
// @param reduced |x| / gcd(|x|, |p|)
// @param stepsOdd whether Euclid's loop on (|x|, |p|) takes an odd number of steps
// @return lcm(x, p) = (x / g) * p, wrapping
constexpr std::int64_t lcmFromReduced(bool xNegative, std::int64_t p, std::uint64_t reduced,
                                      bool stepsOdd) {
  // x / g is +-reduced: positive when g carries x's sign (even steps), and
  // otherwise the sign of x times that of p. Negation and the product wrap
  // through unsigned, which also gives -2^63 / -1 = -2^63.
  // Branch-free, as the signs are coin tosses to the predictor: `negate` is
  // all ones or zero, and (r ^ negate) - negate is -r or r.
  const std::uint64_t signsDiffer =
      static_cast<std::uint64_t>(xNegative) ^ (static_cast<std::uint64_t>(p) >> 63);
  const std::uint64_t negate = 0 - (signsDiffer & static_cast<std::uint64_t>(stepsOdd));
  const std::uint64_t quotient = (reduced ^ negate) - negate;
  return static_cast<std::int64_t>(quotient * static_cast<std::uint64_t>(p));
}

// @param inverse, half inverse < 2^63 and half < 2^63
// @return all ones when inverse > half, else 0: for half = b / 2, whether
//         Euclid's loop takes an odd number of steps, as a mask, with no
//         branch for a compiler to choose on a coin toss
constexpr std::uint64_t oddStepsMask(std::uint64_t inverse, std::uint64_t half) {
  // Both below 2^63, so the difference's sign bit says which is larger, and
  // the arithmetic shift copies it.
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(half - inverse) >> 63);
}

// @param p != 0
// @param reduced |x| / gcd(|x|, |p|), for an x of the sign p has not
// @param oddSteps all ones when Euclid's loop on (|x|, |p|) takes an odd
//        number of steps, else 0
// @return lcm(x, p), wrapping: lcmFromReduced with x's sign known
constexpr std::int64_t lcmOfOtherSign(std::int64_t p, std::uint64_t reduced,
                                      std::uint64_t oddSteps) {
  // x / g is -reduced when g carries p's sign (odd steps), else reduced, and
  // negating the product negates the quotient: -(r p) = (-r) p, wrapping.
  const std::uint64_t product = reduced * static_cast<std::uint64_t>(p);
  return static_cast<std::int64_t>((product ^ oddSteps) - oddSteps);
}

}  // namespace castles::internal
