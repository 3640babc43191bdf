// The scanner remembers the values of tokens it has parsed by their spelling,
// so that a repeated token costs a lookup. A token seen before must still be
// read as the token it is: each case reads one token, then another that
// differs from it in a byte that a careless spelling would drop (a byte
// beside the digits, a sign, a leading zero, a NUL or 0xff where the padding
// goes, the first of seven bytes), and the second must give its own value or
// its own fault.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "memory_source.hpp"
#include "message.hpp"
#include "reader.hpp"

namespace castles {
namespace {

struct RepeatCase {
  std::string first;
  std::string second;
  std::int64_t firstValue;
  std::int64_t secondValue;  // unused where the second is not an integer
  bool secondIsInteger;
};

const std::vector<RepeatCase> kRepeats = {
    {"7", "-7", 7, -7, true},
    {"-7", "7", -7, 7, true},
    {"7", "+7", 7, 7, true},
    {"7", "07", 7, 7, true},
    {"99999999", "-99999999", 99999999, -99999999, true},
    {"1234567", "12345678", 1234567, 12345678, true},
    {"12345678", "123456789", 12345678, 123456789, true},
    {"1", std::string{'\0', '1'}, 1, 0, false},
    {"1", std::string{'\xff', '1'}, 1, 0, false},
    {"1", std::string{'1', '\0'}, 1, 0, false},
    {"1234567", std::string{'\0'} + "234567", 1234567, 0, false},
    {"1234567", "x234567", 1234567, 0, false},
};

TEST(RepeatedTokens, ATokenSeenBeforeIsNoOtherToken) {
  for (const RepeatCase& c : kRepeats) {
    // Castles 1 and 2 are the first token to the power 1, castle 3 the
    // second: the first comes twice, so that it is surely remembered.
    const std::string text = "3 1 " + c.first + " 1 1 " + c.first + " 1 1 " + c.second + " 1\n";
    const ReadResult result = readCastles(text);
    if (c.secondIsInteger) {
      ASSERT_FALSE(result.error) << c.second << ": " << describe(*result.error);
      EXPECT_EQ(result.perfectness,
                (std::vector<std::int64_t>{c.firstValue, c.firstValue, c.secondValue}))
          << c.second;
    } else {
      ASSERT_TRUE(result.error) << c.second;
      EXPECT_EQ(result.error->fault, InputFault::notAnInteger) << c.second;
      EXPECT_EQ(result.error->found, c.second);
      EXPECT_EQ(result.perfectness, (std::vector<std::int64_t>{c.firstValue, c.firstValue}))
          << c.second;
    }
  }
}

}  // namespace
}  // namespace castles
