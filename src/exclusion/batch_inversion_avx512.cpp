#include "batch_inversion_vector.hpp"

#if CASTLES_SIMD_AVX512

#include "batch_inversion.hpp"
#include "vector_montgomery.hpp"

namespace castles::internal {
namespace {

constexpr std::size_t kUnit = BatchInversion::kUnit;
constexpr std::size_t kBlock = BatchInversion::kBlock;
// A vector holds one value of each of a block's units.
constexpr std::size_t kLanes = BatchInversion::kBlockUnits;

// Plain loops over the blocks rather than forEachWay: a lambda would not
// carry the target attribute. With kBlocks fixed they unroll, and the
// running products stay in registers.
template <std::size_t kBlocks>
CASTLES_AVX512 void forwardBlocks(const Montgomery& montgomery, const std::uint64_t* values,
                                  std::size_t first, std::uint64_t* prefixes,
                                  std::uint64_t* products) {
  const VectorMontgomery modular(montgomery);
  const auto one = static_cast<std::int64_t>((0 - montgomery.modulus()) % montgomery.modulus());
  __m512i running[kBlocks];
  for (std::size_t b = 0; b < kBlocks; ++b) {
    running[b] = _mm512_set1_epi64(one);
  }
  for (std::size_t i = 0; i < kUnit; ++i) {
    for (std::size_t b = 0; b < kBlocks; ++b) {
      const std::size_t position = first + b * kBlock + i * kLanes;
      _mm512_storeu_si512(&prefixes[position], running[b]);
      running[b] = multiply(modular, _mm512_loadu_si512(&values[position]), running[b]);
    }
  }
  for (std::size_t b = 0; b < kBlocks; ++b) {
    _mm512_storeu_si512(&products[b * kLanes], running[b]);
  }
}

template <std::size_t kBlocks>
CASTLES_AVX512 void backwardBlocks(const Montgomery& montgomery, const std::uint64_t* values,
                                   std::size_t first, const std::uint64_t* unitInverses,
                                   std::uint64_t* slots) {
  const VectorMontgomery modular(montgomery);
  __m512i running[kBlocks];
  for (std::size_t b = 0; b < kBlocks; ++b) {
    running[b] = _mm512_loadu_si512(&unitInverses[b * kLanes]);
  }
  for (std::size_t i = kUnit; i-- > 0;) {
    for (std::size_t b = 0; b < kBlocks; ++b) {
      const std::size_t position = first + b * kBlock + i * kLanes;
      const __m512i prefix = _mm512_loadu_si512(&slots[position]);
      _mm512_storeu_si512(&slots[position], multiply(modular, running[b], prefix));
      running[b] = multiply(modular, _mm512_loadu_si512(&values[position]), running[b]);
    }
  }
}

}  // namespace

void forwardBlocksAvx512(const Montgomery& montgomery, const std::uint64_t* values,
                         std::size_t first, std::size_t blocks, std::uint64_t* prefixes,
                         std::uint64_t* products) {
  switch (blocks) {
    case 1:
      return forwardBlocks<1>(montgomery, values, first, prefixes, products);
    case 2:
      return forwardBlocks<2>(montgomery, values, first, prefixes, products);
    case 3:
      return forwardBlocks<3>(montgomery, values, first, prefixes, products);
    default:
      return forwardBlocks<kVectorBlocks>(montgomery, values, first, prefixes, products);
  }
}

void backwardBlocksAvx512(const Montgomery& montgomery, const std::uint64_t* values,
                          std::size_t first, std::size_t blocks, const std::uint64_t* unitInverses,
                          std::uint64_t* prefixesThenInverses) {
  switch (blocks) {
    case 1:
      return backwardBlocks<1>(montgomery, values, first, unitInverses, prefixesThenInverses);
    case 2:
      return backwardBlocks<2>(montgomery, values, first, unitInverses, prefixesThenInverses);
    case 3:
      return backwardBlocks<3>(montgomery, values, first, unitInverses, prefixesThenInverses);
    default:
      return backwardBlocks<kVectorBlocks>(montgomery, values, first, unitInverses,
                                           prefixesThenInverses);
  }
}

}  // namespace castles::internal

#endif
