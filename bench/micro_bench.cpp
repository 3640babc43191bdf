// Microbenchmarks of the pieces the program's time goes into: the lcm and its
// divisor loop, the block product, and the reader. Run by hand:
//   build/bench/castles_micro_bench [--benchmark_filter=REGEX]

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "generate.hpp"
#include "lcm.hpp"
#include "lcm_batch.hpp"
#include "memory_source.hpp"
#include "perfectness.hpp"
#include "reader.hpp"

namespace {

using castles::bench::Random;

// Enough operand pairs to defeat branch prediction learning the sequence, few
// enough to stay in cache.
constexpr std::size_t kPairs = 4096;

struct Operands {
  std::int64_t a;
  std::int64_t b;
};

// The operands an lcm fold meets:
//   0: two perfectness values of 20 to 60 bits (a running lcm that has not wrapped)
//   1: a wrapped running lcm (any 64-bit value) and a 20-to-60-bit perfectness
//   2: two wrapped 64-bit values
std::vector<Operands> lcmOperands(std::int64_t kind) {
  Random random(0x0bad5eed + static_cast<std::uint64_t>(kind));
  std::vector<Operands> pairs(kPairs);
  for (Operands& pair : pairs) {
    const auto wrapped = [&] { return static_cast<std::int64_t>(random.next()); };
    const auto perfectness = [&] { return random.withBits(random.between(20, 60)); };
    pair.a = kind == 0 ? perfectness() : wrapped();
    pair.b = kind == 2 ? wrapped() : perfectness();
  }
  return pairs;
}

const char* lcmLabel(std::int64_t kind) {
  return kind == 0 ? "20-60 bit, 20-60 bit" : kind == 1 ? "wrapped, 20-60 bit" : "wrapped, wrapped";
}

// One independent call per iteration, of castles::gcd or castles::lcm.
template <std::int64_t (*kOperation)(std::int64_t, std::int64_t)>
void BM_Pairwise(benchmark::State& state) {
  const std::vector<Operands> pairs = lcmOperands(state.range(0));
  std::size_t k = 0;
  for (auto _ : state) {
    const Operands& p = pairs[k++ % kPairs];
    benchmark::DoNotOptimize(kOperation(p.a, p.b));
  }
  state.SetLabel(lcmLabel(state.range(0)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_Pairwise, castles::gcd)->Name("BM_Gcd")->DenseRange(0, 2);
BENCHMARK_TEMPLATE(BM_Pairwise, castles::lcm)->Name("BM_Lcm")->DenseRange(0, 2);

// The exclusion stage's inner step: every running value of a batch against
// one perfectness value, on each path pinned to one kernel: LcmBatch::apply,
// the batch inversion, on every kernel; and every lane through Euclid's loops
// on the two loops there are (the avx2 kernel takes the portable one).
struct LcmPath {
  castles::Kernel kernel;
  bool euclid;
};
constexpr std::array<LcmPath, 5> kLcmPaths = {{{castles::Kernel::portable, false},
                                               {castles::Kernel::avx2, false},
                                               {castles::Kernel::avx512, false},
                                               {castles::Kernel::portable, true},
                                               {castles::Kernel::avx512, true}}};

void BM_LcmBatch(benchmark::State& state) {
  const LcmPath path = kLcmPaths.at(static_cast<std::size_t>(state.range(1)));
  if (!castles::kernelAvailable(path.kernel)) {
    state.SkipWithError((std::string(castles::kernelName(path.kernel)) +
                         " kernel not built or not supported by this processor")
                            .c_str());
    return;
  }
  const std::vector<Operands> pairs = lcmOperands(state.range(0));
  std::vector<std::int64_t> running(kPairs);
  castles::LcmBatch batch(path.kernel);
  std::size_t k = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < kPairs; ++i) {
      running[i] = pairs[i].a;  // fresh operands, so every step does full work
    }
    if (path.euclid) {
      batch.applyByEuclid(running, pairs[k++ % kPairs].b);
    } else {
      batch.apply(running, pairs[k++ % kPairs].b);
    }
    benchmark::DoNotOptimize(running.data());
  }
  state.SetLabel(std::string(lcmLabel(state.range(0))) +
                 (path.euclid ? ", Euclid " : ", batch inversion ") +
                 castles::kernelName(path.kernel));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPairs));
}
BENCHMARK(BM_LcmBatch)->ArgsProduct({{0, 1, 2}, {0, 1, 2, 3, 4}});

// A dependent chain, as in the fold itself: each lcm waits for the last.
void BM_LcmFold(benchmark::State& state) {
  const std::vector<Operands> pairs = lcmOperands(0);
  std::size_t k = 0;
  std::int64_t running = 1;
  for (auto _ : state) {
    running = castles::lcm(running, pairs[k++ % kPairs].b);
    benchmark::DoNotOptimize(running);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LcmFold);

// Small signed bases and exponents, as in the parse-heavy workload.
std::vector<castles::Block> smallBlocks() {
  Random random(0x0b10c5);
  std::vector<castles::Block> blocks(kPairs);
  for (castles::Block& block : blocks) {
    block = {static_cast<std::int32_t>(random.between(-20, 20)),
             static_cast<std::int32_t>(random.between(-3, 3))};
  }
  return blocks;
}

void BM_TruncatedExtendedProduct(benchmark::State& state) {
  Random random(0xd0b1e);
  std::vector<std::pair<double, double>> factors(kPairs);
  for (auto& [d, f] : factors) {
    d = static_cast<double>(random.withBits(random.between(1, 62)));
    f = static_cast<double>(random.withBits(random.between(1, 31)));
  }
  std::size_t k = 0;
  for (auto _ : state) {
    const auto& [d, f] = factors[k++ % kPairs];
    benchmark::DoNotOptimize(castles::truncatedExtendedProduct(d, f));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TruncatedExtendedProduct);

void BM_ApplyBlock(benchmark::State& state) {
  const std::vector<castles::Block> blocks = smallBlocks();
  Random random(0xa9917);
  std::vector<std::int64_t> products(kPairs);
  for (std::int64_t& product : products) {
    product = random.between(-1'000'000, 1'000'000);
  }
  std::size_t k = 0;
  for (auto _ : state) {
    const std::size_t i = k++ % kPairs;
    benchmark::DoNotOptimize(castles::applyBlock(products[i], blocks[i]));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ApplyBlock);

// The whole reader over text held in memory: tokenising, range checks and the
// block products, with no system calls.
void BM_ReadCastles(benchmark::State& state) {
  const std::string text = castles::bench::parseHeavyText(4, 100'000, 0x7e47);
  for (auto _ : state) {
    const castles::ReadResult result = castles::readCastles(text);
    if (result.error) {
      state.SkipWithError("the generated text did not parse");
      break;
    }
    benchmark::DoNotOptimize(result.perfectness.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ReadCastles)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
