#include "lcm_batch.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "euclid_lanes.hpp"
#include "euclid_parity.hpp"
#include "kernel_names.hpp"
#include "lane_plan.hpp"
#include "lcm.hpp"
#include "modular.hpp"

namespace castles {

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

unsigned remainderSteps(std::uint64_t a, std::uint64_t b) {
  unsigned steps = 0;
  while (b != 0) {
    const std::uint64_t t = a % b;
    a = b;
    b = t;
    ++steps;
  }
  return steps;
}

bool stepsOddByInverse(std::uint64_t a, std::uint64_t b) {
  return internal::remainderStepsOdd(inverseModulo(a % b, b).inverse, b);
}

// The parity read off the inverse against the loop itself: every coprime pair
// up to 300, then random coprime pairs of every size up to 2^63.
TEST(RemainderStepsOdd, AgreesWithTheLoop) {
  for (std::uint64_t a = 1; a <= 300; ++a) {
    for (std::uint64_t b = 1; b <= 300; ++b) {
      if (std::gcd(a, b) == 1) {
        ASSERT_EQ(stepsOddByInverse(a, b), remainderSteps(a, b) % 2 == 1) << a << ", " << b;
      }
    }
  }
  std::mt19937_64 rng(301);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t a = rng() >> (rng() % 64);
    const std::uint64_t b = (rng() >> (1 + rng() % 63)) | 1U;  // 1 <= b < 2^63
    if (a != 0 && std::gcd(a, b) == 1) {
      ASSERT_EQ(stepsOddByInverse(a, b), remainderSteps(a, b) % 2 == 1) << a << ", " << b;
    }
  }
}

// Each test below runs once per Euclid kernel, skipping those this build or
// this processor lacks.
class EveryKernel : public testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
    if (!kernelAvailable(GetParam())) {
      GTEST_SKIP() << "the " << kernelName(GetParam())
                   << " kernel is not built (CASTLES_SIMD) or this processor cannot run it";
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel,
                         testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512),
                         [](const testing::TestParamInfo<Kernel>& param) {
                           return std::string(kernelName(param.param));
                         });

// The divisor and step count of every lane, including lanes whose quotient is
// too large for the vector kernel's floating-point estimate, exact multiples
// (whose estimate may round to one below the quotient, leaving a remainder of
// exactly b to correct: 7 * 1286742750677287 is one), and a count that leaves
// a partial vector.
TEST_P(EveryKernel, EuclidLanesMatchTheLoop) {
  std::mt19937_64 rng(11);
  // 86 full groups of six vectors, then one vector and five lanes for the portable loop
  constexpr std::size_t kCount = 4096 + 45;
  std::vector<std::uint64_t> a(kCount);
  std::vector<std::uint64_t> b(kCount);
  for (std::size_t k = 0; k < kCount; ++k) {
    a[k] = k % 16 == 0 ? std::uint64_t{1} << 63 : rng() >> (rng() % 64);
    b[k] = k % 16 == 1 ? (std::uint64_t{1} << 62) + rng() % 1000 : rng() >> (rng() % 64);
    if (k % 4 == 2) {
      b[k] = (rng() >> (14 + rng() % 40)) | 1;
      a[k] = b[k] * (2 + rng() % 4096);  // below 2^62: no wrap
    }
  }
  a[3] = 7 * std::uint64_t{1286742750677287};
  b[3] = 1286742750677287;
  const std::vector<std::uint64_t> a0 = a;
  const std::vector<std::uint64_t> b0 = b;
  std::vector<std::uint64_t> steps(kCount, 0);
  runEuclidLanes(GetParam(), a, b, steps);
  for (std::size_t k = 0; k < kCount; ++k) {
    ASSERT_EQ(a[k], std::gcd(a0[k], b0[k])) << a0[k] << ", " << b0[k];
    ASSERT_EQ(steps[k], remainderSteps(a0[k], b0[k])) << a0[k] << ", " << b0[k];
  }
}

// The residue table against % and std::gcd: p's smallest prime powers make
// the modulus, and the key a residue gives must divide exactly the common
// factor out of |x|, whatever x's sign. Boundary values sit where the
// reciprocal's estimate of the quotient is one off, and at the ends of the
// signed range.
TEST(ResidueTable, DividesOutTheCommonFactorOfTheSmallestPrimes) {
  std::mt19937_64 rng(14);
  for (const std::int64_t p : {std::int64_t{9 * 5 * 7 * 11} * 1000003, std::int64_t{27 * 25},
                               std::int64_t{3 * 5 * 7 * 11 * 13} << 20}) {
    LanePlan plan;
    plan.plan(p, 4096);
    plan.planResidues(4096);
    const ResidueTable& table = plan.residues();
    ASSERT_GT(table.modulus, 1U) << p;
    const auto m = static_cast<std::int64_t>(table.modulus);
    std::vector<std::int64_t> xs = {1, m - 1, m, m + 1, 2 * m, kMin, kMin + 1, kMax};
    for (std::int64_t k = kMax / m; xs.size() < 80; k -= 7) {
      xs.insert(xs.end(), {k * m - 1, k * m, k * m + 1, -k * m - 1, -k * m, -k * m + 1});
    }
    for (int i = 0; i < 2000; ++i) {
      xs.push_back(static_cast<std::int64_t>(rng() * (i % 3 == 0 ? table.modulus / 3 : 1) | 1));
    }
    for (const std::int64_t x : xs) {
      const std::int64_t expected = (x % m + m) % m;
      ASSERT_EQ(table.residue(x), static_cast<std::uint64_t>(expected)) << x << " mod " << m;
      const std::uint64_t xm = magnitude(x);
      ASSERT_EQ(xm * table.lookup->inverseOfKey[table.keyOf(x)] * std::gcd(xm, table.modulus), xm)
          << x << " mod " << m;
    }
  }
}

struct BatchCase {
  const char* what;
  std::int64_t p;
  std::vector<std::int64_t> factors;  // prime factors of p that lanes may share
};

// Values of p that take every path: +-1, powers of two up to -2^63, primes
// below and beyond trial division, prime powers, small primes with exponents,
// more small primes than there are groups, and each count of primes from 64
// up that classification unrolls, and one more.
const std::vector<BatchCase> kBatchCases = {
    {"one", 1, {}},
    {"minus one", -1, {}},
    {"minus two to the 63", kMin, {2}},
    {"two to the 62", std::int64_t{1} << 62, {2}},
    {"largest value", kMax, {7, 73, 127, 337, 92737, 649657}},
    {"a prime found by trial division", 65521, {65521}},
    {"a prime beyond it, negative", -1000000007, {1000000007}},
    {"two primes beyond it", 1000000007LL * 998244353LL, {1000000007, 998244353}},
    {"the square of a prime beyond it", 1000003LL * 1000003LL, {1000003}},
    {"a power of three", 4052555153018976267LL, {3}},
    {"even, small primes with exponents, a large prime",
     -32LL * 81 * 25 * 7 * 11 * 1000003,
     {2, 3, 5, 7, 11, 1000003}},
    {"fourteen odd primes",
     307444891294245705LL,
     {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47}},
    {"two to the 40 times three", 3LL << 40, {2, 3}},
    {"four primes from 64 up, negative", -45LL * 67 * 71 * 73 * 79, {3, 5, 67, 71, 73, 79}},
    {"five primes from 64 up", 83LL * 89 * 97 * 101 * 103, {83, 89, 97, 101, 103}},
};

// Lanes for lcm(x, p): 0, +-1, +-p, the extremes, and random values times
// random products of p's factors, each shared with probability `share`.
std::vector<std::int64_t> lanesFor(const BatchCase& c, std::size_t count, double share,
                                   std::mt19937_64& rng) {
  std::vector<std::int64_t> lanes = {0, 1, -1, c.p, wrappingMultiply(c.p, -1), kMin, kMax};
  std::bernoulli_distribution shares(share);
  while (lanes.size() < count) {
    std::int64_t x = static_cast<std::int64_t>(rng()) >> (rng() % 64);
    for (const std::int64_t factor : c.factors) {
      while (shares(rng)) {
        x = wrappingMultiply(x, factor);
      }
    }
    if (rng() % 8 == 0) {
      x = wrappingMultiply(x, c.p);
    }
    lanes.push_back(x);
  }
  lanes.resize(count);
  return lanes;
}

// The batched lcm against the scalar one, lane by lane, at lane counts on
// both sides of the batch thresholds, over more than one chunk of lanes, and
// with common factors rare or common; with the residue tables where they pay
// and with the division steps alone.
TEST_P(EveryKernel, BatchMatchesScalarLcm) {
  std::mt19937_64 rng(12);
  LcmBatch batch(GetParam());
  LcmBatch bySteps(GetParam(), LcmBatch::ResidueTables::never);
  for (const BatchCase& c : kBatchCases) {
    for (const std::size_t count : {5U, 16U, 17U, 100U, 1000U, 9000U}) {
      for (const double share : {0.002, 0.3}) {
        const std::vector<std::int64_t> lanes = lanesFor(c, count, share, rng);
        std::vector<std::int64_t> got = lanes;
        batch.apply(got, c.p);
        std::vector<std::int64_t> withoutTables = lanes;
        bySteps.apply(withoutTables, c.p);
        std::vector<std::int64_t> byEuclid = lanes;
        batch.applyByEuclid(byEuclid, c.p);
        for (std::size_t k = 0; k < lanes.size(); ++k) {
          const std::int64_t expected = lcm(lanes[k], c.p);
          ASSERT_EQ(got[k], expected) << c.what << ": lcm(" << lanes[k] << ", " << c.p << ")";
          ASSERT_EQ(withoutTables[k], expected)
              << c.what << ", no tables: lcm(" << lanes[k] << ", " << c.p << ")";
          ASSERT_EQ(byEuclid[k], expected) << c.what << ": lcm(" << lanes[k] << ", " << c.p << ")";
        }
      }
    }
  }
}

// Random p of every size against random lanes, as the exclusion stage meets
// them once the running values wrap.
TEST_P(EveryKernel, BatchMatchesScalarLcmOnRandomValues) {
  std::mt19937_64 rng(13);
  LcmBatch batch(GetParam());
  for (int round = 0; round < 300; ++round) {
    std::int64_t p = static_cast<std::int64_t>(rng()) >> (rng() % 64);
    if (rng() % 4 == 0) {
      p = wrappingMultiply(p, static_cast<std::int64_t>(rng() % 64) + 1);
    }
    std::vector<std::int64_t> lanes(20 + rng() % 300);
    for (std::int64_t& x : lanes) {
      x = static_cast<std::int64_t>(rng()) >> (rng() % 8 == 0 ? rng() % 64 : 0);
    }
    std::vector<std::int64_t> got = lanes;
    batch.apply(got, p);
    for (std::size_t k = 0; k < lanes.size(); ++k) {
      ASSERT_EQ(got[k], lcm(lanes[k], p)) << "lcm(" << lanes[k] << ", " << p << ")";
    }
  }
}

}  // namespace
}  // namespace castles
