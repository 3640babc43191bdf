#pragma once
// Test output names an exclusion-stage kernel instead of showing its bytes.

#include <ostream>

#include "kernel.hpp"

namespace castles {

inline void PrintTo(Kernel kernel, std::ostream* out) { *out << kernelName(kernel); }

}  // namespace castles
