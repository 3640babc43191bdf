#pragma once
// What every lane of a batch is measured against. For lcm(x, p) the divisor's
// magnitude is G = gcd(|x|, |p|). The plan holds p's twos and the steps that
// divide p's small odd primes out of a lane without the divider, as often as
// p holds each; what they leave of |x| is a = |x| / G, and a key saying how
// often each prime divided. Lanes with the same odd part of G form a group,
// whose remaining modulus (the odd part of |p| / G) they share. The part of
// p that no step divides is its unplanned rest: when it is 1, every lane's G
// is exact; otherwise a lane may share one of its primes, and the batch
// certifies that none does.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "small_primes.hpp"
#include "wide.hpp"

namespace castles {

// What classification lists of a lane besides its a: its index among the
// classified lanes and, for a lane that needs an inverse, its key (how often
// each planned prime divided it) and the twos left in |p| / G (x's sign is
// the one p has not, the same for every listed lane of a batch). The key
// gives the lane's group only when the lanes are sorted, so that the pass
// looks up nothing. 32 bits wide, the narrowest width the vector kernels can
// compress without further instruction sets, so that one compressed store
// lists all three.
class LaneTag {
 public:
  // Left indeterminate, so that lists of tags need not be filled in advance.
  LaneTag() = default;
  // @param key below 2^12
  // @param twos below 64
  // @param lane below kMaxLanes
  constexpr LaneTag(std::uint32_t key, unsigned twos, std::uint32_t lane)
      : bits_(key | twos << kTwosShift | lane << kLaneShift) {}

  // @return this tag, whose twos are 0, with the given twos
  // @param twos below 64
  constexpr LaneTag withTwos(unsigned twos) const {
    LaneTag tag;
    tag.bits_ = bits_ + (twos << kTwosShift);
    return tag;
  }
  // @return this tag, whose key is 0, with the given key
  // @param key below 2^12
  constexpr LaneTag withKey(std::uint32_t key) const {
    LaneTag tag;
    tag.bits_ = bits_ + key;
    return tag;
  }
  // @return the tag of the next lane, with the same key and twos
  constexpr LaneTag nextLane() const {
    LaneTag tag;
    tag.bits_ = bits_ + (1U << kLaneShift);
    return tag;
  }

  constexpr std::uint32_t key() const { return bits_ & kKeyMask; }
  // @return the twos of |p| / G; when there are any, a is odd
  constexpr unsigned twos() const { return (bits_ >> kTwosShift) & kTwosMask; }
  // @return twos() != 0, by one test of the bits
  constexpr bool hasTwos() const { return (bits_ & kTwosMask << kTwosShift) != 0; }
  constexpr std::uint32_t lane() const { return bits_ >> kLaneShift; }

  static constexpr unsigned kTwosShift = 12;
  static constexpr unsigned kLaneShift = 18;
  // The lanes a tag can number: at most this many are classified at once.
  static constexpr std::size_t kMaxLanes = std::size_t{1} << (32 - kLaneShift);

 private:
  static constexpr std::uint32_t kKeyMask = (1U << kTwosShift) - 1;
  static constexpr unsigned kTwosMask = 63;
  std::uint32_t bits_;
};

// One division of a lane by a prime of p, done as often as p holds the prime.
struct DivisionStep {
  std::uint64_t inverse;  // of the prime, mod 2^64
  std::uint64_t limit;    // (2^64 - 1) / prime
  std::uint32_t stride;   // what one division adds to the lane's key
};

// The residue table's two lookups in one block, so that the classifying loop
// reaches both through one register: it has too few for all it holds.
struct ResidueLookup {
  // Residues a table holds at most, so that its three copies fit in 32 KB;
  // a key fits in a byte, as the keys number the modulus's divisors and no
  // odd number up to 2^14 has more than 32.
  static constexpr std::size_t kMaxResidues = (std::size_t{32} << 10) / 3;
  static constexpr std::size_t kMaxKeys = 256;
  // The inverse of the common factor a key stands for, mod 2^64.
  std::array<std::uint64_t, kMaxKeys> inverseOfKey;
  // The key the residue's common factor gives, for the residues r in
  // [-modulus, 2 modulus) that ResidueTable::nearResidue returns, at
  // r + modulus: three copies of the keys of [0, modulus).
  std::array<std::uint8_t, 3 * kMaxResidues> keyOfResidue;
};

// How often each of p's smallest primes divides a lane, read at once from the
// lane's residue modulo the product of their powers in p, in place of one
// division step per prime factor.
struct ResidueTable {
  std::uint64_t modulus = 1;     // 1 when there is no table
  std::uint64_t reciprocal = 0;  // floor(2^64 / modulus), the modulus being odd
  const ResidueLookup* lookup = nullptr;
  std::size_t steps = 0;  // the first frequent steps it stands for

  // @return x mod modulus, minus or plus the modulus or neither: a value in
  //         [-modulus, 2 modulus), with x's sign left as it is, so that
  //         nothing waits on |x|
  // @pre modulus >= 3 and odd
  std::int64_t nearResidue(std::int64_t x) const {
    // reciprocal = 2^64 / m - d with 0 <= d < 1, below 2^63 as m >= 3, so
    // it fits a signed word. x * reciprocal / 2^64 is x / m - x d / 2^64,
    // within 1/2 of x / m: below it for x >= 0 and above it for x < 0. Its
    // floor q is floor(x / m) or one below it for x >= 0, or one above it
    // for x < 0, which leaves x - q m in [0, 2m) or [-m, m). That difference
    // is exact in wrapping arithmetic, as it fits.
    const std::int64_t q = mulHighSigned(x, static_cast<std::int64_t>(reciprocal));
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(x) -
                                     static_cast<std::uint64_t>(q) * modulus);
  }
  // @return x modulo the table's modulus, in [0, modulus)
  // @pre modulus >= 3 and odd
  std::uint64_t residue(std::int64_t x) const {
    const auto m = static_cast<std::int64_t>(modulus);
    const std::int64_t r = nearResidue(x);
    return static_cast<std::uint64_t>(r < 0 ? r + m : r >= m ? r - m : r);
  }
  // @return the key of x's residue
  // @pre modulus >= 3 and odd
  std::uint32_t keyOf(std::int64_t x) const {
    return lookup->keyOfResidue[static_cast<std::size_t>(nearResidue(x) +
                                                         static_cast<std::int64_t>(modulus))];
  }
};

class LanePlan {
 public:
  // Lanes whose common factor with p would open a group beyond these take
  // Euclid's loops; in practice a handful of groups hold nearly every lane.
  static constexpr std::uint8_t kMaxGroups = 32;
  // What a key's group can be besides a group id.
  static constexpr std::uint8_t kNoGroup = kMaxGroups;
  static constexpr std::uint8_t kUnassigned = kMaxGroups + 1;  // a key not yet met

  // Plans the divisions for p, for a batch of `lanes` lanes.
  // @param p != 0
  void plan(std::int64_t p, std::size_t lanes);

  std::int64_t p() const { return p_; }
  bool pNegative() const { return p_ < 0; }
  unsigned twosOfP() const { return twosOfP_; }
  std::uint64_t oddOfP() const { return oddOfP_; }
  // @return the odd part of |p| that no step divides; 1 when G is exact
  std::uint64_t unplanned() const { return unplanned_; }
  // Steps for the primes below 64, which divide many lanes, then the rest.
  std::span<const DivisionStep> frequentSteps() const {
    return std::span(steps_).first(frequentSteps_);
  }
  std::span<const DivisionStep> rareSteps() const {
    return std::span(steps_).subspan(frequentSteps_);
  }
  // @return how many keys there are: every key is below this
  std::size_t keys() const { return groupOfKey_.size(); }
  // @return the table from keys to groups, kUnassigned for a key whose
  //         group is not open yet
  const std::uint8_t* groupOfKey() const { return groupOfKey_.data(); }
  // Builds the residue table for the plan's smallest frequent primes, when
  // it stands for enough steps and costs little beside `lanes` lanes.
  void planResidues(std::size_t lanes);
  // @return the residue table; modulus 1 when there is none
  const ResidueTable& residues() const { return residues_; }
  // @return the group of a key whose entry is kUnassigned, opening it if
  //         there is room
  std::uint8_t openGroup(std::uint32_t key);
  // @return the odd factor a lane of this key shares with p
  std::uint64_t sharedOf(std::uint32_t key) const {
    return sharedOfKey(key, plannedPrimes_.size());
  }
  // @return the odd factor every lane of a group shares with p, by group
  std::span<const std::uint64_t> shared() const { return shared_; }

 private:
  struct PlannedPrime {
    std::uint64_t prime;
    std::uint32_t exponent;
    std::uint32_t stride;
  };

  void fillResidueTable(std::uint64_t modulus, std::size_t primes);
  std::uint64_t sharedOfKey(std::uint32_t key, std::size_t primes) const;

  OddPrimes primes_;
  std::int64_t p_ = 1;
  unsigned twosOfP_ = 0;
  std::uint64_t oddOfP_ = 1;
  std::uint64_t unplanned_ = 1;
  std::vector<DivisionStep> steps_;  // for the primes in ascending order
  std::size_t frequentSteps_ = 0;
  std::vector<PlannedPrime> plannedPrimes_;
  std::vector<std::uint8_t> groupOfKey_;
  std::vector<std::uint64_t> shared_;
  ResidueTable residues_;
  // Made at the first table and left unfilled: only what a table writes is touched.
  std::unique_ptr<ResidueLookup> lookup_;
};

}  // namespace castles
