// Finishing eight lanes at a time in AVX-512: finishLane (finish.hpp) on
// every lane of a vector.

#include "finish.hpp"

#if CASTLES_SIMD_AVX512

#include "vector_montgomery.hpp"

namespace castles::internal {
namespace {

constexpr std::size_t kLanes = 8;

// @return a^-1 mod 2^64 for odd a; even lanes give values nobody reads. a is
//         its own inverse to 3 bits, and each Newton step doubles the bits.
CASTLES_AVX512 inline __m512i inverseModTwoTo64(__m512i a) {
  const __m512i two = _mm512_set1_epi64(2);
  __m512i y = a;
  for (int correct = 3; correct < 64; correct *= 2) {
    y = _mm512_mullo_epi64(y, _mm512_sub_epi64(two, _mm512_mullo_epi64(a, y)));
  }
  return y;
}

// The whole of finishLane on eight lanes.
CASTLES_AVX512 inline __m512i finishVector(const GroupFinish& group, __m512i a, __m512i twos,
                                           __m512i oddInverse) {
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i modulus = _mm512_set1_epi64(static_cast<std::int64_t>(group.modulus));
  const __m512i mask = _mm512_sub_epi64(_mm512_sllv_epi64(one, twos), one);
  __m512i inverse = oddInverse;
  if (_mm512_test_epi64_mask(twos, twos) != 0) {  // only even p gives twos
    const __m512i t = _mm512_and_si512(
        _mm512_mullo_epi64(_mm512_sub_epi64(inverseModTwoTo64(a), oddInverse),
                           _mm512_set1_epi64(static_cast<std::int64_t>(group.modulusInverse))),
        mask);
    inverse = _mm512_add_epi64(oddInverse, _mm512_mullo_epi64(modulus, t));
  }
  const __m512i b = _mm512_sllv_epi64(modulus, twos);
  // remainderStepsOdd, where b = modulus * 2^twos is at least 3.
  const __mmask8 stepsOdd = _mm512_cmpgt_epu64_mask(inverse, _mm512_srli_epi64(b, 1));
  // x and p differ in sign, so x / g is -a after an odd number of steps.
  const __m512i quotient = _mm512_mask_sub_epi64(a, stepsOdd, _mm512_setzero_si512(), a);
  return _mm512_mullo_epi64(quotient, _mm512_set1_epi64(group.p));
}

}  // namespace

CASTLES_AVX512 void finishAvx512(const GroupFinish& group, std::span<const std::uint64_t> a,
                                 std::span<const LaneTag> tags,
                                 std::span<const std::uint64_t> inverses,
                                 std::span<std::int64_t> results) {
  const __m256i twosMask = _mm256_set1_epi32(63);
  std::size_t i = 0;
  for (; i + kLanes <= a.size(); i += kLanes) {
    const __m256i tagBits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&tags[i]));
    const __m512i twos = _mm512_cvtepu32_epi64(
        _mm256_and_si256(_mm256_srli_epi32(tagBits, LaneTag::kTwosShift), twosMask));
    const __m512i result =
        finishVector(group, _mm512_loadu_si512(&a[i]), twos, _mm512_loadu_si512(&inverses[i]));
    const __m256i laneIndices = _mm256_srli_epi32(tagBits, LaneTag::kLaneShift);
    _mm512_i32scatter_epi64(results.data(), laneIndices, result, 8);
  }
  finishEach(group, a, tags, inverses, results, i);
}

}  // namespace castles::internal

#endif
