#pragma once
// The program as a function of its three standard descriptors, so that it can
// be run inside tests as well as from main.

#include "progress.hpp"

namespace castles {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;

// Reads the castle description from in, writes the count of distinct exclusion
// LCM values and a newline to out, or one "castles: ..." line to err. While it
// runs, err shows a progress line if it is a terminal (progress.hpp).
// @return the exit status: kExitSuccess, or kExitFailure after a message on err
int runCastles(int in, int out, int err, const ProgressTiming& timing = {});

}  // namespace castles
