#pragma once
// A block's factor: the math library's double pow of its base and exponent,
// computed exactly by integer multiplication where that gives the same bits,
// and a memo of recent blocks' powers, so that a castle built from a few
// distinct blocks calls the library a few times.

#include <array>
#include <cstddef>
#include <cstdint>

namespace castles {

// One block of a castle: base raised to exponent is its factor.
struct Block {
  std::int32_t base;
  std::int32_t exponent;
};

// The factor of one block: the math library's double pow of base and exponent,
// computed exactly by integer multiplication where that gives the same bits.
double blockPower(Block block);

namespace internal {

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

}  // namespace internal
}  // namespace castles
