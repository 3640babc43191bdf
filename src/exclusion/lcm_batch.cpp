#include "lcm_batch.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <numeric>
#include <utility>

#include "finish.hpp"
#include "lcm.hpp"
#include "modular.hpp"

namespace castles {
namespace {

// Below this many lanes the set-up of a batch (trial division of p, one
// inversion per group) costs more than Euclid's loops would.
constexpr std::size_t kMinBatchLanes = 16;
// A group with fewer lanes to invert takes Euclid's loops instead of an
// inversion of its own, whose fixed cost (one extended remainder loop and the
// units' chains) is about that of two lanes' loops.
constexpr std::size_t kMinGroupLanes = 4;
// Interleaved tallies of the sort by key (eight measured no faster than
// four), where there are at least kLanesPerKey lanes for each key, so that
// the passes over the tallies' keys cost at most two steps a lane.
constexpr std::size_t kTallies = 4;
constexpr std::size_t kLanesPerKey = 2;
// Lanes are taken this many at a time, so that the lists stay in cache and
// their memory does not grow with the batch. Each chunk costs one modular
// inversion per group, and Euclid's loops for the lanes of its small groups,
// so chunks half this size made the wrapping workload 5% to 7% slower.
constexpr std::size_t kChunk = 8192;
static_assert(kChunk <= LaneTag::kMaxLanes, "a lane's tag numbers every lane of a chunk");

// Calls visit(i, tallies[i % kWays]) for every i below count, unrolled so
// that which tally a lane uses costs nothing.
template <typename Tally, std::size_t kWays, typename Visit>
void forEachWithTally(std::size_t count, std::array<Tally, kWays>& tallies, Visit&& visit) {
  std::size_t i = 0;
  for (; i + kWays <= count; i += kWays) {
    internal::forEachWay<kWays>([&](std::size_t t) { visit(i + t, tallies[t]); });
  }
  for (; i < count; ++i) {
    visit(i, tallies[i % kWays]);
  }
}

}  // namespace

// Lists take room for a whole chunk at once, untouched until written: lists
// grown batch by batch would leave their outgrown blocks in the heap, adding
// to peak memory.
ListedLanes LcmBatch::ListStorage::reserve(std::size_t lanes) {
  const std::size_t room = lanes == 0 ? 0 : std::max(lanes, kChunk);
  return {a.reserve(room + kListSlack), tag.reserve(room + kListSlack)};
}

LcmBatch::Listed::Listed(const ListStorage& list, std::size_t first, std::size_t end)
    : a(list.a.data() + first, end - first), tag(list.tag.data() + first, end - first) {}

LcmBatch::LcmBatch() : LcmBatch(bestKernel()) {}

LcmBatch::LcmBatch(Kernel kernel, ResidueTables tables)
    : kernel_(kernel), tables_(tables), inversion_(kernel), euclid_(kernel) {}

void LcmBatch::apply(std::span<std::int64_t> values, std::int64_t p) {
  if (p == 0) {
    // lcm(x, 0) is 0 for every x, lcm(0, 0) included.
    std::fill(values.begin(), values.end(), 0);
    return;
  }
  if (values.size() < kMinBatchLanes) {
    euclid_.apply(values, p);
    return;
  }
  plan_.plan(p, values.size());
  if (kernel_ != Kernel::avx512 && tables_ == ResidueTables::whereTheyPay) {
    // Only the portable pass reads the table, and where there is one, it
    // classifies faster than the AVX2 kernel's steps; the AVX-512 kernel's
    // steps are faster still.
    plan_.planResidues(values.size());
  }
  for (std::size_t start = 0; start < values.size(); start += kChunk) {
    applyToChunk(values.subspan(start, std::min(kChunk, values.size() - start)));
  }
}

void LcmBatch::applyToChunk(std::span<std::int64_t> chunk) {
  inversion_.reserve(kChunk);  // as the lists do
  // Only the vector kernels list group 0 apart, and lanes of p's sign are
  // listed only when the plan is not exact.
  const LaneLists lists{coprime_.reserve(kernel_ == Kernel::portable ? 0 : chunk.size()),
                        sharing_.reserve(chunk.size()),
                        same_.reserve(plan_.unplanned() == 1 ? 0 : chunk.size())};
  fallback_.clear();
  const LaneCounts counts = classifyLanes(kernel_, plan_, chunk, lists);
  if (counts.same != 0) {
    certifySameSign(chunk, counts.same);
  }
  invertGroup(chunk, 0, Listed(coprime_, 0, counts.coprime));
  sortByKey(counts.sharing);
  const std::uint8_t* const groupOfKey = plan_.groupOfKey();
  for (std::uint32_t key = 0; key < plan_.keys(); ++key) {
    if (keyStarts_[key] == keyStarts_[key + 1]) {
      continue;
    }
    std::uint8_t group = groupOfKey[key];
    if (group == LanePlan::kUnassigned) {
      group = plan_.openGroup(key);
    }
    invertGroup(chunk, group, Listed(sorted_, keyStarts_[key], keyStarts_[key + 1]));
  }
  euclid_.applyTo(chunk, fallback_, plan_.p());
}

// Lanes of p's sign when p has primes the plan does not divide out: their
// results a * p stand once the product of their a's is certified coprime to
// those primes; a unit that shares one keeps its x, for Euclid's loops.
void LcmBatch::certifySameSign(std::span<std::int64_t> chunk, std::size_t count) {
  const auto a = std::span<const std::uint64_t>(same_.a.data(), count);
  const LaneTag* const tags = same_.tag.data();
  const auto p = static_cast<std::uint64_t>(plan_.p());
  inversion_.run(Montgomery(plan_.unplanned()), a, 0);
  for (std::size_t i = 0; i < count; ++i) {
    if (!inversion_.anyFailed() || inversion_.certified(i)) {
      chunk[tags[i].lane()] = static_cast<std::int64_t>(a[i] * p);
    } else {
      fallback_.push_back(tags[i].lane());
    }
  }
}

// The lanes of sharing_, from there into sorted_ by key (the order within a
// key does not matter), keyStarts_[k] receiving where key k's lanes start
// and keyStarts_[keys] the count. A key says which of p's primes a lane
// shares, so its lanes form one group. When they are all of one key the two
// lists trade places instead.
void LcmBatch::sortByKey(std::size_t count) {
  // Consecutive lanes mostly share a key, so the counts and the places are
  // kept in interleaved copies: with one, each lane's increment would wait
  // for the last one's store. But every copy costs a pass over the keys,
  // which can outnumber the lanes (p a product of many small primes).
  if (count >= kLanesPerKey * plan_.keys()) {
    sortByKeyWith<kTallies>(count);
  } else {
    sortByKeyWith<1>(count);
  }
}

template <std::size_t kWays>
void LcmBatch::sortByKeyWith(std::size_t count) {
  const std::size_t keys = plan_.keys();
  keyTallies_.assign(kWays * keys, 0);  // tally t's lanes of key k at t * keys + k
  std::array<std::uint32_t*, kWays> tallies{};
  for (std::size_t t = 0; t < kWays; ++t) {
    tallies[t] = keyTallies_.data() + t * keys;
  }
  const LaneTag* const tags = sharing_.tag.data();
  forEachWithTally(count, tallies,
                   [&](std::size_t i, std::uint32_t* tally) { ++tally[tags[i].key()]; });
  keyStarts_.resize(keys + 1);
  std::size_t keysMet = 0;
  std::uint32_t place = 0;
  for (std::size_t k = 0; k < keys; ++k) {
    keyStarts_[k] = place;
    // Tally t's lanes of key k go after those of the tallies before it.
    for (std::uint32_t* tally : tallies) {
      place += std::exchange(tally[k], place);
    }
    keysMet += place != keyStarts_[k] ? 1U : 0U;
  }
  keyStarts_[keys] = place;
  if (keysMet <= 1) {
    std::swap(sharing_, sorted_);
    return;
  }
  const ListedLanes into = sorted_.reserve(count);
  const Listed from(sharing_, 0, count);
  forEachWithTally(count, tallies, [&](std::size_t i, std::uint32_t* tally) {
    const LaneTag tag = from.tag[i];
    const std::uint32_t to = tally[tag.key()]++;
    into.a[to] = from.a[i];
    into.tag[to] = tag;
  });
}

// Classification may have overwritten a listed lane's x (classify.hpp):
// this writes it back, for Euclid's loops. |x| is a times G, whose odd part
// is `shared` and whose twos are those of p the tag does not leave, and x
// has the sign p has not.
void LcmBatch::restoreX(std::span<std::int64_t> chunk, std::uint64_t a, LaneTag tag,
                        std::uint64_t shared) {
  // a * G is |x| itself, at most 2^63, so nothing wraps but the negation of
  // 2^63, which gives -2^63.
  const std::uint64_t magnitude = a * shared << (plan_.twosOfP() - tag.twos());
  chunk[tag.lane()] = static_cast<std::int64_t>(plan_.pNegative() ? magnitude : 0 - magnitude);
  fallback_.push_back(tag.lane());
}

// Finishes the lanes of one group that need an inverse, sorted_[first, end):
// their reduced |p| is modulus times a power of two, and one batch inversion
// modulo `modulus` gives every inverse. Lanes without a group, of a group
// too small for an inversion, or of a unit that fails the certification
// get their x back, for Euclid's loops.
void LcmBatch::invertGroup(std::span<std::int64_t> chunk, std::uint8_t group,
                           const Listed& listed) {
  const auto tags = listed.tag;
  const auto a = listed.a;
  if (tags.empty()) {
    return;
  }
  // The lanes are of one key, so they share one factor with p; a key
  // without a group has it worked out here, once.
  const std::uint64_t shared =
      group == LanePlan::kNoGroup ? plan_.sharedOf(tags[0].key()) : plan_.shared()[group];
  if (group == LanePlan::kNoGroup || tags.size() < kMinGroupLanes) {
    for (std::size_t i = 0; i < tags.size(); ++i) {
      restoreX(chunk, a[i], tags[i], shared);
    }
    return;
  }
  const std::uint64_t modulus = plan_.oddOfP() / shared;
  const GroupFinish finish{plan_.p(), modulus, inverseModPowerOfTwo(modulus, 64),
                           plan_.twosOfP() == 0};
  if (modulus == 1) {
    for (std::size_t i = 0; i < tags.size(); ++i) {
      chunk[tags[i].lane()] = finishLane(finish, tags[i].twos(), a[i], 0);  // everything is 0 mod 1
    }
    return;
  }
  inversion_.run(Montgomery(modulus), a, a.size());
  if (!inversion_.anyFailed()) {
    finishLanes(kernel_, finish, a, tags, inversion_.inverses(), chunk);
    return;
  }
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (inversion_.certified(i)) {
      chunk[tags[i].lane()] = finishLane(finish, tags[i].twos(), a[i], inversion_.inverses()[i]);
    } else {
      restoreX(chunk, a[i], tags[i], shared);
    }
  }
}

}  // namespace castles
