#include "reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "memory_source.hpp"
#include "message.hpp"
#include "perfectness.hpp"

namespace castles {
namespace {

ReadResult readInChunks(std::string_view text, std::size_t chunk) {
  MemorySource source(text, chunk);
  return readCastles(source);
}

// Every layout of the same integers gives the same perfectness values,
// whatever the white space and however the input is cut into reads.
TEST(ReadCastles, LayoutAndChunkingDoNotMatter) {
  const std::vector<std::string> layouts = {
      "3\n1 2 3\n1 2 2\n2 3 1 2 1\n",       "3 1 2 3 1 2 2 2 3 1 2 1",
      "3\n1\n2\n3\n1\n2\n2\n2\n3\n1\n2\n1", "\r\n\t 3\r\n1\t2 3\v1\f2  2\r\n2 3 1 2 1\r\n",
      "+3 01 +2 003 1 2 2 2 3 1 2 +1",
  };
  const std::vector<std::int64_t> expected = {8, 4, 6};
  for (const std::string& text : layouts) {
    for (const std::size_t chunk : {1U, 2U, 3U, 7U, 1U << 16}) {
      const ReadResult result = readInChunks(text, chunk);
      ASSERT_FALSE(result.error) << text << " / " << chunk << ": " << describe(*result.error);
      EXPECT_EQ(result.perfectness, expected) << text << " / " << chunk;
    }
  }
}

TEST(ReadCastles, ThirtyTwoBitExtremesAndSigns) {
  const ReadResult result = readCastles("3 1 -2147483648 1 1 2147483647 1 2 -0 0 -1 -1");
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.perfectness, (std::vector<std::int64_t>{-2147483648LL, 2147483647, -1}));
}

// Values of every length, with signs and leading zeros, around the lengths
// where the scanner changes method (8 digits at once, then two more, then the
// general scan).
TEST(ReadCastles, IntegersOfEveryLength) {
  const std::vector<std::pair<std::string, std::int64_t>> values = {
      {"0", 0},
      {"-0", 0},
      {"+7", 7},
      {"-42", -42},
      {"305", 305},
      {"-1234", -1234},
      {"99999", 99999},
      {"-123456", -123456},
      {"1234567", 1234567},
      {"-12345678", -12345678},
      {"99999999", 99999999},
      {"+123456789", 123456789},
      {"-1000000000", -1000000000},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483648LL},
      {"00000000", 0},
      {"000000007", 7},
      {"-0000000000000042", -42},
      {"+000000000000000000002147483647", 2147483647},
  };
  for (const auto& [text, value] : values) {
    for (const std::size_t chunk : {1U, 5U, 1U << 16}) {
      const ReadResult result = readInChunks("1 1 " + text + " 1 ", chunk);
      ASSERT_FALSE(result.error) << text << ": " << describe(*result.error);
      EXPECT_EQ(result.perfectness, std::vector<std::int64_t>{value}) << text << " / " << chunk;
    }
  }
}

// After a run of digits of any length, every byte value either ends the
// integer (white space, or anything after the last one) or makes it "not an
// integer". A NUL byte in the input is no end of the buffer.
TEST(ReadCastles, EveryByteAfterDigits) {
  const std::string digits = "1234567891";
  for (std::size_t length = 1; length <= digits.size(); ++length) {
    const std::string number = digits.substr(0, length);
    for (int byte = 0; byte < 256; ++byte) {
      const char c = static_cast<char>(byte);
      if (c >= '0' && c <= '9') {
        continue;
      }
      const bool space = std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos;
      const ReadResult inner = readCastles("1 1 " + number + c + " 1");
      if (space) {
        ASSERT_FALSE(inner.error) << number << " + " << byte;
        EXPECT_EQ(inner.perfectness, std::vector<std::int64_t>{std::stoll(number)});
      } else {
        ASSERT_TRUE(inner.error) << number << " + " << byte;
        EXPECT_EQ(inner.error->fault, InputFault::notAnInteger) << number << " + " << byte;
        EXPECT_EQ(inner.error->found, number + c) << number << " + " << byte;
      }
      const ReadResult last = readCastles("1 1 1 " + number + c + "9");
      EXPECT_FALSE(last.error) << number << " + " << byte;
    }
  }
}

// Gaps between integers are measured a word at a time: every byte value, at
// every place in a gap of up to ten bytes, is white space or starts a token.
TEST(ReadCastles, EveryByteInAGap) {
  for (std::size_t before = 1; before <= 10; ++before) {
    for (int byte = 0; byte < 256; ++byte) {
      const char c = static_cast<char>(byte);
      const bool space = std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos;
      const ReadResult result = readCastles("1 1 2" + std::string(before, ' ') + c + "3 ");
      if (space) {
        ASSERT_FALSE(result.error) << before << " + " << byte;
        EXPECT_EQ(result.perfectness, std::vector<std::int64_t>{8});
      } else if (c == '+' || c == '-' || (c >= '0' && c <= '9')) {
        EXPECT_FALSE(result.error) << before << " + " << byte;  // "+3", "-3", "03"...
      } else {
        ASSERT_TRUE(result.error) << before << " + " << byte;
        EXPECT_EQ(result.error->where.column, 6 + before) << before << " + " << byte;
      }
    }
  }
}

// Long inputs written with every token length, signs, leading zeros and gaps
// of every kind and size, so that tokens start and end at every offset of the
// 64-byte masks and of the windows of listed tokens, and straddle reads.
TEST(ReadCastles, LongInputsGiveTheValuesWritten) {
  std::mt19937_64 rng(0x5ca1e);
  const std::vector<std::string> gaps = {" ", " ", "\n", "\t", "\r\n", "   ", " \v\f "};
  const std::vector<std::int64_t> limits = {20, 999, 99999999, 2147483647};
  for (int round = 0; round < 12; ++round) {
    std::string text;
    auto write = [&](std::int64_t value) {
      const std::uint64_t style = rng();
      text += value < 0 ? "-" : style % 5 == 0 ? "+" : "";
      text += std::string(style % 7 == 0 ? (style >> 8) % 12 : 0, '0');
      text += std::to_string(value < 0 ? -value : value);
      const std::uint64_t gap = rng() % 400;
      text += gap == 0  ? std::string(2100, ' ')
              : gap < 4 ? std::string(70, '\n')
                        : gaps[gap % gaps.size()];
    };
    auto randomValue = [&] {
      const std::int64_t limit = limits[rng() % limits.size()];
      return static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * limit + 2)) - limit -
             1;
    };
    const auto n = static_cast<std::int64_t>(1 + rng() % 40);
    write(n);
    std::vector<std::int64_t> expected;
    for (std::int64_t i = 0; i < n; ++i) {
      std::vector<Block> blocks(rng() % 300);
      write(static_cast<std::int64_t>(blocks.size()));
      for (Block& block : blocks) {
        block = {static_cast<std::int32_t>(randomValue()),
                 static_cast<std::int32_t>(randomValue())};
        write(block.base);
        write(block.exponent);
      }
      expected.push_back(calculateCastlePerfectness(blocks));
    }
    for (const std::size_t chunk : {3U, 1000U, 1U << 16}) {
      const ReadResult result = readInChunks(text, chunk);
      ASSERT_FALSE(result.error) << round << " / " << chunk << ": " << describe(*result.error);
      ASSERT_EQ(result.perfectness, expected) << round << " / " << chunk;
    }
  }
}

// A short read leaves bytes of the one before behind its own: here "999 "
// right after the last exponent, which must not run on into them.
TEST(ReadCastles, ShortReadBeforeOldDigits) {
  const ReadResult result = readInChunks(
      "1 3 2 1 "
      "1 1999  "
      "2 2",
      8);
  ASSERT_FALSE(result.error) << describe(*result.error);
  EXPECT_EQ(result.perfectness, std::vector<std::int64_t>{8});
}

// Lines are counted only when a position is needed; they must still be right
// when the input spans many reads, and when one line does.
TEST(ReadCastles, PositionsHoldAcrossReads) {
  std::string longLine;
  for (int i = 0; i < 30000; ++i) {
    longLine += "1 0 ";
  }
  std::string manyLines;
  for (int i = 0; i < 20000; ++i) {
    manyLines += "1 0\n";
  }
  struct Case {
    std::string input;
    Position where;
  };
  const std::vector<Case> cases = {
      {"2 50001\n" + longLine + "\n" + manyLines + "  1 x", {20003, 5}},
      {"2 50001\n" + manyLines + longLine + "1 x", {20002, 120003}},
      {"2 50001\n" + manyLines + longLine + "1\r\n\n", {20004, 1}},
  };
  for (const Case& c : cases) {
    for (const std::size_t chunk : {7U, 4096U, 1U << 16}) {
      const ReadResult result = readInChunks(c.input, chunk);
      ASSERT_TRUE(result.error) << chunk;
      EXPECT_EQ(result.error->where, c.where)
          << chunk << ": " << result.error->where.line << ":" << result.error->where.column;
    }
  }
}

// Whatever follows the last announced integer is never part of the input.
TEST(ReadCastles, TrailingDataIsIgnored) {
  const std::vector<std::string> inputs = {"1 1 2 3 4 5 6", "1 1 2 3\nnot numbers at all \x01",
                                           "1 1 2 3x",      "0",
                                           "0 x",           "0junk",
                                           "2 0 0;",        "1 1 2 3"};
  for (const std::string& text : inputs) {
    const ReadResult result = readCastles(text);
    EXPECT_FALSE(result.error) << text << ": " << describe(*result.error);
  }
}

// Whatever was read after the last integer goes back to the source, however
// the input was cut into reads and whichever way the last integer was read.
TEST(ReadCastles, GivesBackWhatFollowsTheLastInteger) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1 1 2 3 4 5", " 4 5"}, {"1 1 2 3", ""}, {"1 1 2 3x y", "x y"},        {"0\n1 2", "\n1 2"},
      {"0junk", "junk"},       {"2 0 0;", ";"}, {"1 1 2 0000000003 z", " z"},
  };
  for (const auto& [input, rest] : cases) {
    for (const std::size_t chunk : {1U, 2U, 3U, 7U, 1U << 16}) {
      MemorySource source(input, chunk);
      const ReadResult result = readCastles(source);
      ASSERT_FALSE(result.error) << input;
      EXPECT_EQ(source.rest(), rest) << input << " / " << chunk;
    }
  }
}

// A source that fails the read after its data, to prove the reader stops at
// the last integer instead of asking for more.
class NoMoreReads final : public ByteSource {
 public:
  explicit NoMoreReads(std::string_view text) : text_(text) {}
  std::ptrdiff_t read(std::span<char> buffer) override {
    if (served_) {
      errno = EIO;
      return -1;
    }
    served_ = true;
    text_.copy(buffer.data(), text_.size());
    return static_cast<std::ptrdiff_t>(text_.size());
  }

 private:
  std::string_view text_;
  bool served_ = false;
};

TEST(ReadCastles, StopsAtTheLastInteger) {
  for (const std::string_view text : {"1 1 2 3\n", "1 1 2 3 ", "0\n", "2 1 5 1 0\n"}) {
    NoMoreReads source(text);
    const ReadResult result = readCastles(source);
    EXPECT_FALSE(result.error) << text << ": " << describe(*result.error);
  }
}

struct ErrorCase {
  std::string input;
  InputFault fault;
  Position where;
  std::string expected;
  std::string found;
};

// Each kind of malformed input, with where it is and what the reader wanted.
const std::vector<ErrorCase> kErrors = {
    {"", InputFault::unexpectedEnd, {1, 1}, "the castle count", ""},
    {"  \n ", InputFault::unexpectedEnd, {2, 2}, "the castle count", ""},
    {"2 1 2", InputFault::unexpectedEnd, {1, 6}, "the exponent of block 1 of castle 1", ""},
    {"2000000000", InputFault::unexpectedEnd, {1, 11}, "the block count of castle 1", ""},
    {"2 0\n1 ", InputFault::unexpectedEnd, {2, 3}, "the base of block 1 of castle 2", ""},
    {"1\n1 x 2", InputFault::notAnInteger, {2, 3}, "the base of block 1 of castle 1", "x"},
    // Only a zero count may run into what follows it, as then nothing follows.
    {"1\n1x 2 3", InputFault::notAnInteger, {2, 1}, "the block count of castle 1", "1x"},
    {std::string(256, '\n') + "x", InputFault::notAnInteger, {257, 1}, "the castle count", "x"},
    {"1 1 3.5 2", InputFault::notAnInteger, {1, 5}, "the base of block 1 of castle 1", "3.5"},
    {"1 1 12abc 2", InputFault::notAnInteger, {1, 5}, "the base of block 1 of castle 1", "12abc"},
    {"1 1 - 2", InputFault::notAnInteger, {1, 5}, "the base of block 1 of castle 1", "-"},
    {"1 1 2 +", InputFault::notAnInteger, {1, 7}, "the exponent of block 1 of castle 1", "+"},
    {"2 1 2 3x 0", InputFault::notAnInteger, {1, 7}, "the exponent of block 1 of castle 1", "3x"},
    {"1 1 2147483648 1",
     InputFault::outOfRange,
     {1, 5},
     "the base of block 1 of castle 1",
     "2147483648"},
    {"1 1 1 -2147483649",
     InputFault::outOfRange,
     {1, 7},
     "the exponent of block 1 of castle 1",
     "-2147483649"},
    {"1 1 -21474836480 1",
     InputFault::outOfRange,
     {1, 5},
     "the base of block 1 of castle 1",
     "-21474836480"},
    {"99999999999999999999999",
     InputFault::outOfRange,
     {1, 1},
     "the castle count",
     "99999999999999999999999"},
    {"-1", InputFault::negativeCount, {1, 1}, "the castle count", "-1"},
    {"2 1 2 2\n -5", InputFault::negativeCount, {2, 2}, "the block count of castle 2", "-5"},
    {"2 1 2 2 -05 1", InputFault::negativeCount, {1, 9}, "the block count of castle 2", "-05"},
    {"-0001", InputFault::negativeCount, {1, 1}, "the castle count", "-0001"},
    {"1 -00000000002",
     InputFault::negativeCount,
     {1, 3},
     "the block count of castle 1",
     "-00000000002"},
    {"1 1 9999999999 1",
     InputFault::outOfRange,
     {1, 5},
     "the base of block 1 of castle 1",
     "9999999999"},
    {"1 1 1 -00000000002147483649",
     InputFault::outOfRange,
     {1, 7},
     "the exponent of block 1 of castle 1",
     "-00000000002147483649"},
};

TEST(ReadCastles, ReportsEachFaultWithItsPosition) {
  for (const ErrorCase& c : kErrors) {
    for (const std::size_t chunk : {1U, 4U, 1U << 16}) {
      const ReadResult result = readInChunks(c.input, chunk);
      ASSERT_TRUE(result.error) << c.input;
      EXPECT_EQ(result.error->fault, c.fault) << c.input;
      EXPECT_EQ(result.error->where, c.where)
          << c.input << ": " << result.error->where.line << ":" << result.error->where.column;
      EXPECT_EQ(result.error->expected, c.expected) << c.input;
      EXPECT_EQ(result.error->found, c.found) << c.input;
    }
  }
}

TEST(ReadCastles, ReadFailureIsReported) {
  NoMoreReads source("2 1 2 3 ");
  const ReadResult result = readCastles(source);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->fault, InputFault::readFailed);
  EXPECT_EQ(result.perfectness, std::vector<std::int64_t>{8});
}

// A descriptor left non-blocking reports "no data yet", not the end of the
// input: the reader waits for the rest instead of failing the read.
TEST(FdSource, WaitsOnANonBlockingDescriptor) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ASSERT_EQ(::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK), 0);
  std::thread writer([fd = pipeFds[1]] {
    for (const std::string_view part : {"3\n1 2 3\n", "1 2 2\n2 3 1", " 2 1\n"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (::write(fd, part.data(), part.size()) < 0) {
        break;
      }
    }
    ::close(fd);
  });
  FdSource source(pipeFds[0]);
  const ReadResult result = readCastles(source);
  writer.join();
  ::close(pipeFds[0]);
  ASSERT_FALSE(result.error) << describe(*result.error);
  EXPECT_EQ(result.perfectness, (std::vector<std::int64_t>{8, 4, 6}));
}

}  // namespace
}  // namespace castles
