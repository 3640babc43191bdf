#pragma once
// The machinery behind perfectness.hpp: which powers are computed exactly in
// integers, the memo of powers, and the shortcut for plainly exact products.
// perfectness.hpp includes this after the declarations it builds on (Block,
// kSaturated, truncatedExtendedProduct, blockPower), because its inline fold
// holds a memo. Include perfectness.hpp first; tests that reach into the
// internals include this file after it.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace castles::internal {

// The blocks whose power blockPower computes by integer multiplication:
// 0 <= exponent <= kMaxExactExponent and |base| <= exactPowerBaseLimit(exponent).
// Every such power is at most 2^53, so it is exact as a double. The bases stop
// at 2^20 so that a test can compare the whole domain with std::pow.
inline constexpr int kMaxExactExponent = 53;
inline constexpr std::int64_t kMaxExactBase = std::int64_t{1} << 20;

// @return the largest base, at most kMaxExactBase, whose power fits in 53 bits
constexpr std::int64_t exactPowerBaseLimit(int exponent) {
  constexpr std::uint64_t kTwo53 = std::uint64_t{1} << 53;
  auto fits = [exponent](std::uint64_t base) {
    std::uint64_t power = 1;
    for (int i = 0; i < exponent; ++i) {
      if (power > kTwo53 / base) {  // checked before multiplying, so nothing wraps
        return false;
      }
      power *= base;
    }
    return true;
  };
  std::uint64_t low = 1;                                      // fits; no base below 1 is ever tried
  auto high = static_cast<std::uint64_t>(kMaxExactBase) + 1;  // does not
  if (fits(high - 1)) {
    return kMaxExactBase;
  }
  while (high - low > 1) {
    const std::uint64_t middle = low + (high - low) / 2;
    if (fits(middle)) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return static_cast<std::int64_t>(low);
}

// exactPowerBaseLimit for every exponent. At namespace scope, so that it is
// certainly computed by the compiler: as a local of hasExactPower, GCC redid
// the searches at run time.
inline constexpr std::array<std::int64_t, kMaxExactExponent + 1> kExactPowerBaseLimits = [] {
  std::array<std::int64_t, kMaxExactExponent + 1> limits{};
  for (int e = 0; e <= kMaxExactExponent; ++e) {
    limits[static_cast<std::size_t>(e)] = exactPowerBaseLimit(e);
  }
  return limits;
}();

// @return true when blockPower takes the exact integer path for block
constexpr bool hasExactPower(Block block) {
  if (block.exponent < 0 || block.exponent > kMaxExactExponent) {
    return false;
  }
  const std::int64_t base = block.base;  // 64 bits: |INT32_MIN| is representable
  const std::int64_t limit = kExactPowerBaseLimits[static_cast<std::size_t>(block.exponent)];
  return -limit <= base && base <= limit;
}

// Remembers the powers of recently seen blocks, so that a castle built from a
// few distinct blocks calls the math library a few times. Every slot always
// holds a block together with blockPower of it, so a hit returns exactly what
// blockPower would.
class PowerMemo {
 public:
  PowerMemo() { slots_.fill(Slot{keyOf({0, 0}), blockPower({0, 0})}); }

  // @return blockPower(block)
  double power(Block block) {
    const std::uint64_t key = keyOf(block);
    Slot& slot = slots_[slotOf(key)];
    if (slot.key != key) {
      slot = Slot{key, blockPower(block)};
    }
    return slot.power;
  }

 private:
  struct Slot {
    std::uint64_t key;
    double power;
  };
  // 128 bases by 8 exponents: blocks from a small range never evict each other.
  static constexpr std::size_t kBaseSlots = 128;
  static constexpr std::size_t kExponentSlots = 8;

  // Both members whole, signs included: (b, e), (b, -e) and (-b, e) are
  // different blocks.
  static constexpr std::uint64_t keyOf(Block block) {
    return std::uint64_t{static_cast<std::uint32_t>(block.base)} << 32 |
           static_cast<std::uint32_t>(block.exponent);
  }
  static constexpr std::size_t slotOf(std::uint64_t key) {
    const auto base = static_cast<std::size_t>(key >> 32);
    const auto exponent = static_cast<std::size_t>(key);
    return (base % kBaseSlots) * kExponentSlots + exponent % kExponentSlots;
  }

  std::array<Slot, kBaseSlots * kExponentSlots> slots_;
};

// @return truncatedExtendedProduct(static_cast<double>(product), factor),
// without the extended multiply where the answer is plainly exact
inline std::int64_t truncatedProduct(std::int64_t product, double factor) {
  if (product == 0) {
    // Zero times anything finite is zero; times infinity or NaN it is NaN.
    return std::isfinite(factor) ? 0 : kSaturated;
  }
  // Both exact integers: product converts to double exactly within 2^53, and
  // factor is integral. If their product fits in 64 bits it has at most 64
  // significant bits, so the extended rounding and the truncation leave it
  // as it is; -2^63 is both the exact product and kSaturated.
  constexpr std::int64_t kTwo53 = std::int64_t{1} << 53;
  if (-kTwo53 <= product && product <= kTwo53 && factor >= -0x1p63 && factor < 0x1p63) {
    const auto integral = static_cast<std::int64_t>(factor);  // in range: defined
    std::int64_t exact = 0;
    if (static_cast<double>(integral) == factor &&
        !__builtin_mul_overflow(product, integral, &exact)) {
      return exact;
    }
  }
  if (product == kSaturated) {
    // -2^63 is a power of two, so its product with a finite factor is exact,
    // in double too. It stays in range only when |factor| < 1, or when it is
    // -2^63 itself (factor 1), which is kSaturated again.
    return std::fabs(factor) < 1 ? static_cast<std::int64_t>(-0x1p63 * factor) : kSaturated;
  }
  // int64 -> double rounds to nearest, ties to even.
  return truncatedExtendedProduct(static_cast<double>(product), factor);
}

}  // namespace castles::internal
