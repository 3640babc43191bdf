#pragma once
// The instruction sets the exclusion stage has kernels for. Each kernel gives
// exactly the portable code's values; which are built is the build's choice
// (CASTLES_SIMD), and which runs is the processor's.

namespace castles {

enum class Kernel { portable, avx2, avx512 };

// @return whether this build holds the kernel and this processor can run it
bool kernelAvailable(Kernel kernel);

// @return the fastest available kernel
Kernel bestKernel();

const char* kernelName(Kernel kernel);

}  // namespace castles
