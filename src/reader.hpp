#pragma once
// Streaming reader of the castle description: whitespace-separated decimal
// integers, parsed straight from the input buffer. Each castle's blocks are
// folded into its perfectness as they arrive, so memory grows with the number
// of castles actually present, never with a count the input announces.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

struct InputError {
  InputFault fault;
  Position where;
  std::string expected;  // what the reader was looking for, e.g. "the castle count"
  std::string found;     // the offending token as written, shortened if long
  int systemError = 0;   // errno, for readFailed
};

// One line for standard error, without the newline:
// "castles: expected ..., found ... at line L, column C".
std::string describe(const InputError& error);

struct ReadResult {
  std::vector<std::int64_t> perfectness;  // one value per castle, in input order
  std::optional<InputError> error;
};

// Where the bytes come from. read fills a prefix of the buffer with whatever is
// available and returns its length, 0 at the end of the input, or -1 with errno set.
class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;
  virtual std::ptrdiff_t read(std::span<char> buffer) = 0;
};

// POSIX read on a descriptor; retries on EINTR, waits for data when the
// descriptor is non-blocking, never waits for a full buffer.
class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  std::ptrdiff_t read(std::span<char> buffer) override;

 private:
  int fd_;
};

// Serves a string in pieces of at most chunkSize bytes, to exercise tokens
// that straddle reads.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view text, std::size_t chunkSize = 1 << 16)
      : text_(text), chunkSize_(chunkSize == 0 ? 1 : chunkSize) {}
  std::ptrdiff_t read(std::span<char> buffer) override;

 private:
  std::string_view text_;
  std::size_t chunkSize_;
};

// Reads the castle count, then every castle, computing each perfectness as soon
// as its last block is read. Stops at the byte that ends the last announced
// integer; nothing after it is read or inspected, so trailing data of any kind
// is ignored. On an error, perfectness holds the castles completed before it.
ReadResult readCastles(ByteSource& source);

// Convenience for tests and tools: the same over a whole string.
ReadResult readCastles(std::string_view text);

}  // namespace castles
