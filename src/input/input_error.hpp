#pragma once
// What the reader reports about input that does not follow the description:
// which fault, where, and the token that showed it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace castles {

// Where something is in the input; both counted from 1, columns in bytes.
struct Position {
  std::uint64_t line = 1;
  std::uint64_t column = 1;
  friend constexpr bool operator==(Position, Position) = default;
};

enum class InputFault {
  unexpectedEnd,  // the input ended before every announced integer
  notAnInteger,   // a token that is not an optional sign and decimal digits
  outOfRange,     // an integer outside the signed 32-bit range
  negativeCount,  // a castle count or block count below zero
  readFailed,     // the operating system refused to read
};

// Counts may not be negative; values may be anything in 32 bits.
enum class Kind { count, value };

// The most bytes of a faulty token that are kept to show it.
inline constexpr std::size_t kKeptTokenBytes = 40;

// The most bytes of a token known to be faulty that are read to measure it:
// past them its length is given as a lower bound and the reading ends, so
// that endless input such as /dev/zero or a run of digits ends the run too.
inline constexpr std::uint64_t kMeasuredTokenBytes = 65536;

struct InputError {
  InputFault fault;
  Position where;
  std::string expected;  // what the reader was looking for, e.g. "the castle count"
  Kind kind;             // and of which kind, which gives its range
  // The offending token: its first kKeptTokenBytes bytes as written, and its
  // full length in bytes, or kMeasuredTokenBytes if it was cut there.
  std::string found;
  std::uint64_t foundLength = 0;
  bool foundCut = false;  // the token was not read to its end: it is longer than foundLength
  int systemError = 0;    // errno, for readFailed
};

}  // namespace castles
