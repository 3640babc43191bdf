#include "euclid_batch.hpp"

#include <algorithm>

#include "euclid_lanes.hpp"
#include "euclid_parity.hpp"
#include "lcm.hpp"
#include "wide.hpp"

namespace castles {
namespace {

// Listed lanes go in chunks of this many, so that the loops' state stays
// small however many lanes there are.
constexpr std::size_t kChunk = 512;

}  // namespace

void EuclidBatch::applyTo(std::span<std::int64_t> values, std::span<const std::uint32_t> lanes,
                          std::int64_t p) {
  for (std::size_t start = 0; start < lanes.size(); start += kChunk) {
    const auto chunk = lanes.subspan(start, std::min(kChunk, lanes.size() - start));
    gathered_.resize(chunk.size());
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      gathered_[i] = values[chunk[i]];
    }
    apply(gathered_, p);
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      values[chunk[i]] = gathered_[i];
    }
  }
}

void EuclidBatch::apply(std::span<std::int64_t> values, std::int64_t p) {
  if (p == 0) {
    std::fill(values.begin(), values.end(), 0);
    return;
  }
  const std::size_t count = values.size();
  a_.resize(count);
  b_.resize(count);
  steps_.resize(count);

  // The first remainder, |x| mod |p|, shares its divisor across the batch: a
  // reciprocal computed once replaces the division. With m = floor((2^64-1)/|p|),
  // x*m/2^64 lies in (x/|p| - 1, x/|p|], so q is the quotient or one below it.
  const std::uint64_t pm = magnitude(p);
  const std::uint64_t reciprocal = ~std::uint64_t{0} / pm;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t x = magnitude(values[k]);
    const std::uint64_t q = mulWide(x, reciprocal).hi;
    std::uint64_t r = x - q * pm;
    if (r >= pm) {
      r -= pm;
    }
    a_[k] = pm;
    b_[k] = r;
    steps_[k] = 1;
  }
  runEuclidLanes(kernel_, a_, b_, steps_);

  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t x = values[k];
    const std::uint64_t g = a_[k];  // gcd(|x|, |p|) >= 1
    const std::uint64_t xm = magnitude(x);
    const std::uint64_t reduced = g == 1 ? xm : xm / g;
    values[k] = internal::lcmFromReduced(x < 0, p, reduced, (steps_[k] & 1U) != 0);
  }
}

}  // namespace castles
