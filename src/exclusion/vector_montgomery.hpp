#pragma once
// Montgomery multiplication (modular.hpp) in the eight 64-bit lanes of an
// AVX-512 vector, for the files compiled with an AVX-512 kernel. AVX-512 has
// the low 64 bits of a 64 x 64 product but not the high ones; those are put
// together from four 32 x 32 products.

#if CASTLES_SIMD_AVX512

#include <cstdint>

#include "avx512.hpp"
#include "modular.hpp"

namespace castles::internal {

struct VectorMontgomery {
  __m512i n;
  __m512i nHigh;    // n >> 32
  __m512i inverse;  // n^-1 mod 2^64

  CASTLES_AVX512 explicit VectorMontgomery(const Montgomery& montgomery)
      : n(_mm512_set1_epi64(static_cast<std::int64_t>(montgomery.modulus()))),
        nHigh(_mm512_set1_epi64(static_cast<std::int64_t>(montgomery.modulus() >> 32))),
        inverse(_mm512_set1_epi64(static_cast<std::int64_t>(montgomery.modulusInverse()))) {}
};

// @param yHigh y >> 32
// @return the high 64 bits of x * y in each lane
CASTLES_AVX512 inline __m512i multiplyHigh(__m512i x, __m512i y, __m512i yHigh) {
  const __m512i xHigh = _mm512_srli_epi64(x, 32);
  const __m512i lowLow = _mm512_mul_epu32(x, y);
  const __m512i lowHigh = _mm512_mul_epu32(x, yHigh);
  const __m512i highLow = _mm512_mul_epu32(xHigh, y);
  const __m512i highHigh = _mm512_mul_epu32(xHigh, yHigh);
  const __m512i low32 = _mm512_set1_epi64(0xFFFFFFFF);
  // The middle column: three terms below 2^32 each, so no carry is lost.
  const __m512i middle = _mm512_add_epi64(
      _mm512_add_epi64(_mm512_srli_epi64(lowLow, 32), _mm512_and_si512(lowHigh, low32)),
      _mm512_and_si512(highLow, low32));
  return _mm512_add_epi64(
      _mm512_add_epi64(highHigh, _mm512_srli_epi64(lowHigh, 32)),
      _mm512_add_epi64(_mm512_srli_epi64(highLow, 32), _mm512_srli_epi64(middle, 32)));
}

// @param y below n in every lane
// @return x * y * 2^-64 mod n in each lane, as Montgomery::multiply gives it
CASTLES_AVX512 inline __m512i multiply(const VectorMontgomery& m, __m512i x, __m512i y) {
  const __m512i high = multiplyHigh(x, y, _mm512_srli_epi64(y, 32));
  const __m512i q = _mm512_mullo_epi64(_mm512_mullo_epi64(x, y), m.inverse);
  const __m512i qnHigh = multiplyHigh(q, m.n, m.nHigh);
  const __m512i r = _mm512_sub_epi64(high, qnHigh);
  return _mm512_mask_add_epi64(r, _mm512_cmplt_epu64_mask(high, qnHigh), r, m.n);
}

}  // namespace castles::internal

#endif
