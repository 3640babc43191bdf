#pragma once
// One timed run of a program, its answer captured, and the benchmark's way of
// stopping on any failure.

#include <filesystem>
#include <string>

namespace castles::bench {

struct Run {
  double seconds = 0;
  long peakKiB = 0;  // ru_maxrss of the child, in KiB on Linux
  std::string out;
};

// Prints the message on standard error and exits with status 1.
[[noreturn]] void fail(const std::string& message);

// Runs program with input on standard input and its standard output captured;
// stops the benchmark if it fails or outlasts the limit on a single run.
Run runOnce(const std::string& program, const std::filesystem::path& input);

}  // namespace castles::bench
