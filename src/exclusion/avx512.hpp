#pragma once
// What every file with AVX-512 code includes: the intrinsics and the target
// attribute its functions carry. Built only where CASTLES_SIMD asks for the
// AVX-512 kernel; the kernel needs F, DQ and CD (kernel.cpp checks for them).

#if CASTLES_SIMD_AVX512

// GCC 12's AVX-512 header fills the unmasked forms of many operations (the
// gathers among them) from _mm512_undefined_epi32(), which its own
// uninitialized-value warnings then flag at every use. The values are
// defined, so the warnings are off in the files that include this.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <immintrin.h>

#define CASTLES_AVX512 __attribute__((target("avx512f,avx512dq,avx512cd")))

#endif
