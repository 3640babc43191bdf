#pragma once
// The batch inversion's passes over whole blocks in AVX-512 vectors, built
// where CASTLES_SIMD asks for them: a block's eight units in the eight lanes
// of a vector, several blocks side by side, so that their independent chains
// of multiplications overlap. They compute exactly what the scalar passes
// compute, unit by unit.

#include <cstddef>
#include <cstdint>

#include "modular.hpp"

namespace castles::internal {

// The most blocks a vector pass takes side by side.
inline constexpr std::size_t kVectorBlocks = 4;

#if CASTLES_SIMD_AVX512
// The forward pass over `blocks` whole blocks from position `first`: every
// value's prefix, and the products of their units into products[0, 8 blocks).
// @param blocks 1 to kVectorBlocks
void forwardBlocksAvx512(const Montgomery& montgomery, const std::uint64_t* values,
                         std::size_t first, std::size_t blocks, std::uint64_t* prefixes,
                         std::uint64_t* products);

// The backward pass over the same blocks, from their units' inverses
// unitInverses[0, 8 blocks): every value's inverse, in place of its prefix.
void backwardBlocksAvx512(const Montgomery& montgomery, const std::uint64_t* values,
                          std::size_t first, std::size_t blocks, const std::uint64_t* unitInverses,
                          std::uint64_t* prefixesThenInverses);
#endif

}  // namespace castles::internal
