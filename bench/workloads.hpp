#pragma once
// The benchmark's inputs: one table shared by the generator, which writes
// them, and the runner, which times them, so that the two cannot disagree on
// names or files.

#include <array>
#include <string_view>

namespace castles::bench {

struct Workload {
  std::string_view name;    // what the table calls it
  std::string_view file;    // under the workload directory
  std::string_view size;    // how big, as the table shows it
  std::string_view target;  // the ratio the real program should reach
};

inline constexpr std::array<Workload, 5> kWorkloads = {{
    {"running values wrap at once", "wrap.txt", "n = 10,000", ">= 3x"},
    {"no wrapping (all divide one L)", "divisors.txt", "n = 20,000", ">= 200x"},
    {"prime powers wrapping after a prefix", "late-wrap.txt", "n = 10,000", ">= 3x"},
    {"parse-heavy", "parse-heavy.txt", "4 castles, 4,000,000 blocks", ">= 8x"},
    {"three-castle example", "three-castles.txt", "3 castles", "no slower"},
}};

}  // namespace castles::bench
