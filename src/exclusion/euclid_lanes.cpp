#include "euclid_lanes.hpp"

#include <array>

// CASTLES_SIMD_AVX512 is set by the build: 1 where the AVX-512 kernel is to be
// compiled in (x86-64 with GCC or Clang, unless CASTLES_SIMD says otherwise).
#if CASTLES_SIMD_AVX512
#include <immintrin.h>
#endif

namespace castles {
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
void euclidPortable(std::span<std::uint64_t> a, std::span<std::uint64_t> b,
                    std::span<std::uint64_t> steps) {
  for (std::size_t k = 0; k < a.size(); k += 2) {
    Lane x{a[k], b[k], steps[k]};
    Lane y{1, 0, 0};  // an idle partner for an odd last lane
    const bool pair = k + 1 < a.size();
    if (pair) {
      y = {a[k + 1], b[k + 1], steps[k + 1]};
    }
    while ((x.b | y.b) != 0) {
      stepLane(x);
      stepLane(y);
    }
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

#if CASTLES_SIMD_AVX512

constexpr std::size_t kAvx512Group = 8;

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

// Whole groups of eight lanes in vectors; the last few lanes on the portable
// loop.
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
    k += vectors * kAvx512Group;
  }
  euclidPortable(a.subspan(k), b.subspan(k), steps.subspan(k));
}

#endif

}  // namespace

void runEuclidLanes(Kernel kernel, std::span<std::uint64_t> a, std::span<std::uint64_t> b,
                    std::span<std::uint64_t> steps) {
#if CASTLES_SIMD_AVX512
  if (kernel == Kernel::avx512) {
    euclidAvx512(a, b, steps);
    return;
  }
#endif
  static_cast<void>(kernel);
  euclidPortable(a, b, steps);
}

}  // namespace castles
