#include "small_primes.hpp"

#include <algorithm>

#include "modular.hpp"

namespace castles {
namespace {

constexpr std::uint64_t kTableEnd = 65536;

OddPrimeFactor factorFor(std::uint64_t prime) {
  return {prime, inverseModPowerOfTwo(prime, 64), ~std::uint64_t{0} / prime, 0};
}

}  // namespace

void OddPrimes::extendTo(std::uint64_t end) {
  if (end > end_) {
    // Doubling keeps the sieving, redone from the start each time, linear.
    end_ = std::min(kTableEnd, std::max(end, 2 * end_));
    sieve();
  }
}

void OddPrimes::sieve() {
  std::vector<bool> composite(end_, false);
  std::size_t count = 0;
  for (std::uint64_t q = 3; q < end_; q += 2) {
    if (!composite[q]) {
      ++count;
      for (std::uint64_t multiple = q * q; multiple < end_; multiple += 2 * q) {
        composite[multiple] = true;
      }
    }
  }
  // Sized exactly, once: the table lives as long as the batch.
  primes_ = std::vector<std::uint16_t>(count);
  divisors_ = std::vector<Divisor>(count);
  std::size_t i = 0;
  for (std::uint64_t q = 3; q < end_; q += 2) {
    if (!composite[q]) {
      const OddPrimeFactor factor = factorFor(q);
      primes_[i] = static_cast<std::uint16_t>(q);
      divisors_[i++] = {factor.inverse, factor.limit};
    }
  }
}

// @return the first index in [from, to) whose prime divides m, or to
std::size_t OddPrimes::firstDividing(std::uint64_t m, std::size_t from, std::size_t to) const {
  const auto divides = [this, m](std::size_t i) {
    return static_cast<unsigned>(m * divisors_[i].inverse <= divisors_[i].limit);
  };
  std::size_t i = from;
  // Nearly no divisor divides, so four are tried a round with one branch.
  for (; i + 4 <= to; i += 4) {
    if ((divides(i) | divides(i + 1) | divides(i + 2) | divides(i + 3)) != 0) {
      break;
    }
  }
  for (; i < to; ++i) {
    if (divides(i) != 0) {
      return i;
    }
  }
  return to;
}

// @return the first index in [from, to) whose prime's square exceeds m, or to
std::size_t OddPrimes::firstAboveSquareRoot(std::uint64_t m, std::size_t from,
                                            std::size_t to) const {
  const auto begin = primes_.begin();
  // Primes are below 2^16, so their squares do not overflow.
  const auto above = std::partition_point(begin + static_cast<std::ptrdiff_t>(from),
                                          begin + static_cast<std::ptrdiff_t>(to),
                                          [m](std::uint64_t prime) { return prime * prime <= m; });
  return static_cast<std::size_t>(above - begin);
}

std::vector<OddPrimeFactor> OddPrimes::factor(std::uint64_t m, std::uint64_t bound) {
  // Every prime below `tried` has been divided out of m.
  std::uint64_t tried = std::min(bound, kTableEnd);
  extendTo(tried);
  const auto end = static_cast<std::size_t>(
      std::lower_bound(primes_.begin(), primes_.end(), tried) - primes_.begin());
  std::vector<OddPrimeFactor> factors;
  for (std::size_t from = 0;;) {
    // Divisors above the square root of m find nothing; m only shrinks.
    const std::size_t stop = firstAboveSquareRoot(m, from, end);
    const std::size_t i = firstDividing(m, from, stop);
    if (i == stop) {
      tried = stop == end ? tried : primes_[stop];
      break;
    }
    OddPrimeFactor found{primes_[i], divisors_[i].inverse, divisors_[i].limit, 0};
    do {
      m = found.divideIfMultiple(m);
      ++found.exponent;
    } while (found.divides(m));
    factors.push_back(found);
    from = i + 1;
  }
  // A composite rest would have two prime factors of at least `tried`.
  // tried <= 2^16, so its square does not overflow.
  if (m > 1 && m < tried * tried) {
    factors.push_back(factorFor(m));
    factors.back().exponent = 1;
  }
  return factors;
}

}  // namespace castles
