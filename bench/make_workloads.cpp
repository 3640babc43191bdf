// Writes the benchmark's inputs into a directory. Every input comes from a
// fixed seed and the generator in generate.hpp, so the files are the same on
// every machine and every run.
//
// usage: castles_bench_workloads OUTPUT_DIR EXAMPLE_FILE

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "generate.hpp"
#include "workloads.hpp"

namespace {

using castles::bench::Random;

std::vector<std::int64_t> primesBetween(std::int64_t lo, std::int64_t hi) {
  std::vector<bool> composite(static_cast<std::size_t>(hi) + 1, false);
  std::vector<std::int64_t> primes;
  for (std::int64_t p = 2; p <= hi; ++p) {
    if (composite[static_cast<std::size_t>(p)]) {
      continue;
    }
    if (p >= lo) {
      primes.push_back(p);
    }
    for (std::int64_t m = p * p; m <= hi; m += p) {
      composite[static_cast<std::size_t>(m)] = true;
    }
  }
  return primes;
}

void appendCastle(std::string& out,
                  const std::vector<std::pair<std::int64_t, std::int64_t>>& blocks) {
  out += std::to_string(blocks.size());
  for (const auto& [base, exponent] : blocks) {
    out += ' ';
    out += std::to_string(base);
    out += ' ';
    out += std::to_string(exponent);
  }
  out += '\n';
}

// Each perfectness is a product of two random factors with 20 to 60 bits in
// all (factors of h and l bits give h + l - 1 or h + l), so the running lcm
// passes 2^63 within a few castles and keeps wrapping. Both factors are below
// 2^30 and their product below 2^61, so every step of the floating-point
// product is exact.
std::string wrapping(int castles, std::uint64_t seed) {
  Random random(seed);
  std::string out = std::to_string(castles) + "\n";
  for (int i = 0; i < castles; ++i) {
    const auto bits = random.between(21, 60);
    appendCastle(out, {{random.withBits((bits + 1) / 2), 1}, {random.withBits(bits / 2), 1}});
  }
  return out;
}

// Every perfectness is 7^d 5^c 3^b 2^a with a <= 16, b <= 10, c <= 7, d <= 5,
// so every one divides L = 2^16 3^10 5^7 7^5 < 2^62.2 and no lcm ever wraps.
// The odd factor comes first: it stays below 2^53, so the conversion of the
// running product to double is exact, and the power of two is exact too.
// Four castles alone hold the top power of one prime each, so excluding one
// of them loses that power: the answer is 5 (L, L/2, L/3, L/5, L/7), and the
// two programs are checked on more than a single value.
std::string divisors() {
  constexpr int kCastles = 20'000;
  Random random(0x5eed0002);
  std::string out = std::to_string(kCastles) + "\n";
  for (int i = 0; i < kCastles; ++i) {
    appendCastle(out, {{7, i == 19'999 ? 5 : random.between(0, 4)},
                       {5, i == 15'000 ? 7 : random.between(0, 6)},
                       {3, i == 10'000 ? 10 : random.between(0, 9)},
                       {2, i == 5'000 ? 16 : random.between(0, 15)}});
  }
  return out;
}

// The first half are powers of the primes up to 47 (2^3 and 3^2 at most,
// the rest to the first power), whose lcm 2^3 3^2 5 7 ... 47 < 2^62.7 does
// not wrap; the second half are primes from 53 to 997 and their squares,
// which push the running lcm past 2^63 at the first of them.
std::string lateWrap() {
  constexpr int kCastles = 10'000;
  Random random(0x5eed0003);
  std::string out = std::to_string(kCastles) + "\n";
  const std::vector<std::int64_t> small = primesBetween(2, 47);
  const std::vector<std::int64_t> large = primesBetween(53, 997);
  for (int i = 0; i < kCastles / 2; ++i) {
    const std::int64_t p = random.pick(small);
    const std::int64_t maxExponent = p == 2 ? 3 : p == 3 ? 2 : 1;
    appendCastle(out, {{p, random.between(1, maxExponent)}});
  }
  for (int i = kCastles / 2; i < kCastles; ++i) {
    appendCastle(out, {{random.pick(large), random.between(1, 2)}});
  }
  return out;
}

// Few castles, very many blocks: the time goes into reading and into the
// block products.
std::string parseHeavy() { return castles::bench::parseHeavyText(4, 1'000'000, 0x5eed0004); }

bool writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) {
    std::cerr << "castles_bench_workloads: cannot write " << path << "\n";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: castles_bench_workloads OUTPUT_DIR EXAMPLE_FILE\n";
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::cerr << "castles_bench_workloads: cannot create " << dir << ": " << error.message()
              << "\n";
    return 1;
  }
  std::ifstream exampleFile(argv[2], std::ios::binary);
  const std::string example((std::istreambuf_iterator<char>(exampleFile)),
                            std::istreambuf_iterator<char>());
  if (!exampleFile || example.empty()) {
    std::cerr << "castles_bench_workloads: cannot read " << argv[2] << "\n";
    return 1;
  }

  // Generated by file name, so that a workload added to the table without a
  // generator here is reported instead of silently skipped.
  const auto textFor = [&](std::string_view file) -> std::optional<std::string> {
    if (file == "wrap.txt") return wrapping(10'000, 0x5eed0001);
    if (file == "wrap-40k.txt") return wrapping(40'000, 0x5eed0005);
    if (file == "divisors.txt") return divisors();
    if (file == "late-wrap.txt") return lateWrap();
    if (file == "parse-heavy.txt") return parseHeavy();
    if (file == "three-castles.txt") return example;
    return std::nullopt;
  };
  for (const castles::bench::Workload& workload : castles::bench::kWorkloads) {
    const std::optional<std::string> text = textFor(workload.file);
    if (!text) {
      std::cerr << "castles_bench_workloads: no generator for " << workload.file << "\n";
      return 1;
    }
    if (!writeFile(dir / workload.file, *text)) {
      return 1;
    }
  }
  return 0;
}
