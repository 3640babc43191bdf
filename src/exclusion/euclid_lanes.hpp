#pragma once
// Euclid's loop on many independent pairs of magnitudes, the exact path of
// the batched lcm. Two loops: a portable one that keeps two loops in flight
// on the integer divider, and one in AVX-512 lanes with a floating-point
// quotient, which the avx512 kernel takes. AVX2 has no 64-bit conversions
// to and from double, so the avx2 kernel takes the portable loop.

#include <cstdint>
#include <span>

#include "kernel.hpp"

namespace castles {

// For every k: while b[k] != 0, (a[k], b[k]) = (b[k], a[k] mod b[k]), and
// steps[k] counts the remainders taken. Leaves the divisor in a[k].
// @param a, b, steps the same length
// @pre kernelAvailable(kernel)
void runEuclidLanes(Kernel kernel, std::span<std::uint64_t> a, std::span<std::uint64_t> b,
                    std::span<std::uint64_t> steps);

}  // namespace castles
