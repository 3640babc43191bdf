#pragma once
// The batched lcm's one pass over every lane. For each x it divides p's twos
// and planned primes out of |x| (lane_plan.hpp), which leaves a = |x| / G,
// and then:
// - x = 0 stays: lcm(0, p) = 0;
// - x of p's sign needs no divisor sign, as lcm(x, p) = a * p whatever it is.
//   When the plan is exact that is the lane's result, written at once;
//   otherwise the lane is listed with its a, to be certified first;
// - x of the other sign needs the parity of Euclid's loop, from a^-1 modulo
//   its group's modulus: the lane is listed with its a and its tag. The
//   vector kernels list the lanes that share no planned prime with p (group
//   0, nearly always the largest) apart, as they then need no sorting; the
//   portable kernel lists every such lane in one list, as a second list
//   costs it more in stores than the sorting saves.
// Lists are written in lane order without a branch on the sign, which is a
// coin toss: each lane is stored in every list and only one count advances.
// Kernels for AVX2 and AVX-512 do the same eight or four lanes at a time.

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernel.hpp"
#include "lane_plan.hpp"

namespace castles {

// Where classification lists lanes; each span holds kListSlack more entries
// than there are lanes, as a vector kernel may store a whole vector past the
// last listed lane. A lane's tag holds its index into the classified values.
inline constexpr std::size_t kListSlack = 8;

// Listed lanes: their a and tag, at the same position in each span.
struct ListedLanes {
  std::span<std::uint64_t> a;
  std::span<LaneTag> tag;
};

struct LaneLists {
  ListedLanes coprime;  // x's sign differs from p's, group 0 (vector kernels)
  ListedLanes sharing;  // x's sign differs from p's, any other lanes of that sign
  ListedLanes same;     // of p's sign, when the plan is not exact; only their tags' lanes are read
};

struct LaneCounts {
  std::size_t coprime = 0;
  std::size_t sharing = 0;
  std::size_t same = 0;
};

// Classifies every lane of values, writing the results of lanes of p's sign
// into values when plan.unplanned() is 1, and listing the others, whose
// values it may then overwrite too (their a and tag give x back). With
// Kernel::avx2, a plan with a residue table goes to the portable pass.
// @param values at most LaneTag::kMaxLanes
// @pre kernelAvailable(kernel)
LaneCounts classifyLanes(Kernel kernel, const LanePlan& plan, std::span<std::int64_t> values,
                         const LaneLists& lists);

namespace internal {

struct Reduction {
  std::uint64_t a;
  std::uint32_t key;
};

// One step, branch-free: whether a small prime divides is a coin toss the
// predictor cannot learn. Once a division fails, later steps for the same
// prime fail too, since a is left as it was.
inline void divideStep(const DivisionStep& step, std::uint64_t& a, std::uint32_t& key) {
  // The key grows by a product rather than under a condition, which a
  // compiler may turn into a branch that mispredicts half the time.
  const std::uint64_t quotient = a * step.inverse;
  const bool divides = quotient <= step.limit;
  a = divides ? quotient : a;
  key += step.stride * static_cast<std::uint32_t>(divides);
}

// One step for a prime that divides one lane in 64 or fewer: a branch that
// expects it not to is cheaper than the branch-free step.
inline void divideRareStep(const DivisionStep& step, std::uint64_t& a, std::uint32_t& key) {
  const std::uint64_t quotient = a * step.inverse;
  if (quotient <= step.limit) [[unlikely]] {
    a = quotient;
    key += step.stride;
  }
}

// @param kFrequent frequent.size() when it is known at compile time, else -1
// @param kRare rare.size() likewise; -1 only when it is above 2 (the loop
//        unrolls the first three steps)
// @param key what the key is before these steps
// @return a with the steps' primes divided out as often as they divide it,
//         and the key that says how often each divided
template <int kFrequent, int kRare>
inline Reduction divideOut(std::uint64_t a, std::span<const DivisionStep> frequent,
                           std::span<const DivisionStep> rare, std::uint32_t key = 0) {
  // The counts are the same for every lane of a batch, so the kernels are
  // unrolled for the usual few.
  if constexpr (kFrequent >= 0) {
    for (int i = 0; i < kFrequent; ++i) {
      divideStep(frequent[static_cast<std::size_t>(i)], a, key);
    }
  } else {
    for (const DivisionStep& step : frequent) {
      divideStep(step, a, key);
    }
  }
  if constexpr (kRare >= 0) {
    for (int i = 0; i < kRare; ++i) {
      divideRareStep(rare[static_cast<std::size_t>(i)], a, key);
    }
  } else {
    // Past the unrolled counts the first three steps are still unrolled: a
    // step in the loop costs nearly twice the instructions of one outside.
    divideRareStep(rare[0], a, key);
    divideRareStep(rare[1], a, key);
    divideRareStep(rare[2], a, key);
    for (const DivisionStep& step : rare.subspan(3)) {
      divideRareStep(step, a, key);
    }
  }
  return {a, key};
}

// @param kRare rare.size() when it is known at compile time, else -1
// @return whether any of the steps' primes divides a: a branch per step,
//         expected not taken, and no step waits on another
template <int kRare>
inline bool anyDivides(std::uint64_t a, std::span<const DivisionStep> rare) {
  if constexpr (kRare >= 0) {
    for (int i = 0; i < kRare; ++i) {
      const DivisionStep& step = rare[static_cast<std::size_t>(i)];
      if (a * step.inverse <= step.limit) [[unlikely]] {
        return true;
      }
    }
  } else {
    for (const DivisionStep& step : rare) {
      if (a * step.inverse <= step.limit) [[unlikely]] {
        return true;
      }
    }
  }
  return false;
}

// divideOut after the table's steps: the residue gives at once how often each
// of the table's primes divides a, and one product divides them all out.
// @param x a times a power of two and a sign, which the table's odd primes
//        divide as often as they divide a: its residue need not wait for a
template <int kFrequent, int kRare>
inline Reduction divideOutByResidue(std::uint64_t a, std::int64_t x, const ResidueTable& table,
                                    std::span<const DivisionStep> frequent,
                                    std::span<const DivisionStep> rare) {
  const std::uint32_t key = table.keyOf(x);
  // The key's factor divides a, so multiplying by its inverse divides exactly.
  return divideOut<kFrequent, kRare>(a * table.lookup->inverseOfKey[key], frequent, rare, key);
}

// Classifies lanes [from, values.size()) one at a time, the portable kernel
// and the vector kernels' tail; lanes of p's sign are finished when the plan
// is exact.
// @param counts the lists' counts so far, advanced
void classifyEach(const LanePlan& plan, std::span<std::int64_t> values, std::size_t from,
                  const LaneLists& lists, LaneCounts& counts);

}  // namespace internal
}  // namespace castles
