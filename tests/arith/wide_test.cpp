#include "wide.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

namespace castles {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

static_assert(internal::mulWidePortable(kMax, kMax) == U128{kMax - 1, 1});
static_assert(internal::mulWidePortable(std::uint64_t{1} << 32, std::uint64_t{1} << 32) ==
              U128{1, 0});
static_assert(internal::mulWideSignedPortable(-1, 1) == I128{-1, kMax});  // -1 = -2^64 + (2^64 - 1)
static_assert(internal::mulWideSignedPortable(std::numeric_limits<std::int64_t>::min(),
                                              std::numeric_limits<std::int64_t>::min()) ==
              I128{std::int64_t{1} << 62, 0});

#if defined(__SIZEOF_INT128__)
// The portable products must agree with the native ones on boundary values
// and on random operands of every width, read unsigned and signed.
TEST(MulWide, PortableMatchesNative) {
  const auto agree = [](std::uint64_t a, std::uint64_t b) {
    const auto sa = static_cast<std::int64_t>(a);
    const auto sb = static_cast<std::int64_t>(b);
    return internal::mulWidePortable(a, b) == internal::mulWideNative(a, b) &&
           internal::mulWideSignedPortable(sa, sb) == internal::mulWideSignedNative(sa, sb);
  };
  std::vector<std::uint64_t> edges;
  for (std::uint64_t i = 0; i < 4; ++i) {
    for (const std::uint64_t base :
         {std::uint64_t{0}, std::uint64_t{1} << 32, std::uint64_t{1} << 63}) {
      edges.push_back(base + i);
      edges.push_back(base - i);
    }
  }
  for (const std::uint64_t a : edges) {
    for (const std::uint64_t b : edges) {
      ASSERT_TRUE(agree(a, b)) << a << " * " << b;
    }
  }
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t a = rng() >> (rng() % 64);
    const std::uint64_t b = rng() >> (rng() % 64);
    ASSERT_TRUE(agree(a, b)) << a << " * " << b;
  }
}
#endif

}  // namespace
}  // namespace castles
