// Classification eight lanes at a time in AVX-512: the same steps as the
// portable kernel (classify.cpp) on every lane of a vector at once, with the
// lists written by compressing the listed lanes to the front of a vector, so
// that no lane takes a branch.

#include "classify_vector.hpp"

#if CASTLES_SIMD_AVX512

#include <array>
#include <bit>

#include "avx512.hpp"

namespace castles::internal {
namespace {

constexpr std::size_t kLanes = 8;

// What every vector of a batch needs from the plan, broadcast once.
struct Broadcast {
  __m512i twosOfP;
  __m512i p;
  __mmask8 pNegative;
};

// |x| of eight lanes with p's twos and planned primes divided out, and keys.
struct Reduced {
  __m512i a;
  __m512i key;
  __m512i twos;  // left in |p| / G
};

CASTLES_AVX512 inline void divideSteps(std::span<const DivisionStep> steps, __m512i& a,
                                       __m512i& key) {
  for (const DivisionStep& step : steps) {
    const __m512i quotient =
        _mm512_mullo_epi64(a, _mm512_set1_epi64(static_cast<std::int64_t>(step.inverse)));
    const __mmask8 divides =
        _mm512_cmple_epu64_mask(quotient, _mm512_set1_epi64(static_cast<std::int64_t>(step.limit)));
    a = _mm512_mask_mov_epi64(a, divides, quotient);
    key = _mm512_mask_add_epi64(key, divides, key, _mm512_set1_epi64(step.stride));
  }
}

CASTLES_AVX512 inline Reduced reduce(const LanePlan& plan, const Broadcast& broadcast,
                                     __m512i magnitudes) {
  // The lowest set bit, then its position: 63 - lzcnt. A zero lane gives
  // 2^64 - 1, which the minimum turns into p's twos; the lane is left alone.
  const __m512i lowest =
      _mm512_and_si512(magnitudes, _mm512_sub_epi64(_mm512_setzero_si512(), magnitudes));
  const __m512i trailing = _mm512_sub_epi64(_mm512_set1_epi64(63), _mm512_lzcnt_epi64(lowest));
  const __m512i shift = _mm512_min_epu64(trailing, broadcast.twosOfP);
  Reduced reduced{_mm512_srlv_epi64(magnitudes, shift), _mm512_setzero_si512(),
                  _mm512_sub_epi64(broadcast.twosOfP, shift)};
  divideSteps(plan.frequentSteps(), reduced.a, reduced.key);
  // Branch-free here too: a branch per vector would be taken eight times as often.
  divideSteps(plan.rareSteps(), reduced.a, reduced.key);
  return reduced;
}

// The tags of eight lanes, as LaneTag packs them.
CASTLES_AVX512 inline __m256i tagsOf(__m512i key, __m512i twos, __m256i laneTags) {
  const __m512i keyAndTwos = _mm512_or_si512(key, _mm512_slli_epi64(twos, LaneTag::kTwosShift));
  return _mm256_or_si256(_mm512_cvtepi64_epi32(keyAndTwos), laneTags);
}

// Compressing into a register and storing the whole vector is much faster
// than the compressing store on some processors, where that is microcoded;
// the lists have room for a whole vector past their last lane.
CASTLES_AVX512 inline void storeCompressed64(void* to, __mmask8 mask, __m512i values) {
  _mm512_storeu_si512(to, _mm512_maskz_compress_epi64(mask, values));
}

// The low eight 32-bit elements of values, compressed likewise.
CASTLES_AVX512 inline void storeCompressed32(void* to, __mmask8 mask, __m256i values) {
  const __m512i compressed = _mm512_maskz_compress_epi32(mask, _mm512_castsi256_si512(values));
  _mm256_storeu_si256(static_cast<__m256i*>(to), _mm512_castsi512_si256(compressed));
}

// Appends the lanes of a mask to a list.
CASTLES_AVX512 inline void list(const ListedLanes& to, std::size_t& count, __mmask8 mask, __m512i a,
                                __m256i tags) {
  storeCompressed64(&to.a[count], mask, a);
  storeCompressed32(&to.tag[count], mask, tags);
  count += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(mask)));
}

template <bool kExact>
CASTLES_AVX512 LaneCounts classifyVectors(const LanePlan& plan, std::span<std::int64_t> values,
                                          const LaneLists& lists) {
  const Broadcast broadcast{_mm512_set1_epi64(plan.twosOfP()), _mm512_set1_epi64(plan.p()),
                            static_cast<__mmask8>(plan.pNegative() ? 0xFF : 0)};
  LaneCounts counts;
  // The lanes' indices where LaneTag keeps them, key and twos 0.
  __m256i laneTags =
      _mm256_slli_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), LaneTag::kLaneShift);
  std::size_t k = 0;
  for (; k + kLanes <= values.size(); k += kLanes) {
    const __m512i x = _mm512_loadu_si512(&values[k]);
    const __mmask8 negative = _mm512_movepi64_mask(x);
    const __m512i magnitudes = _mm512_abs_epi64(x);  // -2^63 stays, as 2^63 unsigned
    const __mmask8 nonzero = _mm512_test_epi64_mask(magnitudes, magnitudes);
    const __mmask8 differ = (negative ^ broadcast.pNegative) & nonzero;
    const __mmask8 same = ~(negative ^ broadcast.pNegative) & nonzero;
    const Reduced reduced = reduce(plan, broadcast, magnitudes);
    const __mmask8 shares = _mm512_test_epi64_mask(reduced.key, reduced.key);
    const __m256i tags = tagsOf(reduced.key, reduced.twos, laneTags);
    list(lists.coprime, counts.coprime, differ & ~shares, reduced.a, tags);
    list(lists.sharing, counts.sharing, differ & shares, reduced.a, tags);
    if constexpr (kExact) {
      _mm512_mask_storeu_epi64(&values[k], same, _mm512_mullo_epi64(reduced.a, broadcast.p));
    } else {
      storeCompressed64(&lists.same.a[counts.same], same, reduced.a);
      storeCompressed32(&lists.same.tag[counts.same], same, laneTags);
      counts.same += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(same)));
    }
    laneTags = _mm256_add_epi32(laneTags, _mm256_set1_epi32(kLanes << LaneTag::kLaneShift));
  }
  classifyEach(plan, values, k, lists, counts);
  return counts;
}

}  // namespace

LaneCounts classifyAvx512(const LanePlan& plan, std::span<std::int64_t> values,
                          const LaneLists& lists) {
  return plan.unplanned() == 1 ? classifyVectors<true>(plan, values, lists)
                               : classifyVectors<false>(plan, values, lists);
}

}  // namespace castles::internal

#endif
