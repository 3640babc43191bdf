// The reader measures gaps and digits eight bytes at a time, loading each
// word so that its lowest byte is the first in the input, which on a
// big-endian machine means swapping the bytes. A slip in either byte order
// reads a wrong value or finds a token in the wrong place, so these texts put
// every token length after every gap length, at every offset in a word and
// across cuts between reads, and compare with values written independently
// of the reader. The cross-s390x preset runs this on a big-endian machine.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "memory_source.hpp"
#include "message.hpp"
#include "reader.hpp"

namespace castles {
namespace {

struct Text {
  std::string input;
  std::vector<std::int64_t> perfectness;
};

// Castles of one block each, base v and exponent 1, so that each perfectness
// is v. The bases take 1 to 20 bytes of digits (beyond ten, leading zeros),
// bare or signed, after gaps of 1 to 17 bytes of mixed white space; the
// exponents are 1 written in four ways.
Text tokensOfEveryLength() {
  constexpr std::string_view kSpaces = " \t\n\r\v\f";
  const std::vector<std::string> ones = {"1", "01", "+1", "0000000001"};
  std::mt19937_64 rng(0xb16e);
  std::size_t spaces = 0;
  std::string body;
  auto gap = [&](std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
      body += kSpaces[spaces++ % kSpaces.size()];
    }
  };
  Text text;
  for (std::size_t digits = 1; digits <= 20; ++digits) {
    // The value has exactly min(digits, 10) digits and fits in 31 bits.
    const std::size_t significant = std::min<std::size_t>(digits, 10);
    std::uint64_t low = 1;
    for (std::size_t i = 1; i < significant; ++i) {
      low *= 10;
    }
    const std::uint64_t high = significant == 10 ? 2147483647 : low * 10 - 1;
    for (std::size_t gapLength = 1; gapLength <= 17; ++gapLength) {
      for (const std::string_view sign : {"", "-", "+"}) {
        const std::uint64_t magnitude = low + rng() % (high - low + 1);
        std::string base = std::to_string(magnitude);
        base.insert(0, digits - base.size(), '0');
        gap(gapLength);
        body += "1";
        gap(gapLength);
        body += std::string(sign) + base;
        gap(gapLength);
        body += ones[text.perfectness.size() % ones.size()];
        const auto value = static_cast<std::int64_t>(magnitude);
        text.perfectness.push_back(sign == "-" ? -value : value);
      }
    }
  }
  text.input = std::to_string(text.perfectness.size()) + body + "\n";
  return text;
}

TEST(ReaderByteOrder, EveryTokenLengthAtEveryWordOffsetAndReadCut) {
  const Text text = tokensOfEveryLength();
  // Leading white space moves every token to each of the eight offsets in a
  // word; the read sizes cut tokens and gaps everywhere, and the largest
  // leaves the buffer's own end as the only cut.
  for (std::size_t shift = 0; shift < 8; ++shift) {
    const std::string input = std::string(shift, ' ') + text.input;
    for (const std::size_t chunk : {1U, 2U, 3U, 5U, 8U, 13U, 1U << 16}) {
      MemorySource source(input, chunk);
      const ReadResult result = readCastles(source);
      ASSERT_FALSE(result.error) << shift << " / " << chunk << ": " << describe(*result.error);
      ASSERT_EQ(result.perfectness, text.perfectness) << shift << " / " << chunk;
    }
  }
}

}  // namespace
}  // namespace castles
