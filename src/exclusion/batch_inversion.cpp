#include "batch_inversion.hpp"

#include <numeric>

namespace castles {
namespace {

// Failed certifications located by bisection before every unit is checked.
constexpr int kBisections = 4;

// The forward pass over kW units side by side, `length` lanes each, from
// lanes[first] on: each lane's prefix receives the Montgomery product of its
// unit's values before it, and products[w] that of all of unit w's values.
template <std::size_t kW>
void forwardUnits(const Montgomery& montgomery, std::uint64_t one,
                  std::span<const std::uint64_t> values, const std::uint32_t* lanes,
                  std::size_t first, std::size_t length, std::uint64_t* prefixes,
                  std::uint64_t* products) {
  constexpr std::size_t kUnit = BatchInversion::kUnit;
  std::array<std::uint64_t, kW> running;
  running.fill(one);
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t w = 0; w < kW; ++w) {
      const std::size_t position = first + w * kUnit + i;
      prefixes[position] = running[w];
      running[w] = montgomery.multiply(values[lanes[position]], running[w]);
    }
  }
  std::copy(running.begin(), running.end(), products);
}

// The same for lanes that only join the certification: only the product of
// each unit.
template <std::size_t kW>
void productUnits(const Montgomery& montgomery, std::uint64_t one,
                  std::span<const std::uint64_t> values, const std::uint32_t* lanes,
                  std::size_t first, std::size_t length, std::uint64_t* products) {
  constexpr std::size_t kUnit = BatchInversion::kUnit;
  std::array<std::uint64_t, kW> running;
  running.fill(one);
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t w = 0; w < kW; ++w) {
      running[w] = montgomery.multiply(values[lanes[first + w * kUnit + i]], running[w]);
    }
  }
  std::copy(running.begin(), running.end(), products);
}

// @return R mod modulus, the Montgomery form of 1
std::uint64_t montgomeryOne(const Montgomery& montgomery) {
  return (0 - montgomery.modulus()) % montgomery.modulus();
}

}  // namespace

void BatchInversion::forward(const Montgomery& montgomery, std::span<const std::uint64_t> values,
                             std::span<const std::uint32_t> invert,
                             std::span<const std::uint32_t> certifyOnly) {
  const std::uint64_t one = montgomeryOne(montgomery);
  invertUnits_ = internal::unitsOf(invert.size());
  unitProducts_.resize(invertUnits_ + internal::unitsOf(certifyOnly.size()));
  // Only grows: group sizes go up and down from one call to the next, and
  // growing again would zero the slots each time.
  if (prefixes_.size() < invert.size()) {
    prefixes_.resize(invert.size());
  }
  internal::overUnits(invert.size(),
                      [&](auto ways, std::size_t first, std::size_t length, std::size_t u) {
                        forwardUnits<ways>(montgomery, one, values, invert.data(), first, length,
                                           prefixes_.data(), &unitProducts_[u]);
                      });
  internal::overUnits(certifyOnly.size(),
                      [&](auto ways, std::size_t first, std::size_t length, std::size_t u) {
                        productUnits<ways>(montgomery, one, values, certifyOnly.data(), first,
                                           length, &unitProducts_[invertUnits_ + u]);
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
//         unitPrefixes_ the product of those before each unit
std::uint64_t BatchInversion::productOfCertifiedUnits(const Montgomery& montgomery) {
  unitPrefixes_.resize(unitProducts_.size());
  std::uint64_t total = montgomeryOne(montgomery);
  for (std::size_t u = 0; u < unitProducts_.size(); ++u) {
    unitPrefixes_[u] = total;
    total = unitFailed_[u] != 0 ? total : montgomery.multiply(unitProducts_[u], total);
  }
  return total;
}

// Sharing a factor with the modulus only grows along the running product of
// the units, so the first unit whose product so far shares one is found by
// bisection. It is one that has not failed before, since a failed unit adds
// nothing to the product.
void BatchInversion::markFirstFailure(const Montgomery& montgomery) {
  const auto sharesThrough = [&](std::size_t u) {
    const std::uint64_t through = unitFailed_[u] != 0
                                      ? unitPrefixes_[u]
                                      : montgomery.multiply(unitProducts_[u], unitPrefixes_[u]);
    return std::gcd(through, montgomery.modulus()) != 1;
  };
  std::size_t lo = 0;
  std::size_t hi = unitProducts_.size() - 1;  // the whole product shares a factor
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (sharesThrough(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  unitFailed_[lo] = 1;
}

// From the inverse of the total, the inverse of each certified unit's
// product, where its backward pass starts.
void BatchInversion::startBackwardPasses(const Montgomery& montgomery, std::uint64_t totalInverse) {
  unitInverses_.resize(unitProducts_.size());
  std::uint64_t running = totalInverse;
  for (std::size_t u = unitProducts_.size(); u-- > 0;) {
    if (unitFailed_[u] == 0) {
      unitInverses_[u] = montgomery.multiply(running, unitPrefixes_[u]);
      running = montgomery.multiply(unitProducts_[u], running);
    }
  }
}

void BatchInversion::collectFailures(std::span<const std::uint32_t> invert,
                                     std::span<const std::uint32_t> certifyOnly) {
  failedLanes_.clear();
  for (std::size_t u = 0; u < unitFailed_.size(); ++u) {
    if (unitFailed_[u] != 0) {
      const bool inverting = u < invertUnits_;
      const auto lanes =
          (inverting ? invert : certifyOnly).subspan((inverting ? u : u - invertUnits_) * kUnit);
      failedLanes_.insert(
          failedLanes_.end(), lanes.begin(),
          lanes.begin() + static_cast<std::ptrdiff_t>(std::min(kUnit, lanes.size())));
    }
  }
}

}  // namespace castles
