#include "finish.hpp"

namespace castles {
namespace internal {

void finishEach(const GroupFinish& group, std::span<const std::uint64_t> a,
                std::span<const LaneTag> tags, std::span<const std::uint64_t> inverses,
                std::span<std::int64_t> results, std::size_t from) {
  const GroupFinish local = group;  // a copy: the stores cannot make it reload
  std::int64_t* const out = results.data();
  if (local.pOdd) {
    for (std::size_t i = from; i < a.size(); ++i) {
      out[tags[i].lane()] = finishOddLane(local, a[i], inverses[i]);
    }
    return;
  }
  for (std::size_t i = from; i < a.size(); ++i) {
    const LaneTag tag = tags[i];
    // Running values soon hold more twos than any p, so nearly every lane
    // has none left in |p| / G, which one test of the tag tells; the inverse
    // modulo a power of two is left to the rare lane that needs it.
    out[tag.lane()] = tag.hasTwos() ? finishLaneWithTwos(local, tag.twos(), a[i], inverses[i])
                                    : finishOddLane(local, a[i], inverses[i]);
  }
}

}  // namespace internal

void finishLanes(Kernel kernel, const GroupFinish& group, std::span<const std::uint64_t> a,
                 std::span<const LaneTag> tags, std::span<const std::uint64_t> inverses,
                 std::span<std::int64_t> results) {
#if CASTLES_SIMD_AVX512
  if (kernel == Kernel::avx512) {
    internal::finishAvx512(group, a, tags, inverses, results);
    return;
  }
#endif
  static_cast<void>(kernel);
  internal::finishEach(group, a, tags, inverses, results, 0);
}

}  // namespace castles
