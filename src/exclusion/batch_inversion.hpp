#pragma once
// Inverses of many values modulo one odd modulus from a single modular
// inversion (Montgomery's trick), certified: the one inversion exists exactly
// when every value is coprime to the modulus, so when it does not, the units
// of values that share a factor with the modulus are found by bisection and
// left out, and the rest is inverted.
//
// With R = 2^64 and every value a read as the Montgomery form of a / R, the
// forward pass keeps the product of the values before each one, one
// inversion of the total's Montgomery form starts the backward pass, and the
// backward pass peels the values off again, yielding each a^-1 itself.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "modular.hpp"

namespace castles {

class BatchInversion {
 public:
  // Values are taken in units of this many, kWays units side by side so that
  // that many chains of dependent multiplications overlap. A unit is also
  // what a failed certification gives up.
  static constexpr std::size_t kUnit = 16;
  static constexpr std::size_t kWays = 4;

  // Inverts values[lane] modulo the modulus for every lane of `invert`, and
  // certifies that values[lane] is coprime to it for every lane of
  // `certifyOnly` too. Calls finish(lane, values[lane]^-1 mod modulus) for
  // each lane of `invert`, and finishCertified(lane) for each lane of
  // `certifyOnly`, whose unit is certified; the lanes of the other units are
  // then in failedLanes().
  // @param montgomery modulus >= 3
  // @param values indexed by lane, any 64-bit values
  template <typename Finish, typename FinishCertified>
  void run(const Montgomery& montgomery, std::span<const std::uint64_t> values,
           std::span<const std::uint32_t> invert, std::span<const std::uint32_t> certifyOnly,
           Finish&& finish, FinishCertified&& finishCertified);

  // @return the lanes of the units that failed the last run's certification
  std::span<const std::uint32_t> failedLanes() const { return failedLanes_; }

 private:
  void forward(const Montgomery& montgomery, std::span<const std::uint64_t> values,
               std::span<const std::uint32_t> invert, std::span<const std::uint32_t> certifyOnly);
  void certify(const Montgomery& montgomery);
  std::uint64_t productOfCertifiedUnits(const Montgomery& montgomery);
  void markFirstFailure(const Montgomery& montgomery);
  void startBackwardPasses(const Montgomery& montgomery, std::uint64_t totalInverse);
  template <std::size_t kW, typename Finish>
  void backward(const Montgomery& montgomery, std::span<const std::uint64_t> values,
                const std::uint32_t* lanes, std::size_t first, std::size_t length, std::size_t unit,
                Finish& finish) const;
  template <typename Finish>
  void backwardAll(const Montgomery& montgomery, std::span<const std::uint64_t> values,
                   std::span<const std::uint32_t> invert, Finish& finish) const;
  void collectFailures(std::span<const std::uint32_t> invert,
                       std::span<const std::uint32_t> certifyOnly);

  // Per lane of `invert`, by position: the product of its unit's values before it.
  std::vector<std::uint64_t> prefixes_;
  // Per unit, those of `invert` first.
  std::vector<std::uint64_t> unitProducts_;
  std::vector<std::uint64_t> unitPrefixes_;  // the product of the certified units before it
  std::vector<std::uint64_t> unitInverses_;  // where its backward pass starts, once certified
  std::vector<std::uint8_t> unitFailed_;
  std::size_t invertUnits_ = 0;
  std::vector<std::uint32_t> failedLanes_;
};

namespace internal {

// @return how many units of BatchInversion::kUnit cover count lanes
constexpr std::size_t unitsOf(std::size_t count) {
  return (count + BatchInversion::kUnit - 1) / BatchInversion::kUnit;
}

// Runs `pass` over the units of `count` lanes, kWays units side by side while
// whole units last: pass(ways, first lane, length, first unit), where ways
// is a std::integral_constant.
template <typename Pass>
void overUnits(std::size_t count, Pass&& pass) {
  constexpr std::size_t kUnit = BatchInversion::kUnit;
  constexpr std::size_t kWays = BatchInversion::kWays;
  const std::size_t fullUnits = count / kUnit;
  std::size_t u = 0;
  for (; u + kWays <= fullUnits; u += kWays) {
    pass(std::integral_constant<std::size_t, kWays>{}, u * kUnit, kUnit, u);
  }
  for (; u * kUnit < count; ++u) {
    pass(std::integral_constant<std::size_t, 1>{}, u * kUnit, std::min(kUnit, count - u * kUnit),
         u);
  }
}

}  // namespace internal

// The backward pass over kW units side by side, `length` lanes each, from
// lanes[first] on: from the inverse of each unit's product, every lane's
// inverse, last lane first.
template <std::size_t kW, typename Finish>
void BatchInversion::backward(const Montgomery& montgomery, std::span<const std::uint64_t> values,
                              const std::uint32_t* lanes, std::size_t first, std::size_t length,
                              std::size_t unit, Finish& finish) const {
  std::array<std::uint64_t, kW> running;
  std::copy_n(&unitInverses_[unit], kW, running.begin());
  for (std::size_t i = length; i-- > 0;) {
    for (std::size_t w = 0; w < kW; ++w) {
      const std::size_t position = first + w * kUnit + i;
      const std::uint32_t lane = lanes[position];
      const std::uint64_t inverse = montgomery.multiply(running[w], prefixes_[position]);
      running[w] = montgomery.multiply(values[lane], running[w]);
      finish(lane, inverse);
    }
  }
}

template <typename Finish>
void BatchInversion::backwardAll(const Montgomery& montgomery,
                                 std::span<const std::uint64_t> values,
                                 std::span<const std::uint32_t> invert, Finish& finish) const {
  internal::overUnits(invert.size(), [&](auto ways, std::size_t first, std::size_t length,
                                         std::size_t u) {
    const auto failed = std::span(unitFailed_).subspan(u, ways);
    if (std::all_of(failed.begin(), failed.end(), [](std::uint8_t f) { return f == 0; })) {
      backward<ways>(montgomery, values, invert.data(), first, length, u, finish);
      return;
    }
    for (std::size_t w = 0; w < ways; ++w) {
      if (failed[w] == 0) {
        backward<1>(montgomery, values, invert.data(), first + w * kUnit, length, u + w, finish);
      }
    }
  });
}

template <typename Finish, typename FinishCertified>
void BatchInversion::run(const Montgomery& montgomery, std::span<const std::uint64_t> values,
                         std::span<const std::uint32_t> invert,
                         std::span<const std::uint32_t> certifyOnly, Finish&& finish,
                         FinishCertified&& finishCertified) {
  forward(montgomery, values, invert, certifyOnly);
  certify(montgomery);
  backwardAll(montgomery, values, invert, finish);
  for (std::size_t u = 0; u < internal::unitsOf(certifyOnly.size()); ++u) {
    if (unitFailed_[invertUnits_ + u] == 0) {
      const auto lanes = certifyOnly.subspan(u * kUnit);
      std::for_each_n(lanes.begin(), std::min(kUnit, lanes.size()), finishCertified);
    }
  }
  collectFailures(invert, certifyOnly);
}

}  // namespace castles
