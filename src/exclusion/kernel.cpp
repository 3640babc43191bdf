#include "kernel.hpp"

namespace castles {

// CASTLES_SIMD_AVX2 and CASTLES_SIMD_AVX512 are set by the build: 1 where that
// kernel is compiled in (x86-64 with GCC or Clang, unless CASTLES_SIMD says
// otherwise).
bool kernelAvailable(Kernel kernel) {
  switch (kernel) {
    case Kernel::portable:
      return true;
    case Kernel::avx2:
#if CASTLES_SIMD_AVX2
      return static_cast<bool>(__builtin_cpu_supports("avx2"));
#else
      return false;
#endif
    case Kernel::avx512:
#if CASTLES_SIMD_AVX512
      return static_cast<bool>(__builtin_cpu_supports("avx512f")) &&
             static_cast<bool>(__builtin_cpu_supports("avx512dq")) &&
             static_cast<bool>(__builtin_cpu_supports("avx512cd"));
#else
      return false;
#endif
  }
  return false;
}

Kernel bestKernel() {
  static const Kernel best = kernelAvailable(Kernel::avx512) ? Kernel::avx512
                             : kernelAvailable(Kernel::avx2) ? Kernel::avx2
                                                             : Kernel::portable;
  return best;
}

const char* kernelName(Kernel kernel) {
  switch (kernel) {
    case Kernel::portable:
      return "portable";
    case Kernel::avx2:
      return "avx2";
    case Kernel::avx512:
      return "avx512";
  }
  return "unknown";
}

}  // namespace castles
