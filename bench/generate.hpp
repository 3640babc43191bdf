#pragma once
// Deterministic input generation shared by the workload generator and the
// microbenchmarks. The generator and the ranges are defined here rather than
// taken from <random>, whose distributions differ between standard libraries,
// so the same seed gives the same bytes everywhere.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace castles::bench {

// SplitMix64: tiny, fast, and defined entirely by the few lines below.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15U);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9U;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebU;
    return z ^ (z >> 31);
  }

  // @return uniform in [lo, hi], lo <= hi; the modulo bias over a 64-bit
  //         draw is far below anything a benchmark input could notice
  std::int64_t between(std::int64_t lo, std::int64_t hi) {
    const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) + 1;
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(lo) + next() % span);
  }

  // @return a value of exactly `bits` significant bits, 1 <= bits <= 62
  std::int64_t withBits(std::int64_t bits) {
    return between(std::int64_t{1} << (bits - 1), (std::int64_t{1} << bits) - 1);
  }

  template <typename T>
  const T& pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(between(0, static_cast<std::int64_t>(items.size()) - 1))];
  }

 private:
  std::uint64_t state_;
};

// Few castles with very many blocks, written as a person might: small signed
// bases and exponents (so the products meet zero, fractions, infinities and
// NaN), runs of spaces and tabs, and line breaks of several kinds.
inline std::string parseHeavyText(int castles, int blocksPerCastle, std::uint64_t seed) {
  Random random(seed);
  std::string out;
  out.reserve(static_cast<std::size_t>(castles) * static_cast<std::size_t>(blocksPerCastle) * 9 +
              64);
  out += std::to_string(castles) + "\n";
  const std::vector<std::string> gaps = {" ", " ", " ", "  ", "   ", "\t", " \t "};
  const std::vector<std::string> breaks = {"\n", "\n", "\r\n", "\n\n", " \n  "};
  for (int i = 0; i < castles; ++i) {
    out += std::to_string(blocksPerCastle) + "\n";
    for (int j = 0; j < blocksPerCastle; ++j) {
      out += std::to_string(random.between(-20, 20));
      out += random.pick(gaps);
      out += std::to_string(random.between(-3, 3));
      out += random.between(0, 7) == 0 ? random.pick(breaks) : random.pick(gaps);
    }
    out += '\n';
  }
  return out;
}

}  // namespace castles::bench
