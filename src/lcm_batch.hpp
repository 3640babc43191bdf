#pragma once
// lcm(x, p) for many x and one p at a time, the exclusion stage's inner loop.
// Euclid's loops for different x are independent, so they run side by side:
// two at a time on the integer divider, or up to 48 at a time in AVX-512
// lanes with a floating-point quotient where the processor has it. The
// results are exactly those of the scalar lcm, sign of the divisor included.

#include <cstdint>
#include <span>
#include <vector>

namespace castles {

class LcmBatch {
 public:
  // Replaces every x in values by lcm(x, p).
  void apply(std::span<std::int64_t> values, std::int64_t p);

 private:
  std::vector<std::uint64_t> a_;
  std::vector<std::uint64_t> b_;
  std::vector<std::uint64_t> steps_;
};

namespace internal {

// Euclid's loop on magnitudes: while b[k] != 0, (a[k], b[k]) = (b[k], a[k] mod b[k])
// and steps[k] counts the remainders taken. Leaves the divisor in a[k].
// @param a, b, steps the same length
void euclidPortable(std::span<std::uint64_t> a, std::span<std::uint64_t> b,
                    std::span<std::uint64_t> steps);

// True when this processor can run euclidAvx512.
bool avx512Available();

// The same loop in AVX-512 lanes.
// @param a, b, steps the same length, a multiple of kAvx512Group
// @pre avx512Available()
void euclidAvx512(std::span<std::uint64_t> a, std::span<std::uint64_t> b,
                  std::span<std::uint64_t> steps);

inline constexpr std::size_t kAvx512Group = 8;

}  // namespace internal
}  // namespace castles
