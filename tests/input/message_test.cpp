// The message for malformed input, as the reader reports it: what was
// wanted, where, and the token as shown, however long or strange.

#include "message.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "memory_source.hpp"
#include "reader.hpp"

namespace castles {
namespace {

// A long faulty token is shown by its first bytes and its length. Once it is
// known to be faulty it is read no further than 65536 bytes: a longer one is
// said to be longer, and what follows it is left unread, however much there
// is. A token that may still be an integer is read to its end.
TEST(ReadCastles, LongTokensAreShortenedInTheMessage) {
  constexpr std::size_t kMeasured = 65536;
  const std::string endless(std::size_t{1} << 20, '7');
  struct Case {
    std::string input;
    InputFault fault;
    std::string found;
  };
  const std::string x40(40, 'x');
  const std::string ones40(40, '1');
  const std::vector<Case> cases = {
      {"1 " + std::string(100000, 'x'), InputFault::notAnInteger, x40 + "... (more than 65536"},
      {"1 " + std::string(kMeasured, 'x') + " 2", InputFault::notAnInteger, x40 + "... (65536"},
      {"1 " + std::string(kMeasured + 1, 'x') + " 2", InputFault::notAnInteger,
       x40 + "... (more than 65536"},
      // Digits past the range: the x after them is read while the token is
      // within 65536 bytes, and makes it no integer; after that, it is not.
      {"1 1 " + std::string(kMeasured, '1') + "x 2", InputFault::notAnInteger,
       ones40 + "... (more than 65536"},
      {"1 1 " + std::string(kMeasured + 1, '1') + "x 2", InputFault::outOfRange,
       ones40 + "... (more than 65536"},
      {"1 1 2 " + std::string(kMeasured, '1'), InputFault::outOfRange, ones40 + "... (65536"},
      {"1 1 2 " + endless, InputFault::outOfRange, std::string(40, '7') + "... (more than 65536"},
      // Past 65536 bytes, cut as soon as it is known to be faulty.
      // (The sign as a string of its own: GCC 12 misreads prepending one
      // character to a temporary as an overlapping copy.)
      {std::string("-") + std::string(70000, '0') + "1 1 2 3", InputFault::negativeCount,
       std::string("-") + std::string(39, '0') + "... (more than 65536"},
      {std::string(std::size_t{1} << 20, '\0'), InputFault::notAnInteger,
       "\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00... (more than 65536"},
  };
  for (const Case& c : cases) {
    for (const std::size_t chunk : {7U, 4096U, 1U << 16}) {
      MemorySource source(c.input, chunk);
      const ReadResult result = readCastles(source);
      ASSERT_TRUE(result.error) << c.found << " / " << chunk;
      EXPECT_EQ(result.error->fault, c.fault) << c.found << " / " << chunk;
      const std::string message = describe(*result.error);
      EXPECT_NE(message.find("found '" + c.found + " bytes)' at line"), std::string::npos)
          << message << " / " << chunk;
      if (c.input.size() > 2 * kMeasured + chunk) {
        EXPECT_FALSE(source.rest().empty()) << c.found << " / " << chunk;
      }
    }
  }
  // A very long run of zeros is still a valid integer.
  const std::string zeros = std::string(100000, '0') + "1 1 2 3";
  MemorySource source(zeros, 1000);
  EXPECT_FALSE(readCastles(source).error);
}

TEST(Describe, SaysWhatWhereAndWhat) {
  EXPECT_EQ(describe(*readCastles("1\n1 3.5 2").error),
            "castles: expected the base of block 1 of castle 1 (an integer), found '3.5' "
            "at line 2, column 3");
  EXPECT_EQ(describe(*readCastles("2 0").error),
            "castles: expected the block count of castle 2, found the end of the input "
            "at line 1, column 4");
  EXPECT_EQ(describe(*readCastles("-3").error),
            "castles: expected the castle count (an integer from 0 to 2147483647), found '-3' "
            "at line 1, column 1");
}

// Whatever the input holds, the message is printable ASCII: other bytes of
// the token are shown as \xNN, a backslash doubled, and the token is cut
// between whole shown bytes when it passes 40 characters. A count outside
// 32 bits is refused with the range of a count, whatever its sign.
TEST(Describe, ShowsPrintableTokensAndTheRangeOfWhatWasExpected) {
  const std::string longX(38, 'x');
  const std::string base = "the base of block 1 of castle 1 (an integer), found ";
  const std::string countRange = "the castle count (an integer from 0 to 2147483647), found ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1 1 \x1b[31mRED 2", base + "'\\x1b[31mRED'"},
      {std::string("1 1 x\0y 2", 9), base + "'x\\x00y'"},
      {"\xef\xbb\xbf"
       "1 0",
       "the castle count (an integer), found '\\xef\\xbb\\xbf1'"},
      {"1 1 a\\b\x7f 2", base + "'a\\\\b\\x7f'"},
      {"1 1 " + longX + "\xc3\xa9 2", base + "'" + longX + "... (40 bytes)'"},
      {"1 1 " + longX.substr(2) + "\xc3\xa9 2",
       base + "'" + longX.substr(2) + "\\xc3... (38 bytes)'"},
      {"2147483648", countRange + "'2147483648'"},
      {"-2147483649", countRange + "'-2147483649'"},
      {"-2147483648", countRange + "'-2147483648'"},
      {"1 99999999999",
       "the block count of castle 1 (an integer from 0 to 2147483647), found '99999999999'"},
      {"1 1 2147483648 1",
       "the base of block 1 of castle 1 (an integer from -2147483648 to 2147483647), found "
       "'2147483648'"},
  };
  for (const auto& [input, expected] : cases) {
    const ReadResult result = readCastles(input);
    ASSERT_TRUE(result.error) << input;
    const std::string message = describe(*result.error);
    EXPECT_EQ(message.substr(0, message.find(" at line")), "castles: expected " + expected);
    for (const char c : message) {
      EXPECT_TRUE(c >= 0x20 && c < 0x7f) << message;
    }
  }
}

}  // namespace
}  // namespace castles
