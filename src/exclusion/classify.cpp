#include "classify.hpp"

#include <algorithm>
#include <bit>

#include "classify_vector.hpp"
#include "lcm.hpp"

namespace castles {
namespace internal {

namespace {

// The pointers of one list, copied out of its spans.
struct ListPointers {
  std::uint64_t* a;
  LaneTag* tag;

  explicit ListPointers(const ListedLanes& list) : a(list.a.data()), tag(list.tag.data()) {}

  void put(std::size_t at, std::uint64_t value, LaneTag laneTag) const {
    a[at] = value;
    tag[at] = laneTag;
  }
};

// What the loop reads of the plan and the lists, copied into a local so that
// the loop's stores, which the compiler cannot tell apart from the plan or
// the lists, do not force reloads.
struct Loop {
  unsigned twosOfP;
  std::uint64_t twosOfPMask;  // a set bit here says x holds fewer twos than p
  std::uint64_t p;
  ResidueTable residues;
  std::span<const DivisionStep> frequent;  // those after the residue table's
  std::span<const DivisionStep> rare;
  ListPointers sharing;
  ListPointers same;
};

Loop loopOf(const LanePlan& plan, const LaneLists& lists) {
  return {
      plan.twosOfP(),
      (std::uint64_t{1} << plan.twosOfP()) - 1,
      static_cast<std::uint64_t>(plan.p()),
      plan.residues(),
      plan.frequentSteps().subspan(plan.residues().steps),
      plan.rareSteps(),
      ListPointers(lists.sharing),
      ListPointers(lists.same),
  };
}

// Classifies lane k. The twos divided out of |x| are the fewer of x's and
// p's. A running value holds as many as the most any p folded into it had,
// so it nearly always holds at least p's, and a branch expected not taken
// costs less than counting every lane's trailing zeros. A lane that holds
// fewer leaves the rest of p's twos in |p| / G, which its tag says.
// @param laneTag the lane's tag, with no key and no twos
template <bool kExact, bool kTable, int kFrequent, int kRare>
inline void classifyOne(const Loop& loop, std::span<std::int64_t> values, std::size_t k,
                        LaneTag laneTag, LaneCounts& counts) {
  const std::int64_t x = values[k];
  if (x == 0) {
    return;  // lcm(0, p) = 0
  }
  unsigned shift = loop.twosOfP;  // the twos divided out: see above
  LaneTag tag = laneTag;
  if ((static_cast<std::uint64_t>(x) & loop.twosOfPMask) != 0) [[unlikely]] {
    shift = static_cast<unsigned>(std::countr_zero(static_cast<std::uint64_t>(x)));
    tag = laneTag.withTwos(loop.twosOfP - shift);
  }
  const std::uint64_t odd = magnitude(x) >> shift;
  Reduction reduction =
      kTable ? divideOutByResidue<kFrequent, 0>(odd, x, loop.residues, loop.frequent, {})
             : divideOut<kFrequent, 0>(odd, loop.frequent, {});
  // A rare prime divides what the steps before leave exactly when it divides
  // `odd`, so it is tried there, without waiting on them; the few lanes it
  // divides take the rare steps.
  if (anyDivides<kRare>(odd, loop.rare)) [[unlikely]] {
    reduction = divideOut<0, kRare>(reduction.a, {}, loop.rare, reduction.key);
  }
  // All ones when x's sign differs from p's, else 0: a number, not a
  // condition, so that nothing below branches on it. The shift of a signed
  // value copies its sign bit.
  const auto differ = static_cast<std::uint64_t>((x ^ static_cast<std::int64_t>(loop.p)) >> 63);
  loop.sharing.put(counts.sharing, reduction.a, tag.withKey(reduction.key));
  counts.sharing -= differ;  // one more when listed
  if constexpr (kExact) {
    // lcm(x, p) = a * p, wrapping. A listed lane's value is overwritten too,
    // as a select on the sign costs more: its a and tag hold all it needs,
    // and give back its x should it fall back to Euclid's loops.
    values[k] = static_cast<std::int64_t>(reduction.a * loop.p);
  } else {
    loop.same.put(counts.same, reduction.a, laneTag);
    counts.same += differ + 1;  // one more unless listed above
  }
}

template <bool kExact, bool kTable, int kFrequent, int kRare>
void classifyEachOf(const LanePlan& plan, std::span<std::int64_t> values, std::size_t from,
                    const LaneLists& lists, LaneCounts& counts) {
  const Loop loop = loopOf(plan, lists);
  LaneCounts local = counts;
  // A lane's tag starts with no twos left in |p| / G, as nearly always.
  LaneTag laneTag(0, 0, static_cast<std::uint32_t>(from));
  for (std::size_t k = from; k < values.size(); ++k) {
    classifyOne<kExact, kTable, kFrequent, kRare>(loop, values, k, laneTag, local);
    laneTag = laneTag.nextLane();
  }
  counts = local;
}

// The kernels unrolled for the usual counts of steps, up to two frequent ones
// after the residue table (or without one) and four rare ones, loops beyond:
// with a table, few frequent steps are left, and without one the portable
// pass mostly meets p with fewer than two (more unrolled kernels measured no
// faster, and cost build time). Rare steps are tried on every lane, where a
// step in the loop costs seven instructions and an unrolled one four; where
// values wrap, more than a quarter of the lanes meet a p with three or four.
template <bool kExact, bool kTable, int kFrequent>
void classifyEachFrequent(const LanePlan& plan, std::span<std::int64_t> values, std::size_t from,
                          const LaneLists& lists, LaneCounts& counts) {
  switch (plan.rareSteps().size()) {
    case 0:
      return classifyEachOf<kExact, kTable, kFrequent, 0>(plan, values, from, lists, counts);
    case 1:
      return classifyEachOf<kExact, kTable, kFrequent, 1>(plan, values, from, lists, counts);
    case 2:
      return classifyEachOf<kExact, kTable, kFrequent, 2>(plan, values, from, lists, counts);
    case 3:
      return classifyEachOf<kExact, kTable, kFrequent, 3>(plan, values, from, lists, counts);
    case 4:
      return classifyEachOf<kExact, kTable, kFrequent, 4>(plan, values, from, lists, counts);
    default:
      return classifyEachOf<kExact, kTable, kFrequent, -1>(plan, values, from, lists, counts);
  }
}

template <bool kExact, bool kTable>
void classifyEachExact(const LanePlan& plan, std::span<std::int64_t> values, std::size_t from,
                       const LaneLists& lists, LaneCounts& counts) {
  switch (plan.frequentSteps().size() - plan.residues().steps) {
    case 0:
      return classifyEachFrequent<kExact, kTable, 0>(plan, values, from, lists, counts);
    case 1:
      return classifyEachFrequent<kExact, kTable, 1>(plan, values, from, lists, counts);
    case 2:
      return classifyEachFrequent<kExact, kTable, 2>(plan, values, from, lists, counts);
    default:
      return classifyEachFrequent<kExact, kTable, -1>(plan, values, from, lists, counts);
  }
}

}  // namespace

void classifyEach(const LanePlan& plan, std::span<std::int64_t> values, std::size_t from,
                  const LaneLists& lists, LaneCounts& counts) {
  const bool table = plan.residues().modulus != 1;
  if (plan.unplanned() == 1 && table) {
    classifyEachExact<true, true>(plan, values, from, lists, counts);
  } else if (plan.unplanned() == 1) {
    classifyEachExact<true, false>(plan, values, from, lists, counts);
  } else if (table) {
    classifyEachExact<false, true>(plan, values, from, lists, counts);
  } else {
    classifyEachExact<false, false>(plan, values, from, lists, counts);
  }
}

}  // namespace internal

LaneCounts classifyLanes(Kernel kernel, const LanePlan& plan, std::span<std::int64_t> values,
                         const LaneLists& lists) {
#if CASTLES_SIMD_AVX512
  if (kernel == Kernel::avx512) {
    return internal::classifyAvx512(plan, values, lists);
  }
#endif
#if CASTLES_SIMD_AVX2
  // Where the plan has a residue table, the portable pass classifies
  // faster than the AVX2 kernel's steps.
  if (kernel == Kernel::avx2 && plan.residues().modulus == 1) {
    return internal::classifyAvx2(plan, values, lists);
  }
#endif
  static_cast<void>(kernel);
  LaneCounts counts;
  internal::classifyEach(plan, values, 0, lists, counts);
  return counts;
}

}  // namespace castles
