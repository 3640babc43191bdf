// The program written the obvious way, as the yardstick the benchmark holds
// the real one against: stream extraction, every castle kept in memory, the
// product in long double, and a fresh lcm fold over all other castles for each
// castle. Only well-formed input is handled; on anything else it stops with
// status 1 and no answer.

#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "lcm.hpp"

namespace {

using Castle = std::vector<std::pair<int, int>>;

// Truncates toward zero; values with no int64 truncation (too large, infinite
// or NaN) become -2^63. Checking first keeps the conversion defined.
std::int64_t toInt64(long double r) {
  constexpr long double kTwoTo63 = 9223372036854775808.0L;
  if (!(r > -kTwoTo63 - 1.0L && r < kTwoTo63)) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<std::int64_t>(r);
}

std::int64_t perfectnessOf(const Castle& castle) {
  std::int64_t product = 1;
  for (const auto& [base, exponent] : castle) {
    const double f = std::pow(static_cast<double>(base), static_cast<double>(exponent));
    const long double r =
        static_cast<long double>(static_cast<double>(product)) * static_cast<long double>(f);
    product = toInt64(r);
  }
  return product;
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::cin.tie(nullptr);

  int n = 0;
  if (!(std::cin >> n) || n < 0) {
    return 1;
  }
  std::vector<Castle> castles(static_cast<std::size_t>(n));
  for (Castle& castle : castles) {
    int blocks = 0;
    if (!(std::cin >> blocks) || blocks < 0) {
      return 1;
    }
    castle.resize(static_cast<std::size_t>(blocks));
    for (auto& [base, exponent] : castle) {
      if (!(std::cin >> base >> exponent)) {
        return 1;
      }
    }
  }

  std::vector<std::int64_t> perfectness;
  perfectness.reserve(castles.size());
  for (const Castle& castle : castles) {
    perfectness.push_back(perfectnessOf(castle));
  }

  std::set<std::int64_t> distinct;
  for (std::size_t i = 0; i < perfectness.size(); ++i) {
    std::int64_t currentLcm = 1;
    for (std::size_t j = 0; j < perfectness.size(); ++j) {
      if (j != i) {
        currentLcm = castles::lcm(currentLcm, perfectness[j]);
      }
    }
    distinct.insert(currentLcm);
  }
  std::cout << distinct.size() << '\n';
  return 0;
}
