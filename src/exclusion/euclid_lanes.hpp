#pragma once
// Euclid's loop on many independent pairs of magnitudes, the exact path of
// the batched lcm. Two kernels: a portable one that keeps two loops in flight
// on the integer divider, and one in AVX-512 lanes with a floating-point
// quotient, built where the compiler can target it (CASTLES_SIMD) and taken
// where the processor runs it.

#include <cstdint>
#include <span>

namespace castles {

enum class EuclidKernel { portable, avx512 };

// @return whether this build holds the kernel and this processor can run it
bool euclidKernelAvailable(EuclidKernel kernel);

// @return the fastest available kernel
EuclidKernel bestEuclidKernel();

const char* euclidKernelName(EuclidKernel kernel);

// For every k: while b[k] != 0, (a[k], b[k]) = (b[k], a[k] mod b[k]), and
// steps[k] counts the remainders taken. Leaves the divisor in a[k].
// @param a, b, steps the same length
// @pre euclidKernelAvailable(kernel)
void runEuclidLanes(EuclidKernel kernel, std::span<std::uint64_t> a, std::span<std::uint64_t> b,
                    std::span<std::uint64_t> steps);

}  // namespace castles
