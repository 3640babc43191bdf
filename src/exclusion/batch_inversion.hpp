#pragma once
// Inverses of many values modulo one odd modulus from a single modular
// inversion (Montgomery's trick), certified: the one inversion exists exactly
// when every value is coprime to the modulus, so when it does not, the units
// of values that share a factor with the modulus are found by bisection and
// left out, and the rest is inverted.
//
// With R = 2^64 and every value a read as the Montgomery form of a / R, the
// forward pass keeps the product of the values before each one, one
// inversion of the total's Montgomery form starts the backward pass, and the
// backward pass peels the values off again, yielding each a^-1 itself.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "kernel.hpp"
#include "modular.hpp"
#include "scratch.hpp"

namespace castles {

class BatchInversion {
 public:
  // The values a failed certification gives up together.
  static constexpr std::size_t kUnit = 16;
  // Whole blocks of kBlock positions hold kBlockUnits units each, unit w
  // taking every kBlockUnits-th position from w: kBlockUnits consecutive
  // positions then hold one value of each unit, so that the units' chains of
  // dependent multiplications run side by side, in registers or in the lanes
  // of a vector. The positions after the last whole block form units of kUnit
  // consecutive positions.
  static constexpr std::size_t kBlockUnits = 8;
  static constexpr std::size_t kBlock = kUnit * kBlockUnits;

  // @pre kernelAvailable(kernel)
  explicit BatchInversion(Kernel kernel = Kernel::portable) : kernel_(kernel) {}

  // Inverts values[i] modulo the modulus into inverses()[i] for every i below
  // `invert`, and certifies that the values from `invert` on are coprime to
  // it too. A unit that holds a value sharing a factor with the modulus
  // fails whole: certified() is false for its positions, and inverses() has
  // nothing for them.
  // @param montgomery 3 <= modulus < 2^63
  // @param values any 64-bit values, fewer than 2^32
  // @param invert at most values.size()
  void run(const Montgomery& montgomery, std::span<const std::uint64_t> values, std::size_t invert);

  // Makes room for runs that invert up to `values` values, at once, so that
  // runs that grow a little at a time leave no outgrown blocks in the heap.
  void reserve(std::size_t values) { prefixesThenInverses_.reserve(values); }

  // @return after run, the inverses by position, below `invert`
  std::span<const std::uint64_t> inverses() const {
    return {prefixesThenInverses_.data(), invert_};
  }
  // @return whether any unit failed the last run's certification
  bool anyFailed() const { return anyFailed_; }
  // @return whether the unit of a position of the last run was certified
  bool certified(std::size_t position) const;

  // kW units side by side: the value of chain w at step i is at position
  // first + w * wayStride + i * stepStride, for `length` steps; the chains
  // are units unit, unit + 1, ...
  struct Chains {
    std::size_t first;
    std::size_t wayStride;
    std::size_t stepStride;
    std::size_t length;
    std::size_t unit;
  };

 private:
  void forward(const Montgomery& montgomery, std::span<const std::uint64_t> values);
  void products(const Montgomery& montgomery, std::span<const std::uint64_t> values);
  void certify(const Montgomery& montgomery);
  std::uint64_t productOfCertifiedUnits(const Montgomery& montgomery);
  void markFirstFailure(const Montgomery& montgomery);
  void startBackwardPasses(const Montgomery& montgomery, std::uint64_t totalInverse);
  void backward(const Montgomery& montgomery, std::span<const std::uint64_t> values);
  template <std::size_t kW, bool kSigned>
  void forwardChains(const Montgomery& montgomery, const std::uint64_t* values, Chains chains);
  template <std::size_t kW, bool kSigned>
  void productChains(const Montgomery& montgomery, const std::uint64_t* values, Chains chains);
  template <std::size_t kW, bool kSigned>
  void backwardChains(const Montgomery& montgomery, const std::uint64_t* values, Chains chains);

  Kernel kernel_;
  // Per position below `invert`: the product of its unit's values before it,
  // which the backward pass reads once and overwrites with the inverse, so
  // that one array serves both.
  Scratch<std::uint64_t> prefixesThenInverses_;
  // Per unit, those below `invert` first, in [0, n).
  std::vector<std::uint64_t> unitProducts_;
  // Per unit: the product of the certified units before it in its chain (the
  // units of its index's parity). These and the chains' products are
  // residues carried signed, in (-n, n), as the scalar chains carry them.
  std::vector<std::uint64_t> unitPrefixes_;
  std::array<std::uint64_t, 2> chainProducts_{};  // of the certified units of each chain
  std::vector<std::uint64_t>
      unitInverses_;  // where its backward pass starts once certified, in [0, n)
  std::vector<std::uint8_t> unitFailed_;
  std::size_t invert_ = 0;      // values whose inverses are wanted
  std::size_t valueCount_ = 0;  // values in all
  std::size_t invertUnits_ = 0;
  bool anyFailed_ = false;
  bool signedChains_ = false;      // whether this run's scalar chains carry residues signed
  bool valuesFromTopBit_ = false;  // whether this run's first passes met a value from 2^63 up
};

namespace internal {

// @return how many units `count` positions form
constexpr std::size_t unitsOf(std::size_t count) {
  constexpr std::size_t kUnit = BatchInversion::kUnit;
  constexpr std::size_t kBlock = BatchInversion::kBlock;
  return count / kBlock * BatchInversion::kBlockUnits + (count % kBlock + kUnit - 1) / kUnit;
}

// @return the unit of a position among `count`
constexpr std::size_t unitOf(std::size_t position, std::size_t count) {
  constexpr std::size_t kBlock = BatchInversion::kBlock;
  const std::size_t wholeBlocks = count / kBlock * kBlock;
  if (position < wholeBlocks) {
    return position / kBlock * BatchInversion::kBlockUnits + position % BatchInversion::kBlockUnits;
  }
  return unitsOf(wholeBlocks) + (position - wholeBlocks) / BatchInversion::kUnit;
}

// Calls step(0), ..., step(kW - 1), unrolled, so that arrays indexed by the
// way stay in registers.
template <std::size_t kW, typename Step>
inline void forEachWay(Step&& step) {
  [&]<std::size_t... kWay>(std::index_sequence<kWay...>) { (step(kWay), ...); }
  (std::make_index_sequence<kW>{});
}

}  // namespace internal
}  // namespace castles
