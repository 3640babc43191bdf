#pragma once
// The small odd prime factors of a number, and divisibility by them through
// one multiplication instead of a division.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace castles {

struct OddPrimeFactor {
  std::uint64_t prime;
  std::uint64_t inverse;  // prime^-1 mod 2^64
  std::uint64_t limit;    // (2^64 - 1) / prime
  unsigned exponent;      // how often it divides the number it was found in

  // @return x / prime if prime divides x, otherwise a value above limit:
  //         multiplying by the inverse undoes exact multiplication by the
  //         prime, so it maps the multiples one to one onto [0, limit]
  constexpr std::uint64_t divideIfMultiple(std::uint64_t x) const { return x * inverse; }
  constexpr bool divides(std::uint64_t x) const { return x * inverse <= limit; }
};

// Trial division by the odd primes below 2^16, with a table that grows to the
// largest bound asked for so far.
class OddPrimes {
 public:
  // @param m odd, m >= 1
  // @param bound trial divisors go up to min(bound, 2^16)
  // @return the prime factors of m found by trial division below the bound,
  //         ascending with their exponents; when what is left of m is below
  //         the square of the next divisor it is 1 or a prime, and is listed
  //         too, whatever its size
  std::vector<OddPrimeFactor> factor(std::uint64_t m, std::uint64_t bound);

 private:
  void extendTo(std::uint64_t end);
  std::size_t firstAboveSquareRoot(std::uint64_t m, std::size_t from, std::size_t to) const;
  std::size_t firstDividing(std::uint64_t m, std::size_t from, std::size_t to) const;
  void sieve();

  // The odd primes below end_, and for each its inverse and limit.
  struct Divisor {
    std::uint64_t inverse;
    std::uint64_t limit;
  };
  std::vector<std::uint16_t> primes_;
  std::vector<Divisor> divisors_;
  std::uint64_t end_ = 3;
};

}  // namespace castles
