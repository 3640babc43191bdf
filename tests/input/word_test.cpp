#include "word.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <random>
#include <string>

namespace castles::word {
namespace {

bool isSpaceByte(int b) { return b == ' ' || (b >= '\t' && b <= '\r'); }
bool isDigitByte(int b) { return b >= '0' && b <= '9'; }

std::uint64_t wordOf(const std::array<int, 8>& bytes) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    word |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  }
  return word;
}

// Bytes to put beside the one under test: the extremes, the top bit alone,
// white space and digits, and bytes whose low seven bits are white space.
constexpr std::array<int, 9> kNeighbours = {0x00, 0xff, 0x7f, 0x80, ' ', '\t', '0', 0xa0, 0x8d};

TEST(Word, LoadPutsTheFirstByteLowestInEitherByteOrder) {
  std::array<char, 24> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(0xf1 - 7 * i);  // distinct, some with the top bit
  }
  for (std::size_t at = 0; at + 8 <= bytes.size(); ++at) {
    std::uint64_t expected = 0;
    std::uint64_t bigEndianRaw = 0;  // how a big-endian machine reads the same memory
    for (std::size_t i = 0; i < 8; ++i) {
      const std::uint64_t byte = static_cast<unsigned char>(bytes[at + i]);
      expected |= byte << (8 * i);
      bigEndianRaw |= byte << (8 * (7 - i));
    }
    EXPECT_EQ(load(&bytes[at]), expected) << at;
    EXPECT_EQ(firstByteLowest<std::endian::little>(expected), expected) << at;
    EXPECT_EQ(firstByteLowest<std::endian::big>(bigEndianRaw), expected) << at;
  }
}

// Every byte value at every place in a word, among neighbours that would show
// a carry or a borrow between bytes.
TEST(Word, SpaceBytesMarksExactlyTheWhiteSpace) {
  for (const int neighbour : kNeighbours) {
    for (std::size_t at = 0; at < 8; ++at) {
      for (int b = 0; b < 256; ++b) {
        std::array<int, 8> bytes{};
        bytes.fill(neighbour);
        bytes[at] = b;
        std::uint64_t expected = 0;
        unsigned expectedBits = 0;
        for (std::size_t i = 0; i < 8; ++i) {
          if (isSpaceByte(bytes[i])) {
            expected |= std::uint64_t{0x80} << (8 * i);
            expectedBits |= 1U << i;
          }
        }
        const std::uint64_t marks = spaceBytes(wordOf(bytes));
        ASSERT_EQ(marks, expected) << neighbour << " / " << at << " / " << b;
        ASSERT_EQ(topBits(marks), expectedBits) << neighbour << " / " << at << " / " << b;
      }
    }
  }
}

TEST(Word, SpaceMaskCoversSixtyFourBytes) {
  std::mt19937 rng(64);
  const std::string alphabet = std::string(" \t\n\v\f\r0123456789+-x") + '\0' + "\x80\xff\xa0";
  for (int round = 0; round < 2000; ++round) {
    std::array<char, 64> bytes{};
    std::uint64_t expected = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = alphabet[rng() % alphabet.size()];
      if (isSpaceByte(static_cast<unsigned char>(bytes[i]))) {
        expected |= std::uint64_t{1} << i;
      }
    }
    ASSERT_EQ(spaceMask(bytes.data()), expected) << round;
  }
}

// A run of count digits ends at the top byte; one byte of it is replaced by
// every byte value, and the bytes below the run, which must not matter, are
// each of the neighbours.
TEST(Word, DigitValuesTellDigitsFromEveryOtherByte) {
  for (std::size_t count = 1; count <= 8; ++count) {
    for (std::size_t at = 8 - count; at < 8; ++at) {
      for (int b = 0; b < 256; ++b) {
        for (const int below : kNeighbours) {
          std::array<int, 8> bytes{};
          std::uint32_t expected = 0;
          for (std::size_t i = 0; i < 8; ++i) {
            bytes[i] = i < 8 - count ? below : i == at ? b : static_cast<int>('1' + i);
            if (i >= 8 - count) {
              expected = expected * 10 + static_cast<std::uint32_t>(bytes[i] - '0');
            }
          }
          const std::uint64_t values = digitValues(wordOf(bytes), count);
          ASSERT_EQ(allDigits(values), isDigitByte(b)) << count << " / " << at << " / " << b;
          if (isDigitByte(b)) {
            ASSERT_EQ(decimalValue(values), expected) << count << " / " << at << " / " << b;
          }
        }
      }
    }
  }
}

TEST(Word, DecimalValueOfEveryLength) {
  std::mt19937 rng(10);
  std::uint32_t limit = 1;  // 10^count
  for (std::size_t count = 1; count <= 8; ++count) {
    limit *= 10;
    for (int round = 0; round < 1000; ++round) {
      const auto value = static_cast<std::uint32_t>(round == 0   ? 0
                                                    : round == 1 ? limit - 1
                                                                 : rng() % limit);
      std::string text = std::to_string(value);
      text.insert(0, 8 - text.size(), '0');  // leading zeros up to eight digits
      std::array<int, 8> bytes{};
      for (std::size_t i = 0; i < 8; ++i) {
        bytes[i] = text[i];
      }
      ASSERT_EQ(decimalValue(digitValues(wordOf(bytes), count)), value) << count << ": " << text;
    }
  }
}

}  // namespace
}  // namespace castles::word
