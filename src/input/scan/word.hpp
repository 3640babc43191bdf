#pragma once
// Word-at-a-time helpers of the scanner: eight input bytes in one 64-bit word,
// the first byte lowest whatever the machine's byte order, and tests that act
// on all eight bytes at once without a branch. Every function here is exact
// for every byte value; none relies on what the bytes around it hold.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace castles::word {

inline constexpr std::uint64_t kEveryByte = 0x0101010101010101;
inline constexpr std::uint64_t kHighBits = 0x80 * kEveryByte;

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

// @param raw eight bytes as an integer, the way a machine of byte order
//        `order` reads them from memory
// @return the same bytes with the first in memory lowest
template <std::endian order>
constexpr std::uint64_t firstByteLowest(std::uint64_t raw) {
  if constexpr (order == std::endian::big) {
    return __builtin_bswap64(raw);
  } else {
    return raw;
  }
}

// @return the eight bytes at p as a word whose lowest byte is *p
inline std::uint64_t load(const char* p) {
  std::uint64_t raw = 0;
  std::memcpy(&raw, p, sizeof raw);
  return firstByteLowest<std::endian::native>(raw);
}

// @return 0x80 in every byte of word that is white space (space, tab, LF, VT,
// FF, CR), 0 in the others
constexpr std::uint64_t spaceBytes(std::uint64_t word) {
  // Each sum below adds at most 0x7f to a byte of at most 0x7f, so no byte
  // carries into its neighbour; bytes of 0x80 or more are never white space
  // and are masked out at the end by ~word.
  const std::uint64_t low = word & ~kHighBits;
  const std::uint64_t notBlank = (low ^ (' ' * kEveryByte)) + 0x7f * kEveryByte;  // unless ' '
  const std::uint64_t atLeast9 = low + (0x80 - '\t') * kEveryByte;
  const std::uint64_t atLeast14 = low + (0x80 - ('\r' + 1)) * kEveryByte;
  return ((atLeast9 & ~atLeast14) | ~notBlank) & ~word & kHighBits;
}

// @param bytes 0x80 or 0 in every byte
// @return bit i set where byte i of bytes is 0x80
constexpr unsigned topBits(std::uint64_t bytes) {
  // (bytes >> 7) holds 0 or 1 in every byte; the multiplier moves byte i's
  // bit to bit 56 + i. Each of the 64 terms of the product lands on a bit of
  // its own, so no sum carries into the top byte.
  return static_cast<unsigned>(((bytes >> 7) * 0x0102040810204080) >> 56);
}

// @return bit i set where p[i], 0 <= i < 64, is white space
inline std::uint64_t spaceMask(const char* p) {
  std::uint64_t mask = 0;
  for (std::size_t k = 0; k < 8; ++k) {
    mask |= std::uint64_t{topBits(spaceBytes(load(p + 8 * k)))} << (8 * k);
  }
  return mask;
}

// kTopBytes[n]: all ones in the top n bytes of a word, zeros below.
inline constexpr std::array<std::uint64_t, 9> kTopBytes = [] {
  std::array<std::uint64_t, 9> masks{};
  for (std::size_t n = 1; n <= 8; ++n) {
    masks[n] = ~std::uint64_t{0} << (8 * (8 - n));
  }
  return masks;
}();

// kSpellingMasks[0][n]: kTopBytes[n]; kSpellingMasks[1][n]: spaces in the
// bytes below those. One array, so that both are found from one address.
inline constexpr std::array<std::array<std::uint64_t, 9>, 2> kSpellingMasks = [] {
  std::array<std::array<std::uint64_t, 9>, 2> masks{};
  for (std::size_t n = 0; n <= 8; ++n) {
    masks[0][n] = kTopBytes[n];
    masks[1][n] = ' ' * kEveryByte & ~kTopBytes[n];
  }
  return masks;
}();

// @param word the eight bytes that end where a token of length bytes ends
// @param length 1 to 8
// @return the token's bytes where word has them, and spaces below them: the
// same word for the same token wherever it lies, and a different word for a
// different token, since a token never holds a space
constexpr std::uint64_t spelling(std::uint64_t word, std::size_t length) {
  return (word & kSpellingMasks[0][length]) | kSpellingMasks[1][length];
}

// @param word the eight bytes that end where a run of count digits ends, the
//        last digit in the top byte
// @param count 1 to 8
// @return the top count bytes of word, each less '0', and zero bytes below
// them; a byte that was not a digit is above 9 there
constexpr std::uint64_t digitValues(std::uint64_t word, std::size_t count) {
  const std::uint64_t kept = kTopBytes[count];
  // The bytes below the digits become 0xff first, so that subtracting '0'
  // borrows from nothing.
  return ((word | ~kept) - '0' * kEveryByte) & kept;
}

// @param values a result of digitValues
// @return true when every byte is 0 to 9
constexpr bool allDigits(std::uint64_t values) {
  // Bytes of 10 or more reach the top bit by adding 118, or had it already.
  // Only bytes of 138 or more carry into the byte above, and they fail anyway.
  return ((values | (values + 118 * kEveryByte)) & kHighBits) == 0;
}

// @param values eight digit values 0 to 9, the most significant lowest
// @return the decimal number they spell
constexpr std::uint32_t decimalValue(std::uint64_t values) {
  // Three folds of neighbours: each multiply adds every lane, times the
  // radix, to the lane above it, and the shift brings that sum down. Pairs of
  // digits make 16-bit lanes (at most 99), pairs of those 32-bit lanes (at
  // most 9999), then the two halves the whole number (at most 99999999).
  // Every sum fits its lane, so nothing carries across lanes.
  std::uint64_t v = ((values * (1 + (10 << 8))) >> 8) & 0x00ff00ff00ff00ff;
  v = ((v * (1 + (100 << 16))) >> 16) & 0x0000ffff0000ffff;
  return static_cast<std::uint32_t>((v * (1 + (std::uint64_t{10000} << 32))) >> 32);
}

}  // namespace castles::word
