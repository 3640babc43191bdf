#pragma once
// A block's factor: the math library's double pow of its base and exponent,
// computed exactly by integer multiplication where that gives the same bits,
// and a memo of recent blocks' powers, so that a castle built from a few
// distinct blocks calls the library a few times.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace castles {

// One block of a castle: base raised to exponent is its factor.
struct Block {
  std::int32_t base;
  std::int32_t exponent;
};
static_assert(sizeof(Block) == 2 * sizeof(std::int32_t), "a block is its two members, unpadded");

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

// A block's power as the fold multiplies it in. Where the running product p
// lies within the factor's reach, the answer is p times multiplier in 64-bit
// integers, kSaturated where that overflows: one compare and one multiply
// whatever the kind of power, so that the fold does not branch on it.
// Elsewhere the answer is the general product of p and power().
struct Factor {
  // Of the products p with -reach <= p <= reach, taken modulo 2^64:
  //   kIntegralReach: the power is an integer, and multiplier is it;
  //   kFractionReach: p = 0 alone, which any finite power keeps at zero;
  //   kBeyondReach:   p = -2^63 alone, which a power past the 64-bit range,
  //                   or infinite or NaN, keeps saturated.
  std::uint64_t reach;
  // The integral power, or the bits of any other; those are at least 2 in
  // magnitude beyond the range, so that -2^63 times them overflows.
  std::int64_t multiplier;

  bool within(std::int64_t product) const {
    // 2 * kBeyondReach wraps to 0, which leaves -2^63 alone.
    return static_cast<std::uint64_t>(product) + reach <= 2 * reach;
  }
  double power() const {
    return reach == kIntegralReach ? static_cast<double>(multiplier)
                                   : std::bit_cast<double>(multiplier);
  }

  // Every product within 2^53 converts to double exactly, so that it and an
  // integral power are two exact integers (see truncatedProduct).
  static constexpr std::uint64_t kIntegralReach = std::uint64_t{1} << 53;
  static constexpr std::uint64_t kFractionReach = 0;
  static constexpr std::uint64_t kBeyondReach = std::uint64_t{1} << 63;
};

// @return the factor of a block whose power is this
Factor factorOf(double power);

// Remembers the factors of recently seen blocks, so that a castle built from a
// few distinct blocks calls the math library a few times. Every slot always
// holds a block's key together with factorOf(blockPower) of the block, so a
// hit returns exactly what blockPower would.
class PowerMemo {
 public:
  PowerMemo() { slots_.fill(fresh(keyOf({0, 0}))); }

  // @return blockPower(block)
  double power(Block block) { return factor(keyOf(block)).power(); }

  // @param key keyOf of a block
  // @return factorOf(blockPower) of that block
  Factor factor(std::uint64_t key) {
    Slot& slot = slots_[slotOf(key)];
    if (slot.key != key) [[unlikely]] {
      slot = fresh(key);
    }
    return slot.factor;
  }

  // The block's eight bytes as memory holds them: both members whole, signs
  // included, since (b, e), (b, -e) and (-b, e) are different blocks. So the
  // key of two consecutive 32-bit integers, base first, is their eight bytes.
  static constexpr std::uint64_t keyOf(Block block) { return std::bit_cast<std::uint64_t>(block); }

 private:
  struct Slot {
    std::uint64_t key;
    Factor factor;
  };
  // 128 bases by 8 exponents: blocks from a small range never evict each other.
  static constexpr std::size_t kBaseSlots = 128;
  static constexpr std::size_t kExponentSlots = 8;

  static constexpr std::size_t slotOf(std::uint64_t key) {
    // Which half of the key is the base follows the machine's byte order.
    constexpr int kBaseShift = std::endian::native == std::endian::little ? 0 : 32;
    const auto base = static_cast<std::size_t>(key >> kBaseShift);
    const auto exponent = static_cast<std::size_t>(key >> (32 - kBaseShift));
    return (base % kBaseSlots) * kExponentSlots + exponent % kExponentSlots;
  }
  // Out of line: a miss calls the math library anyway, and the fold's loop
  // stays small without it.
  [[gnu::noinline]] static Slot fresh(std::uint64_t key);

  std::array<Slot, kBaseSlots * kExponentSlots> slots_;
};

}  // namespace internal
}  // namespace castles
