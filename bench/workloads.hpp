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
  // The ratio the builds with fewer vector kernels (AVX2 alone, none) should
  // reach: one target for both, since kernels that stand in for the portable
  // code must never make it slower.
  std::string_view fewerKernelsTarget;
  // Whether those builds run too, beside the program as built.
  bool everyBuild;
  // Whether the straightforward build runs too; a scaling row times the real
  // program alone, where the straightforward one would take many minutes.
  bool againstStraightforward;
};

inline constexpr std::array<Workload, 8> kWorkloads = {{
    {"running values wrap at once", "wrap.txt", "n = 10,000", ">= 32x", ">= 28x", true, true},
    {"running values wrap at once, bases of both signs", "wrap-signed.txt", "n = 10,000", ">= 32x",
     ">= 28x", true, true},
    {"no wrapping (all divide one L)", "divisors.txt", "n = 20,000", "no slower", "", false, true},
    {"prime powers wrapping after a prefix", "late-wrap.txt", "n = 10,000", ">= 18x", ">= 18x",
     true, true},
    {"parse-heavy", "parse-heavy.txt", "4 castles, 4,000,000 blocks", ">= 18x", "", false, true},
    {"three-castle example", "three-castles.txt", "3 castles", "no slower", "", false, true},
    {"running values wrap at once, scaled up", "wrap-40k.txt", "n = 40,000", "", "", true, false},
    {"running values wrap at once, scaled up", "wrap-100k.txt", "n = 100,000", "", "", false,
     false},
}};

}  // namespace castles::bench
