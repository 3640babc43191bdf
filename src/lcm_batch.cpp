#include "lcm_batch.hpp"

#include <algorithm>
#include <array>

#include "lcm.hpp"
#include "wide.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CASTLES_HAVE_AVX512_PATH 1
#include <immintrin.h>
#endif

namespace castles {
namespace {

constexpr std::uint64_t magnitude(std::int64_t x) {
  // Through unsigned, so that |-2^63| = 2^63 does not overflow.
  return x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
}

}  // namespace

namespace internal {

namespace {

struct Lane {
  std::uint64_t a;
  std::uint64_t b;
  std::uint64_t steps;
};

// One remainder step, branch-free; a finished lane (b == 0) divides by 1 and
// keeps its values, so that it can wait for its partner.
inline void stepLane(Lane& lane) {
  const bool live = lane.b != 0;
  const std::uint64_t t = lane.a % (live ? lane.b : 1);
  lane.a = live ? lane.b : lane.a;
  lane.b = live ? t : 0;
  lane.steps += live ? 1 : 0;
}

// Two loops in lockstep keep two divisions in flight.
void runPair(Lane& x, Lane& y) {
  while ((x.b | y.b) != 0) {
    stepLane(x);
    stepLane(y);
  }
}

}  // namespace

void euclidPortable(std::span<std::uint64_t> a, std::span<std::uint64_t> b,
                    std::span<std::uint64_t> steps) {
  for (std::size_t k = 0; k < a.size(); k += 2) {
    Lane x{a[k], b[k], steps[k]};
    Lane y{1, 0, 0};  // an idle partner for an odd last lane
    const bool pair = k + 1 < a.size();
    if (pair) {
      y = {a[k + 1], b[k + 1], steps[k + 1]};
    }
    runPair(x, y);
    a[k] = x.a;
    b[k] = x.b;
    steps[k] = x.steps;
    if (pair) {
      a[k + 1] = y.a;
      b[k + 1] = y.b;
      steps[k + 1] = y.steps;
    }
  }
}

#if defined(CASTLES_HAVE_AVX512_PATH)

bool avx512Available() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}

namespace {

// One Euclid step on eight lanes. The quotient comes from double division:
// with b < 2^62 and a < 2^50 * b, the true quotient is below 2^50, and the
// conversions and the division each err by at most half an ulp, so the
// truncated estimate is the true quotient or one off either way. The
// remainder estimate a - q*b is then in [-b, 2b); with 2b < 2^63 a negative
// value shows as a set top bit, and one correction makes it exact. Lanes
// outside those bounds are redone with the integer divider.
__attribute__((target("avx512f,avx512dq"))) inline __m512i remainderLanes(__m512i a, __m512i b,
                                                                          __mmask8 live) {
  const __m512i quotient =
      _mm512_cvttpd_epu64(_mm512_div_pd(_mm512_cvtepu64_pd(a), _mm512_cvtepu64_pd(b)));
  __m512i r = _mm512_sub_epi64(a, _mm512_mullo_epi64(quotient, b));
  r = _mm512_mask_add_epi64(r, _mm512_movepi64_mask(r), r, b);
  r = _mm512_mask_sub_epi64(r, _mm512_cmpge_epu64_mask(r, b), r, b);
  // The zero-masked shift is the plain shift; it sidesteps a false
  // "uninitialized" warning that GCC 12's header raises for the plain one.
  const __mmask8 outside =
      live & (_mm512_cmpge_epu64_mask(_mm512_maskz_srli_epi64(0xFF, a, 50), b) |
              _mm512_cmpge_epu64_mask(b, _mm512_set1_epi64(std::int64_t{1} << 62)));
  if (outside != 0) {
    alignas(64) std::uint64_t av[8];
    alignas(64) std::uint64_t bv[8];
    alignas(64) std::uint64_t rv[8];
    _mm512_store_si512(av, a);
    _mm512_store_si512(bv, b);
    _mm512_store_si512(rv, r);
    for (unsigned k = 0; k < 8; ++k) {
      if (((outside >> k) & 1U) != 0) {
        rv[k] = av[k] % bv[k];
      }
    }
    r = _mm512_load_si512(rv);
  }
  return r;
}

// Runs `kVectors` vectors of eight lanes in lockstep until every lane is done.
// Each step's chain of conversions, division and multiply is long, so only
// several independent vectors keep the floating-point divider busy.
template <std::size_t kVectors>
__attribute__((target("avx512f,avx512dq"))) void euclidVectors(std::uint64_t* a, std::uint64_t* b,
                                                               std::uint64_t* steps) {
  const __m512i one = _mm512_set1_epi64(1);
  __m512i av[kVectors];
  __m512i bv[kVectors];
  __m512i sv[kVectors];
  for (std::size_t v = 0; v < kVectors; ++v) {
    av[v] = _mm512_loadu_si512(a + 8 * v);
    bv[v] = _mm512_loadu_si512(b + 8 * v);
    sv[v] = _mm512_loadu_si512(steps + 8 * v);
  }
  for (;;) {
    __mmask8 live[kVectors];
    unsigned anyLive = 0;
    for (std::size_t v = 0; v < kVectors; ++v) {
      live[v] = _mm512_test_epi64_mask(bv[v], bv[v]);
      anyLive |= live[v];
    }
    if (anyLive == 0) {
      break;
    }
    for (std::size_t v = 0; v < kVectors; ++v) {
      // Finished lanes divide by zero into a discarded infinity; floating-point
      // exceptions are masked, so nothing traps.
      const __m512i r = remainderLanes(av[v], bv[v], live[v]);
      av[v] = _mm512_mask_mov_epi64(av[v], live[v], bv[v]);
      bv[v] = _mm512_mask_mov_epi64(bv[v], live[v], r);
      sv[v] = _mm512_mask_add_epi64(sv[v], live[v], sv[v], one);
    }
  }
  for (std::size_t v = 0; v < kVectors; ++v) {
    _mm512_storeu_si512(a + 8 * v, av[v]);
    _mm512_storeu_si512(b + 8 * v, bv[v]);
    _mm512_storeu_si512(steps + 8 * v, sv[v]);
  }
}

}  // namespace

__attribute__((target("avx512f,avx512dq"))) void euclidAvx512(std::span<std::uint64_t> a,
                                                              std::span<std::uint64_t> b,
                                                              std::span<std::uint64_t> steps) {
  // Six vectors at a time measured best: fewer leave the divider idle, more
  // wait longer on their slowest lane.
  constexpr std::size_t kWide = 6 * kAvx512Group;
  std::size_t k = 0;
  for (; k + kWide <= a.size(); k += kWide) {
    euclidVectors<6>(&a[k], &b[k], &steps[k]);
  }
  using Kernel = void (*)(std::uint64_t*, std::uint64_t*, std::uint64_t*);
  // The last one to five vectors, by how many there are.
  static constexpr std::array<Kernel, 6> kTail = {nullptr,          euclidVectors<1>,
                                                  euclidVectors<2>, euclidVectors<3>,
                                                  euclidVectors<4>, euclidVectors<5>};
  if (const std::size_t vectors = (a.size() - k) / kAvx512Group; vectors != 0) {
    kTail[vectors](&a[k], &b[k], &steps[k]);
  }
}

#else

bool avx512Available() { return false; }

void euclidAvx512(std::span<std::uint64_t> a, std::span<std::uint64_t> b,
                  std::span<std::uint64_t> steps) {
  euclidPortable(a, b, steps);
}

#endif

}  // namespace internal

void LcmBatch::apply(std::span<std::int64_t> values, std::int64_t p) {
  if (p == 0) {
    // lcm(x, 0) is 0 for every x, lcm(0, 0) included.
    std::fill(values.begin(), values.end(), 0);
    return;
  }
  static const bool useAvx512 = internal::avx512Available();
  const std::size_t count = values.size();
  const std::size_t group = useAvx512 ? internal::kAvx512Group : 1;
  const std::size_t padded = (count + group - 1) / group * group;
  a_.resize(padded);
  b_.resize(padded);
  steps_.resize(padded);

  // The first remainder, |x| mod |p|, shares its divisor across the batch: a
  // reciprocal computed once replaces the division. With m = floor((2^64-1)/|p|),
  // x*m/2^64 lies in (x/|p| - 1, x/|p|], so q is the quotient or one below it.
  const std::uint64_t pm = magnitude(p);
  const std::uint64_t reciprocal = ~std::uint64_t{0} / pm;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t x = magnitude(values[k]);
    const std::uint64_t q = mulWide(x, reciprocal).hi;
    std::uint64_t r = x - q * pm;
    if (r >= pm) {
      r -= pm;
    }
    a_[k] = pm;
    b_[k] = r;
    steps_[k] = 1;
  }
  std::fill(b_.begin() + static_cast<std::ptrdiff_t>(count), b_.end(), 0);
  if (useAvx512) {
    internal::euclidAvx512(a_, b_, steps_);
  } else {
    internal::euclidPortable(a_, b_, steps_);
  }

  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t x = values[k];
    if (steps_[k] == 1) {
      continue;  // p divides x: lcm(x, p) = (x / p) * p = x
    }
    // Remainders alternate between the signs of x and p: after an odd number
    // of steps the divisor carries p's sign, after an even number x's.
    const bool negative = (steps_[k] & 1U) != 0 ? p < 0 : x < 0;
    const std::uint64_t g = a_[k];
    if (g == 1) {
      const std::int64_t q = negative ? wrappingMultiply(x, -1) : x;
      values[k] = wrappingMultiply(q, p);
    } else {
      const auto divisor = static_cast<std::int64_t>(negative ? 0 - g : g);
      values[k] = wrappingMultiply(truncatedQuotient(x, divisor), p);
    }
  }
}

}  // namespace castles
