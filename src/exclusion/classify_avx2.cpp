// Classification four lanes at a time in AVX2: the same steps as the portable
// kernel (classify.cpp) on every lane of a vector at once. AVX2 has no 64-bit
// low product, unsigned compare, leading-zero count or compressing store, so
// each is built here from what it has, and each is exact for every input.

#include "classify_vector.hpp"

#if CASTLES_SIMD_AVX2

#include <immintrin.h>

#include <array>
#include <bit>

namespace castles::internal {
namespace {

#define CASTLES_AVX2 __attribute__((target("avx2")))

constexpr std::size_t kLanes = 4;

// For each 4-bit mask of lanes, the 32-bit elements that bring those lanes,
// in order, to the front: for 64-bit lanes (two elements each) and for 32-bit
// lanes. Entries past the selected lanes are don't-cares.
struct Compressions {
  std::array<std::array<std::int32_t, 8>, 16> wide;
  std::array<std::array<std::int32_t, 8>, 16> narrow;
};

constexpr Compressions kCompressions = [] {
  Compressions table{};
  for (unsigned mask = 0; mask < 16; ++mask) {
    std::size_t out = 0;
    for (int lane = 0; lane < 4; ++lane) {
      if (((mask >> lane) & 1U) != 0) {
        table.wide[mask][2 * out] = 2 * lane;
        table.wide[mask][2 * out + 1] = 2 * lane + 1;
        table.narrow[mask][out] = lane;
        ++out;
      }
    }
  }
  return table;
}();

CASTLES_AVX2 inline __m256i broadcast(std::uint64_t value) {
  return _mm256_set1_epi64x(static_cast<std::int64_t>(value));
}

// @return the low 64 bits of a * b in each lane, from three 32 x 32 products:
//         the high halves' product only reaches bits 64 and up
CASTLES_AVX2 inline __m256i multiplyLow(__m256i a, __m256i b) {
  const __m256i low = _mm256_mul_epu32(a, b);
  const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), b),
                                         _mm256_mul_epu32(a, _mm256_srli_epi64(b, 32)));
  return _mm256_add_epi64(low, _mm256_slli_epi64(cross, 32));
}

// What a batch's vectors need from the plan, broadcast once: p's twos and
// sign, and the division steps, with each inverse's high half and each limit
// with its top bit flipped, ready for the operations below.
struct Prepared {
  struct Step {
    __m256i inverse;
    __m256i inverseHigh;
    __m256i flippedLimit;
    __m256i stride;
  };
  // Every step divides |p| < 2^64 by a prime of at least 3, and 3^41 > 2^64.
  static constexpr std::size_t kMaxSteps = 40;
  std::array<Step, kMaxSteps> steps;
  std::size_t stepCount;
  __m256i twosOfP;
  __m256i lowestBitOfP;
  __m256i p;
  __m256i pSign;
};

// @pre plan has at most kMaxSteps steps
CASTLES_AVX2 void prepare(const LanePlan& plan, Prepared& prepared) {
  std::size_t count = 0;
  for (const auto steps : {plan.frequentSteps(), plan.rareSteps()}) {
    for (const DivisionStep& step : steps) {
      prepared.steps[count++] = {broadcast(step.inverse), broadcast(step.inverse >> 32),
                                 broadcast(step.limit ^ (std::uint64_t{1} << 63)),
                                 broadcast(step.stride)};
    }
  }
  prepared.stepCount = count;
  prepared.twosOfP = broadcast(plan.twosOfP());
  prepared.lowestBitOfP = broadcast(std::uint64_t{1} << plan.twosOfP());
  prepared.p = broadcast(static_cast<std::uint64_t>(plan.p()));
  prepared.pSign = plan.pNegative() ? _mm256_set1_epi64x(-1) : _mm256_setzero_si256();
}

// One division step on four lanes. The low 64 bits of a * inverse come from
// three 32 x 32 products (the high halves' product only reaches bits 64 and
// up); the unsigned compare is the signed one after flipping both top bits.
// Branch-free for every prime: a branch per vector would be taken four times
// as often as one per lane.
CASTLES_AVX2 inline void divideStep(const Prepared::Step& step, __m256i& a, __m256i& key) {
  const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), step.inverse),
                                         _mm256_mul_epu32(a, step.inverseHigh));
  const __m256i quotient =
      _mm256_add_epi64(_mm256_mul_epu32(a, step.inverse), _mm256_slli_epi64(cross, 32));
  const __m256i above = _mm256_cmpgt_epi64(
      _mm256_xor_si256(quotient, broadcast(std::uint64_t{1} << 63)), step.flippedLimit);
  a = _mm256_blendv_epi8(quotient, a, above);
  key = _mm256_add_epi64(key, _mm256_andnot_si256(above, step.stride));
}

// @param y nonzero in every lane
// @return the number of trailing zeros of each lane. The lowest set bit is
//         a power of two, exact as a float in whichever 32-bit half holds it;
//         the float's exponent is its position there.
CASTLES_AVX2 inline __m256i trailingZeros(__m256i y) {
  const __m256i lowest = _mm256_and_si256(y, _mm256_sub_epi64(_mm256_setzero_si256(), y));
  // A half of 0 converts to 0.0f, exponent field 0; 2^31 converts as -2^31,
  // whose exponent field is still 31 + 127.
  const __m256i exponents =
      _mm256_and_si256(_mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(lowest)), 23),
                       _mm256_set1_epi32(0xFF));
  const __m256i positions = _mm256_sub_epi32(
      exponents, _mm256_setr_epi32(127, 127 - 32, 127, 127 - 32, 127, 127 - 32, 127, 127 - 32));
  // The half without the bit is -127 or -95, below the other half's position.
  const __m256i both = _mm256_max_epi32(positions, _mm256_shuffle_epi32(positions, 0xB1));
  return _mm256_and_si256(both, broadcast(0xFFFFFFFF));
}

CASTLES_AVX2 inline void storeCompressed64(void* to, __m256i values, unsigned mask) {
  const __m256i order =
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kCompressions.wide[mask].data()));
  _mm256_storeu_si256(static_cast<__m256i*>(to), _mm256_permutevar8x32_epi32(values, order));
}

CASTLES_AVX2 inline void storeCompressed32(void* to, __m128i values, unsigned mask) {
  const __m256i order =
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kCompressions.narrow[mask].data()));
  const __m256i moved = _mm256_permutevar8x32_epi32(_mm256_castsi128_si256(values), order);
  _mm_storeu_si128(static_cast<__m128i*>(to), _mm256_castsi256_si128(moved));
}

// The low 32 bits of each 64-bit lane, packed into four.
CASTLES_AVX2 inline __m128i narrow(__m256i wide) {
  const __m256i packed =
      _mm256_permutevar8x32_epi32(wide, _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0));
  return _mm256_castsi256_si128(packed);
}

// |x| of four lanes with p's twos and planned primes divided out, and keys.
struct Reduced {
  __m256i a;
  __m256i key;
  __m256i twos;  // left in |p| / G
};

CASTLES_AVX2 inline Reduced reduce(const Prepared& prepared, __m256i magnitudes) {
  // The twos divided out are the fewer of x's and p's: the trailing zeros of
  // |x| with p's lowest bit set. A zero lane gives p's twos; it is left alone.
  const __m256i shift = trailingZeros(_mm256_or_si256(magnitudes, prepared.lowestBitOfP));
  Reduced reduced{_mm256_srlv_epi64(magnitudes, shift), _mm256_setzero_si256(),
                  _mm256_sub_epi64(prepared.twosOfP, shift)};
  for (std::size_t i = 0; i < prepared.stepCount; ++i) {
    divideStep(prepared.steps[i], reduced.a, reduced.key);
  }
  return reduced;
}

// The tags of four lanes, as LaneTag packs them.
CASTLES_AVX2 inline __m128i tagsOf(__m256i key, __m256i twos, __m128i laneTags) {
  const __m256i keyAndTwos = _mm256_or_si256(key, _mm256_slli_epi64(twos, LaneTag::kTwosShift));
  return _mm_or_si128(narrow(keyAndTwos), laneTags);
}

// Appends the lanes of a mask to a list.
CASTLES_AVX2 inline void list(const ListedLanes& to, std::size_t& count, unsigned mask, __m256i a,
                              __m128i tags) {
  storeCompressed64(&to.a[count], a, mask);
  storeCompressed32(&to.tag[count], tags, mask);
  count += static_cast<std::size_t>(std::popcount(mask));
}

template <bool kExact>
CASTLES_AVX2 LaneCounts classifyVectors(const LanePlan& plan, std::span<std::int64_t> values,
                                        const LaneLists& lists) {
  Prepared prepared;
  prepare(plan, prepared);
  LaneCounts counts;
  // The lanes' indices where LaneTag keeps them, key and twos 0.
  __m128i laneTags = _mm_slli_epi32(_mm_setr_epi32(0, 1, 2, 3), LaneTag::kLaneShift);
  std::size_t k = 0;
  for (; k + kLanes <= values.size(); k += kLanes) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&values[k]));
    const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), x);
    const __m256i magnitudes = _mm256_sub_epi64(_mm256_xor_si256(x, negative), negative);
    const __m256i zero = _mm256_cmpeq_epi64(magnitudes, _mm256_setzero_si256());
    const __m256i signsDiffer = _mm256_xor_si256(negative, prepared.pSign);
    const __m256i sameVector =
        _mm256_xor_si256(_mm256_or_si256(zero, signsDiffer), _mm256_set1_epi64x(-1));
    const auto differ = static_cast<unsigned>(
        _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_andnot_si256(zero, signsDiffer))));
    const Reduced reduced = reduce(prepared, magnitudes);
    const auto shares = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(
                            _mm256_cmpeq_epi64(reduced.key, _mm256_setzero_si256())))) ^
                        0xFU;
    const __m128i tags = tagsOf(reduced.key, reduced.twos, laneTags);
    list(lists.coprime, counts.coprime, differ & ~shares, reduced.a, tags);
    list(lists.sharing, counts.sharing, differ & shares, reduced.a, tags);
    if constexpr (kExact) {
      _mm256_maskstore_epi64(reinterpret_cast<long long*>(&values[k]), sameVector,
                             multiplyLow(reduced.a, prepared.p));
    } else {
      const auto same = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(sameVector)));
      storeCompressed64(&lists.same.a[counts.same], reduced.a, same);
      storeCompressed32(&lists.same.tag[counts.same], laneTags, same);
      counts.same += static_cast<std::size_t>(std::popcount(same));
    }
    laneTags = _mm_add_epi32(laneTags, _mm_set1_epi32(kLanes << LaneTag::kLaneShift));
  }
  classifyEach(plan, values, k, lists, counts);
  return counts;
}

}  // namespace

LaneCounts classifyAvx2(const LanePlan& plan, std::span<std::int64_t> values,
                        const LaneLists& lists) {
  return plan.unplanned() == 1 ? classifyVectors<true>(plan, values, lists)
                               : classifyVectors<false>(plan, values, lists);
}

}  // namespace castles::internal

#endif
