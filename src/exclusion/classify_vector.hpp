#pragma once
// The vector kernels of classify.hpp, each built where CASTLES_SIMD asks for
// it and run only where the processor has the instructions.

#include <cstdint>
#include <span>

#include "classify.hpp"

namespace castles::internal {

#if CASTLES_SIMD_AVX512
// Eight lanes at a time in AVX-512 (F, DQ and CD).
LaneCounts classifyAvx512(const LanePlan& plan, std::span<std::int64_t> values,
                          const LaneLists& lists);
#endif

#if CASTLES_SIMD_AVX2
// Four lanes at a time in AVX2.
LaneCounts classifyAvx2(const LanePlan& plan, std::span<std::int64_t> values,
                        const LaneLists& lists);
#endif

}  // namespace castles::internal
