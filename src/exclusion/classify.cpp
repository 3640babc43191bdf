#include "classify.hpp"

#include <algorithm>
#include <bit>

#include "classify_vector.hpp"
#include "lcm.hpp"

namespace castles {
namespace internal {

namespace {

// What the loop reads of the plan and the lists, copied into a local so that
// the loop's stores, which the compiler cannot tell apart from the plan or
// the lists, do not force reloads.
struct Loop {
  unsigned twosOfP;
  bool pNegative;
  std::uint64_t p;
  std::span<const DivisionStep> frequent;
  std::span<const DivisionStep> rare;
  const std::uint8_t* groupOfKey;
  std::uint64_t* invertA;
  std::uint32_t* invertLane;
  LaneTag* invertTag;
  std::uint64_t* sameA;
  std::uint32_t* sameLane;
};

Loop loopOf(const LanePlan& plan, const LaneLists& lists) {
  return {plan.twosOfP(),       plan.pNegative(),        static_cast<std::uint64_t>(plan.p()),
          plan.frequentSteps(), plan.rareSteps(),        plan.groupOfKey(),
          lists.invertA.data(), lists.invertLane.data(), lists.invertTag.data(),
          lists.sameA.data(),   lists.sameLane.data()};
}

template <bool kExact, int kFrequent>
inline void classifyOne(const Loop& loop, LanePlan& plan, std::span<std::int64_t> values,
                        std::size_t k, LaneCounts& counts) {
  const std::int64_t x = values[k];
  const std::uint64_t xm = magnitude(x);
  if (xm == 0) {
    return;  // lcm(0, p) = 0
  }
  const unsigned shift = std::min(static_cast<unsigned>(std::countr_zero(xm)), loop.twosOfP);
  const Reduction reduction = divideOut<kFrequent>(xm >> shift, loop.frequent, loop.rare);
  // 1 when x's sign differs from p's: a number, not a condition, so that
  // nothing below branches on it.
  const std::uint64_t differ = (static_cast<std::uint64_t>(x) >> 63) ^ (loop.pNegative ? 1U : 0U);
  std::uint8_t group = loop.groupOfKey[reduction.key];
  if (group == LanePlan::kUnassigned && differ != 0) [[unlikely]] {
    group = plan.openGroup(reduction.key);
  }
  loop.invertA[counts.invert] = reduction.a;
  loop.invertLane[counts.invert] = static_cast<std::uint32_t>(k);
  loop.invertTag[counts.invert] = LaneTag(group, loop.twosOfP - shift, x < 0);
  counts.invert += differ;
  if constexpr (kExact) {
    // lcm(x, p) = a * p, wrapping; the lane keeps x when it is listed.
    const std::uint64_t keep = 0 - differ;
    values[k] = static_cast<std::int64_t>((static_cast<std::uint64_t>(x) & keep) |
                                          (reduction.a * loop.p & ~keep));
  } else {
    loop.sameA[counts.same] = reduction.a;
    loop.sameLane[counts.same] = static_cast<std::uint32_t>(k);
    counts.same += differ ^ 1U;
  }
}

template <bool kExact, int kFrequent>
void classifyEachOf(LanePlan& plan, std::span<std::int64_t> values, std::size_t from,
                    const LaneLists& lists, LaneCounts& counts) {
  const Loop loop = loopOf(plan, lists);
  LaneCounts local = counts;
  for (std::size_t k = from; k < values.size(); ++k) {
    classifyOne<kExact, kFrequent>(loop, plan, values, k, local);
  }
  counts = local;
}

// The unrolled kernels for the usual few frequent steps, the loop beyond.
template <bool kExact>
void classifyEachExact(LanePlan& plan, std::span<std::int64_t> values, std::size_t from,
                       const LaneLists& lists, LaneCounts& counts) {
  switch (plan.frequentSteps().size()) {
    case 0:
      return classifyEachOf<kExact, 0>(plan, values, from, lists, counts);
    case 1:
      return classifyEachOf<kExact, 1>(plan, values, from, lists, counts);
    case 2:
      return classifyEachOf<kExact, 2>(plan, values, from, lists, counts);
    case 3:
      return classifyEachOf<kExact, 3>(plan, values, from, lists, counts);
    case 4:
      return classifyEachOf<kExact, 4>(plan, values, from, lists, counts);
    case 5:
      return classifyEachOf<kExact, 5>(plan, values, from, lists, counts);
    default:
      return classifyEachOf<kExact, -1>(plan, values, from, lists, counts);
  }
}

}  // namespace

void classifyEach(LanePlan& plan, std::span<std::int64_t> values, std::size_t from,
                  const LaneLists& lists, LaneCounts& counts) {
  if (plan.unplanned() == 1) {
    classifyEachExact<true>(plan, values, from, lists, counts);
  } else {
    classifyEachExact<false>(plan, values, from, lists, counts);
  }
}

}  // namespace internal

LaneCounts classifyLanes(Kernel kernel, LanePlan& plan, std::span<std::int64_t> values,
                         const LaneLists& lists) {
#if CASTLES_SIMD_AVX512
  if (kernel == Kernel::avx512) {
    return internal::classifyAvx512(plan, values, lists);
  }
#endif
#if CASTLES_SIMD_AVX2
  if (kernel == Kernel::avx2) {
    return internal::classifyAvx2(plan, values, lists);
  }
#endif
  static_cast<void>(kernel);
  LaneCounts counts;
  internal::classifyEach(plan, values, 0, lists, counts);
  return counts;
}

}  // namespace castles
