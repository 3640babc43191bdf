#include "modular.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace castles {
namespace {

__extension__ using Wide = unsigned __int128;

constexpr std::uint64_t kTop = std::uint64_t{1} << 63;

// Odd moduli from the smallest to the largest the batch uses, and random ones.
std::vector<std::uint64_t> oddModuli(std::mt19937_64& rng) {
  std::vector<std::uint64_t> moduli = {
      1, 3, 5, 65537, 4294967291, kTop - 1, kTop - 25, (std::uint64_t{1} << 62) + 1};
  for (int i = 0; i < 40; ++i) {
    moduli.push_back((rng() >> (1 + rng() % 62)) | 1);
  }
  return moduli;
}

TEST(Montgomery, MultipliesAndDividesByTwoTo64) {
  std::mt19937_64 rng(101);
  for (const std::uint64_t n : oddModuli(rng)) {
    const Montgomery montgomery(n);
    const std::uint64_t rInverse =  // 2^-64 mod n
        inverseModulo(static_cast<std::uint64_t>((Wide{1} << 64) % n), n).inverse;
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t x = i < 3 ? ~std::uint64_t{0} - static_cast<std::uint64_t>(i) : rng();
      const std::uint64_t y = i < 2 ? n - 1 : rng() % n;
      const std::uint64_t expected = static_cast<std::uint64_t>(Wide{x} * y % n * rInverse % n);
      ASSERT_EQ(montgomery.multiply(x, y), expected) << x << " * " << y << " mod " << n;
    }
  }
}

TEST(InverseModPowerOfTwo, InvertsInTheRequestedBits) {
  std::mt19937_64 rng(102);
  for (unsigned bits = 1; bits <= 64; ++bits) {
    const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    for (int i = 0; i < 100; ++i) {
      const std::uint64_t a = i == 0 ? ~std::uint64_t{0} : rng() | 1;
      ASSERT_EQ((a * inverseModPowerOfTwo(a, bits)) & mask, 1U) << a << ", " << bits << " bits";
    }
  }
}

TEST(InverseModulo, InvertsOrReportsTheCommonFactor) {
  std::mt19937_64 rng(103);
  for (const std::uint64_t n : oddModuli(rng)) {
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t c = i == 0 ? 0 : i == 1 ? n - 1 : rng() % n;
      const ModularInverse result = inverseModulo(c, n);
      std::uint64_t g = n;
      for (std::uint64_t r = c; r != 0;) {
        const std::uint64_t t = g % r;
        g = r;
        r = t;
      }
      ASSERT_EQ(result.gcd, g) << c << " mod " << n;
      if (g == 1) {
        ASSERT_LT(result.inverse, n);
        ASSERT_EQ(static_cast<std::uint64_t>(Wide{c} * result.inverse % n), 1 % n)
            << c << " mod " << n;
      }
    }
  }
  // Even moduli too: the batch inverts modulo odd numbers, the tests do not.
  EXPECT_EQ(inverseModulo(3, 8).inverse, 3U);
  EXPECT_EQ(inverseModulo(6, 8).gcd, 2U);
}

}  // namespace
}  // namespace castles
