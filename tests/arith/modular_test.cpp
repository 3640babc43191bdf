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

// Both products against the wide remainder: the unsigned one, and the signed
// one with x read signed (-1, -2, -3 and -2^63 among them) and y of either
// sign, which must land in (-n, n) on the right residue.
TEST(Montgomery, MultipliesAndDividesByTwoTo64) {
  std::mt19937_64 rng(101);
  for (const std::uint64_t n : oddModuli(rng)) {
    const Montgomery montgomery(n);
    const std::uint64_t rInverse =  // 2^-64 mod n
        inverseModulo(static_cast<std::uint64_t>((Wide{1} << 64) % n), n).inverse;
    const auto residue = [n](std::int64_t v) {  // v mod n, in [0, n)
      const auto bits = static_cast<std::uint64_t>(v);
      const std::uint64_t r = (v < 0 ? 0 - bits : bits) % n;  // |v| mod n
      return v < 0 && r != 0 ? n - r : r;
    };
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t x = i < 3    ? ~std::uint64_t{0} - static_cast<std::uint64_t>(i)
                              : i == 3 ? kTop
                                       : rng();
      const std::uint64_t y = i < 2 ? n - 1 : rng() % n;
      const std::uint64_t expected = static_cast<std::uint64_t>(Wide{x} * y % n * rInverse % n);
      ASSERT_EQ(montgomery.multiply(x, y), expected) << x << " * " << y << " mod " << n;
      const auto sx = static_cast<std::int64_t>(x);
      const std::int64_t sy =
          i % 2 == 0 ? static_cast<std::int64_t>(y) : -static_cast<std::int64_t>(y);
      const std::int64_t product = montgomery.multiplySigned(sx, sy);
      const auto signedN = static_cast<std::int64_t>(n);
      ASSERT_TRUE(-signedN < product && product < signedN) << sx << " * " << sy << " mod " << n;
      ASSERT_EQ(residue(product),
                static_cast<std::uint64_t>(Wide{residue(sx)} * residue(sy) % n * rInverse % n))
          << sx << " * " << sy << " mod " << n;
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
