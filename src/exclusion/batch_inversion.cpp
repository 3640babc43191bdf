#include "batch_inversion.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <type_traits>

#include "batch_inversion_vector.hpp"

namespace castles {
namespace {

constexpr std::size_t kUnit = BatchInversion::kUnit;
constexpr std::size_t kBlock = BatchInversion::kBlock;
constexpr std::size_t kBlockUnits = BatchInversion::kBlockUnits;
// Failed certifications located by bisection before every unit is checked.
constexpr int kBisections = 4;

using Chains = BatchInversion::Chains;
template <std::size_t kW>
using Ways = std::integral_constant<std::size_t, kW>;

// @return R mod modulus, the Montgomery form of 1
std::uint64_t montgomeryOne(const Montgomery& montgomery) {
  return (0 - montgomery.modulus()) % montgomery.modulus();
}

// The product of a chain's running residue y and x: residues carried signed
// in (-n, n), in the bits of an unsigned word, when kSigned, and otherwise in
// [0, n). Signed, x is read signed too.
template <bool kSigned>
std::uint64_t chainProduct(const Montgomery& modular, std::uint64_t x, std::uint64_t y) {
  if constexpr (kSigned) {
    return static_cast<std::uint64_t>(
        modular.multiplySigned(static_cast<std::int64_t>(x), static_cast<std::int64_t>(y)));
  } else {
    return modular.multiply(x, y);
  }
}

// @return a chain's residue r, in [0, n)
template <bool kSigned>
std::uint64_t normalized(const Montgomery& modular, std::uint64_t r) {
  if constexpr (kSigned) {
    // The sign bit, copied by the shift, selects the modulus to add.
    return r + (modular.modulus() & static_cast<std::uint64_t>(static_cast<std::int64_t>(r) >> 63));
  } else {
    return r;
  }
}

// Runs a pass over every unit of `count` positions: the whole blocks by
// vector(first position, blocks, first unit), several blocks side by side,
// where the kernel has vectors, and otherwise by scalar(ways, chains), a
// block's eight units side by side (four leave the multiplier idle while
// each chain waits on its last product); then the units after the last whole
// block, four side by side while they last. Every pass over the same
// positions splits them alike.
template <typename Scalar, typename Vector>
void overUnits(Kernel kernel, std::size_t count, Scalar&& scalar, Vector&& vector) {
  const std::size_t blocks = count / kBlock;
  std::size_t b = 0;
#if CASTLES_SIMD_AVX512
  for (; kernel == Kernel::avx512 && b < blocks; b += internal::kVectorBlocks) {
    vector(b * kBlock, std::min(internal::kVectorBlocks, blocks - b), b * kBlockUnits);
  }
#else
  static_cast<void>(kernel);
  static_cast<void>(vector);
#endif
  for (; b < blocks; ++b) {
    scalar(Ways<kBlockUnits>{}, Chains{b * kBlock, 1, kBlockUnits, kUnit, b * kBlockUnits});
  }
  const std::size_t first = blocks * kBlock;
  const std::size_t fullUnits = (count - first) / kUnit;
  std::size_t u = 0;
  for (; u + 4 <= fullUnits; u += 4) {
    scalar(Ways<4>{}, Chains{first + u * kUnit, kUnit, 1, kUnit, blocks * kBlockUnits + u});
  }
  for (; first + u * kUnit < count; ++u) {
    const std::size_t length = std::min(kUnit, count - first - u * kUnit);
    scalar(Ways<1>{}, Chains{first + u * kUnit, kUnit, 1, length, blocks * kBlockUnits + u});
  }
}

}  // namespace

bool BatchInversion::certified(std::size_t position) const {
  const std::size_t unit =
      position < invert_
          ? internal::unitOf(position, invert_)
          : invertUnits_ + internal::unitOf(position - invert_, valueCount_ - invert_);
  return unitFailed_[unit] == 0;
}

void BatchInversion::run(const Montgomery& montgomery, std::span<const std::uint64_t> values,
                         std::size_t invert) {
  invert_ = invert;
  valueCount_ = values.size();
  invertUnits_ = internal::unitsOf(invert);
  unitProducts_.resize(invertUnits_ + internal::unitsOf(values.size() - invert));
  prefixesThenInverses_.reserve(invert);
  // The scalar chains carry residues signed, which reads a value from 2^63
  // up as negative, another residue: when the first passes meet one, they
  // run again unsigned, and so does the rest.
  signedChains_ = true;
  valuesFromTopBit_ = false;
  forward(montgomery, values.first(invert));
  products(montgomery, values.subspan(invert));
  if (valuesFromTopBit_) {
    signedChains_ = false;
    forward(montgomery, values.first(invert));
    products(montgomery, values.subspan(invert));
  }
  certify(montgomery);
  backward(montgomery, values.first(invert));
}

// The forward pass of kW units side by side: each value's prefix receives the
// Montgomery product of its unit's values before it, and the unit's product
// that of all of them. Whether any value reaches 2^63 is noted on the way:
// the chains wait on the multiplier, so the test costs them nothing.
template <std::size_t kW, bool kSigned>
void BatchInversion::forwardChains(const Montgomery& montgomery, const std::uint64_t* values,
                                   Chains chains) {
  const Montgomery modular = montgomery;  // a copy: the stores cannot make it reload
  std::uint64_t* const prefixes = prefixesThenInverses_.data();
  std::array<std::uint64_t, kW> running;
  running.fill(montgomeryOne(modular));
  std::uint64_t bits = 0;  // of every value, to find one from 2^63 up
  for (std::size_t i = 0; i < chains.length; ++i) {
    internal::forEachWay<kW>([&](std::size_t w) {
      const std::size_t position = chains.first + w * chains.wayStride + i * chains.stepStride;
      prefixes[position] = running[w];
      bits |= values[position];
      running[w] = chainProduct<kSigned>(modular, values[position], running[w]);
    });
  }
  valuesFromTopBit_ |= bits >> 63 != 0;
  for (std::size_t w = 0; w < kW; ++w) {
    unitProducts_[chains.unit + w] = normalized<kSigned>(modular, running[w]);
  }
}

void BatchInversion::forward(const Montgomery& montgomery, std::span<const std::uint64_t> values) {
  overUnits(
      kernel_, values.size(),
      [&](auto ways, Chains chains) {
        if (signedChains_) {
          forwardChains<ways, true>(montgomery, values.data(), chains);
        } else {
          forwardChains<ways, false>(montgomery, values.data(), chains);
        }
      },
      [&]([[maybe_unused]] std::size_t first, [[maybe_unused]] std::size_t blocks,
          [[maybe_unused]] std::size_t unit) {
#if CASTLES_SIMD_AVX512
        internal::forwardBlocksAvx512(montgomery, values.data(), first, blocks,
                                      prefixesThenInverses_.data(), &unitProducts_[unit]);
#endif
      });
}

// For values only certified: the product of each of kW units side by side.
template <std::size_t kW, bool kSigned>
void BatchInversion::productChains(const Montgomery& montgomery, const std::uint64_t* values,
                                   Chains chains) {
  const Montgomery modular = montgomery;
  std::array<std::uint64_t, kW> running;
  running.fill(montgomeryOne(modular));
  std::uint64_t bits = 0;  // as in forwardChains
  for (std::size_t i = 0; i < chains.length; ++i) {
    internal::forEachWay<kW>([&](std::size_t w) {
      const std::size_t position = chains.first + w * chains.wayStride + i * chains.stepStride;
      bits |= values[position];
      running[w] = chainProduct<kSigned>(modular, values[position], running[w]);
    });
  }
  valuesFromTopBit_ |= bits >> 63 != 0;
  for (std::size_t w = 0; w < kW; ++w) {
    unitProducts_[invertUnits_ + chains.unit + w] = normalized<kSigned>(modular, running[w]);
  }
}

void BatchInversion::products(const Montgomery& montgomery, std::span<const std::uint64_t> values) {
  overUnits(
      Kernel::portable, values.size(),
      [&](auto ways, Chains chains) {
        if (signedChains_) {
          this->productChains<ways, true>(montgomery, values.data(), chains);
        } else {
          this->productChains<ways, false>(montgomery, values.data(), chains);
        }
      },
      [](std::size_t, std::size_t, std::size_t) {});
}

// The backward pass of kW units side by side: from the inverse of each unit's
// product, every value's inverse in [0, n), last value first. A unit that
// failed gives values nobody reads.
template <std::size_t kW, bool kSigned>
void BatchInversion::backwardChains(const Montgomery& montgomery, const std::uint64_t* values,
                                    Chains chains) {
  const Montgomery modular = montgomery;
  std::uint64_t* const slots = prefixesThenInverses_.data();
  std::array<std::uint64_t, kW> running;
  std::copy_n(&unitInverses_[chains.unit], kW, running.begin());
  for (std::size_t i = chains.length; i-- > 0;) {
    internal::forEachWay<kW>([&](std::size_t w) {
      const std::size_t position = chains.first + w * chains.wayStride + i * chains.stepStride;
      slots[position] = normalized<kSigned>(  // the prefix, then the inverse
          modular, chainProduct<kSigned>(modular, running[w], slots[position]));
      running[w] = chainProduct<kSigned>(modular, values[position], running[w]);
    });
  }
}

void BatchInversion::backward(const Montgomery& montgomery, std::span<const std::uint64_t> values) {
  overUnits(
      kernel_, values.size(),
      [&](auto ways, Chains chains) {
        if (signedChains_) {
          backwardChains<ways, true>(montgomery, values.data(), chains);
        } else {
          backwardChains<ways, false>(montgomery, values.data(), chains);
        }
      },
      [&]([[maybe_unused]] std::size_t first, [[maybe_unused]] std::size_t blocks,
          [[maybe_unused]] std::size_t unit) {
#if CASTLES_SIMD_AVX512
        internal::backwardBlocksAvx512(montgomery, values.data(), first, blocks,
                                       &unitInverses_[unit], prefixesThenInverses_.data());
#endif
      });
}

// Inverts the product of the units' products, which exists exactly when every
// value is coprime to the modulus: a value that shares a factor with it makes
// the gcd of the product and the modulus exceed 1. Such units are found and
// marked failed, and the rest inverted.
void BatchInversion::certify(const Montgomery& montgomery) {
  const std::size_t units = unitProducts_.size();
  unitFailed_.assign(units, 0);
  for (int round = 0;; ++round) {
    const ModularInverse inverse =
        inverseModulo(productOfCertifiedUnits(montgomery), montgomery.modulus());
    if (inverse.gcd == 1) {
      anyFailed_ = round != 0;
      startBackwardPasses(montgomery, inverse.inverse);
      return;
    }
    if (round < kBisections) {
      markFirstFailure(montgomery);
    } else {
      // Many failures: check every unit on its own, after which the rest is
      // certain to invert.
      for (std::size_t u = 0; u < units; ++u) {
        unitFailed_[u] |=
            static_cast<std::uint8_t>(std::gcd(unitProducts_[u], montgomery.modulus()) != 1);
      }
    }
  }
}

// @return the product of the units not failed so far, having recorded in
//         unitPrefixes_ the product of those before each unit in its chain,
//         and each chain's product in chainProducts_. The units of even and
//         of odd index form the two chains, which run side by side, so that
//         neither waits on its last product at every unit.
std::uint64_t BatchInversion::productOfCertifiedUnits(const Montgomery& montgomery) {
  const std::size_t units = unitProducts_.size();
  unitPrefixes_.resize(units);
  const auto step = [&](std::size_t u, std::uint64_t& product) {
    unitPrefixes_[u] = product;
    product =
        unitFailed_[u] != 0 ? product : chainProduct<true>(montgomery, unitProducts_[u], product);
  };
  std::uint64_t even = montgomeryOne(montgomery);
  std::uint64_t odd = even;
  std::size_t u = 0;
  for (; u + 1 < units; u += 2) {
    step(u, even);
    step(u + 1, odd);
  }
  if (u < units) {
    step(u, even);
  }
  chainProducts_ = {even, odd};
  // Each chain's product carries R^(1 - its certified units), so this one
  // carries R^(1 - all of them), as a single chain's would.
  return normalized<true>(montgomery, chainProduct<true>(montgomery, even, odd));
}

// Sharing a factor with the modulus only grows along a chain's running
// product, and the total shares one exactly when a chain's product does, so
// the first unit of that chain whose product so far shares one is found by
// bisection. It is one that has not failed before, since a failed unit adds
// nothing to the product.
void BatchInversion::markFirstFailure(const Montgomery& montgomery) {
  const auto sharesFactor = [&](std::uint64_t residue) {
    return std::gcd(normalized<true>(montgomery, residue), montgomery.modulus()) != 1;
  };
  const std::size_t chain = sharesFactor(chainProducts_[0]) ? 0 : 1;
  const auto sharesThrough = [&](std::size_t u) {
    return sharesFactor(unitFailed_[u] != 0
                            ? unitPrefixes_[u]
                            : chainProduct<true>(montgomery, unitProducts_[u], unitPrefixes_[u]));
  };
  // Unit chain + 2j is the chain's j-th; its last one shares a factor.
  std::size_t lo = 0;
  std::size_t hi = (unitProducts_.size() - chain + 1) / 2 - 1;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (sharesThrough(chain + 2 * mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  unitFailed_[chain + 2 * lo] = 1;
}

// From the inverse of the total, the inverse of each certified unit's
// product, where its backward pass starts. A failed unit gets 0.
void BatchInversion::startBackwardPasses(const Montgomery& montgomery, std::uint64_t totalInverse) {
  const std::size_t units = unitProducts_.size();
  unitInverses_.resize(units);
  const auto step = [&](std::size_t u, std::uint64_t& running) {
    unitInverses_[u] = 0;
    if (unitFailed_[u] == 0) {
      unitInverses_[u] =
          normalized<true>(montgomery, chainProduct<true>(montgomery, running, unitPrefixes_[u]));
      running = chainProduct<true>(montgomery, unitProducts_[u], running);
    }
  };
  // A chain's backward pass starts from the inverse of its own product, as
  // a single chain's would: the total's inverse times the other chain's
  // product.
  std::uint64_t even = chainProduct<true>(montgomery, totalInverse, chainProducts_[1]);
  std::uint64_t odd = chainProduct<true>(montgomery, totalInverse, chainProducts_[0]);
  std::size_t u = units;
  if (u % 2 != 0) {
    step(--u, even);
  }
  while (u != 0) {
    u -= 2;
    step(u + 1, odd);
    step(u, even);
  }
}

}  // namespace castles
