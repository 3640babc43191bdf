#pragma once
// The first step of the batched lcm: lanes grouped by what they share with p.
// For lcm(x, p) the divisor's magnitude is G = gcd(|x|, |p|). The powers of
// two and the small odd primes of p are divided out of every lane without the
// divider, which leaves a = |x| / G and a key saying how often each prime
// divided; lanes with the same odd part of G form a group, whose remaining
// modulus (the odd part of |p| / G) they all share. Lanes are then sorted by
// group, and within a group those whose x's sign differs from p's come first,
// since only they need an inverse.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "small_primes.hpp"

namespace castles {

// What the grouping learns of one lane, in 16 bits: its group (or that it has
// none, or that x is 0), the twos left in |p| / G, and x's sign.
class LaneTag {
 public:
  constexpr LaneTag() = default;
  // @param group below 64
  // @param twos below 64
  constexpr LaneTag(std::uint8_t group, unsigned twos, bool negative)
      : bits_(static_cast<std::uint16_t>(group | twos << kTwosShift |
                                         static_cast<unsigned>(negative) << kSignShift)) {}

  constexpr std::uint8_t group() const { return static_cast<std::uint8_t>(bits_ & kFieldMask); }
  // @return the twos of |p| / G; when there are any, a is odd
  constexpr unsigned twos() const { return (bits_ >> kTwosShift) & kFieldMask; }
  constexpr bool negative() const { return (bits_ >> kSignShift) != 0; }

 private:
  static constexpr unsigned kTwosShift = 6;
  static constexpr unsigned kSignShift = 12;
  static constexpr unsigned kFieldMask = (1U << kTwosShift) - 1;
  std::uint16_t bits_ = 0;
};

class LaneGrouping {
 public:
  // Lanes whose common factor with p would open a group beyond these take
  // Euclid's loops; in practice a handful of groups hold nearly every lane.
  static constexpr std::uint8_t kMaxGroups = 32;
  // What a lane's group can be besides a group id.
  static constexpr std::uint8_t kNoGroup = kMaxGroups;
  static constexpr std::uint8_t kZeroLane = kMaxGroups + 1;  // x = 0: lcm(0, p) = 0 leaves it
  // A group this small takes Euclid's loops instead of an inversion of its own.
  static constexpr std::uint32_t kMinGroupLanes = 8;

  // Lanes whose x shares the same odd factor with p.
  struct Group {
    std::uint64_t shared;       // that factor
    std::uint32_t count;        // its lanes
    std::uint32_t signsDiffer;  // those of them whose x's sign differs from p's
    std::uint32_t start;        // where its lanes begin in the order, those lanes first
  };

  // Groups the lanes of lcm(x, p) for every x in values.
  // @param values fewer than 2^32 of them
  // @param p != 0
  void group(std::span<const std::int64_t> values, std::int64_t p);

  std::span<const Group> groups() const { return groups_; }
  // @param group one of groups(), of at least kMinGroupLanes lanes
  // @return its lanes, those whose x's sign differs from p's first
  std::span<const std::uint32_t> lanes(const Group& group) const {
    return std::span(order_).subspan(group.start, group.count);
  }
  // @return the lanes of smaller groups and of none, for Euclid's loops;
  //         lanes with x = 0 are in no list, as lcm(0, p) = 0 leaves them
  std::span<const std::uint32_t> euclidLanes() const {
    return std::span(order_).subspan(euclidStart_, euclidCount_);
  }
  // @return per lane, |x| / G as far as the grouping found G
  std::span<const std::uint64_t> reduced() const { return reduced_; }
  std::span<const LaneTag> tags() const { return tags_; }
  // @return the odd part of |p|
  std::uint64_t oddOfP() const { return oddOfP_; }

 private:
  // One division of a lane by a prime of p, done as often as p holds the prime.
  struct DivisionStep {
    std::uint64_t inverse;  // of the prime, mod 2^64
    std::uint64_t limit;    // (2^64 - 1) / prime
    std::uint32_t stride;   // what one division adds to the lane's key
  };
  struct PlannedPrime {
    std::uint64_t prime;
    std::uint32_t exponent;
    std::uint32_t stride;
  };
  // Lanes are counted per group and sign, 2 * group + whether x's sign
  // differs from p's, in this many interleaved tallies.
  static constexpr std::size_t kTallies = 4;
  static constexpr std::size_t kTags = kZeroLane + 1;
  using Tallies = std::array<std::array<std::uint32_t, 2 * kTags>, kTallies>;
  // A lane's key not yet met, in the table from keys to groups.
  static constexpr std::uint8_t kUnassigned = kZeroLane + 1;
  // The blocks of the order: 2g and 2g + 1 for group g, then these.
  static constexpr std::size_t kEuclidBlock = std::size_t{2} * kMaxGroups;
  static constexpr std::size_t kZeroBlock = kEuclidBlock + 1;
  static constexpr std::size_t kBlocks = kZeroBlock + 1;
  // The block of each 2 * group + whether x's sign differs from p's.
  using BlockTable = std::array<std::uint8_t, 2 * kTags>;
  // What is left of a lane after dividing out p's planned primes, and the key
  // that says how often each divided.
  struct Reduction {
    std::uint64_t a;
    std::uint32_t key;
  };

  static Reduction divideOut(std::uint64_t a, std::span<const DivisionStep> frequent,
                             std::span<const DivisionStep> rare);
  void planDivisions(std::size_t lanes);
  std::uint8_t openGroup(std::uint32_t key);
  Tallies classify(std::span<const std::int64_t> values);
  void countGroups(const Tallies& tallies);
  BlockTable blockTable() const;
  void sortByGroup(const Tallies& tallies);

  OddPrimes primes_;
  // The plan for the p at hand.
  std::uint64_t oddOfP_ = 1;
  unsigned twosOfP_ = 0;
  bool pNegative_ = false;
  std::vector<DivisionStep> divisions_;  // for the primes in ascending order
  std::size_t frequentDivisions_ = 0;    // how many are for primes that divide often
  std::vector<PlannedPrime> plannedPrimes_;
  std::vector<std::uint8_t> groupOfKey_;
  std::vector<Group> groups_;
  // Per lane.
  std::vector<std::uint64_t> reduced_;
  std::vector<LaneTag> tags_;
  std::vector<std::uint32_t> order_;  // lanes sorted by group and sign
  std::uint32_t euclidStart_ = 0;
  std::uint32_t euclidCount_ = 0;
};

}  // namespace castles
