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

std::vector<OddPrimeFactor> OddPrimes::factor(std::uint64_t m, std::uint64_t bound) {
  // Every prime below `tried` has been divided out of m.
  std::uint64_t tried = std::min(bound, kTableEnd);
  extendTo(tried);
  std::vector<OddPrimeFactor> factors;
  for (std::size_t i = 0; i < primes_.size(); ++i) {
    const std::uint64_t prime = primes_[i];
    if (prime >= tried || prime * prime > m) {
      tried = std::min(tried, prime);
      break;
    }
    const OddPrimeFactor candidate{prime, divisors_[i].inverse, divisors_[i].limit, 0};
    if (!candidate.divides(m)) {
      continue;
    }
    OddPrimeFactor found = candidate;
    do {
      m = found.divideIfMultiple(m);
      ++found.exponent;
    } while (found.divides(m));
    factors.push_back(found);
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
