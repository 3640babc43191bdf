#include "reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "perfectness.hpp"

namespace castles {

std::ptrdiff_t FdSource::read(std::span<char> buffer) {
  for (;;) {
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got >= 0) {
      return got;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A descriptor someone else left non-blocking has no data yet, which is
      // not the end of the input: wait for the next bytes.
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
        return -1;
      }
    } else if (errno != EINTR) {
      return got;
    }
  }
}

std::ptrdiff_t MemorySource::read(std::span<char> buffer) {
  const std::size_t count = std::min({buffer.size(), chunkSize_, text_.size()});
  std::copy_n(text_.data(), count, buffer.data());
  text_.remove_prefix(count);
  return static_cast<std::ptrdiff_t>(count);
}

namespace {

enum class CharClass : std::uint8_t { other, space, newline, digit };

constexpr std::array<CharClass, 256> makeClassTable() {
  std::array<CharClass, 256> table{};
  for (const char c : {' ', '\t', '\r', '\v', '\f'}) {
    table[static_cast<unsigned char>(c)] = CharClass::space;
  }
  table['\n'] = CharClass::newline;
  for (unsigned char c = '0'; c <= '9'; ++c) {
    table[c] = CharClass::digit;
  }
  return table;
}

constexpr std::array<CharClass, 256> kClass = makeClassTable();

constexpr CharClass classOf(char c) { return kClass[static_cast<unsigned char>(c)]; }

constexpr bool isSpace(char c) {
  const CharClass k = classOf(c);
  return k == CharClass::space || k == CharClass::newline;
}

// How an integer may end. Inside the description it must be followed by white
// space or the end of the input; the last integer may be followed by anything,
// since what comes after it is not part of the description.
enum class Ending { spaced, lastIfZero, last };

struct Token {
  std::optional<InputFault> fault;
  std::int32_t value = 0;
  Position start;
  std::string text;  // kept only for faults
};

constexpr std::size_t kBufferSize = std::size_t{1} << 16;
constexpr std::size_t kShownTokenBytes = 40;
// Digits accumulate until the value passes every 32-bit magnitude; after that
// only "too large" matters. 2^32 * 10 + 9 cannot overflow 64 bits.
constexpr std::uint64_t kMagnitudeCap = std::uint64_t{1} << 32;

class Scanner {
 public:
  explicit Scanner(ByteSource& source) : source_(source), buffer_(new char[kBufferSize]) {}

  Token next(Ending ending);
  int systemError() const { return systemError_; }

 private:
  // Fetches more bytes; false at the end of the input or on a read failure.
  bool refill();
  std::uint64_t offsetOf(const char* p) const {
    return base_ + static_cast<std::uint64_t>(p - buffer_.get());
  }
  Position positionOf(std::uint64_t offset) const { return {line_, offset - lineStart_ + 1}; }
  // Records the part of a faulty or straddling token that lies in [from, cur_).
  void keepText(const char* from);
  Token fail(InputFault fault, Position start);

  ByteSource& source_;
  std::unique_ptr<char[]> buffer_;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  std::uint64_t base_ = 0;       // input offset of buffer_[0]
  std::uint64_t line_ = 1;
  std::uint64_t lineStart_ = 0;  // input offset of the current line's first byte
  bool finished_ = false;
  int systemError_ = 0;
  std::string text_;             // the shown prefix of the current token
  std::uint64_t textLength_ = 0; // the current token's full length so far
};

bool Scanner::refill() {
  if (finished_) {
    return false;
  }
  base_ = offsetOf(end_ == nullptr ? buffer_.get() : end_);
  const std::ptrdiff_t got = source_.read({buffer_.get(), kBufferSize});
  if (got <= 0) {
    finished_ = true;
    if (got < 0) {
      systemError_ = errno;
    }
    cur_ = end_ = buffer_.get();
    return false;
  }
  cur_ = buffer_.get();
  end_ = cur_ + got;
  return true;
}

void Scanner::keepText(const char* from) {
  const auto length = static_cast<std::size_t>(cur_ - from);
  if (text_.size() < kShownTokenBytes) {
    text_.append(from, std::min(length, kShownTokenBytes - text_.size()));
  }
  textLength_ += length;
}

Token Scanner::fail(InputFault fault, Position start) {
  Token token;
  token.fault = fault;
  token.start = start;
  token.text = std::move(text_);
  if (textLength_ > token.text.size()) {
    token.text += "... (" + std::to_string(textLength_) + " bytes)";
  }
  return token;
}

// White space, sign, digits and the rest of a faulty token are one pass over
// the bytes that shares the state of a token straddling reads, which is why
// this stays one function above clang-tidy's complexity threshold.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
Token Scanner::next(Ending ending) {
  text_.clear();
  textLength_ = 0;
  // Skip white space, counting lines.
  for (;;) {
    while (cur_ != end_ && isSpace(*cur_)) {
      if (*cur_ == '\n') {
        ++line_;
        lineStart_ = offsetOf(cur_) + 1;
      }
      ++cur_;
    }
    if (cur_ != end_) {
      break;
    }
    if (!refill()) {
      return fail(systemError_ != 0 ? InputFault::readFailed : InputFault::unexpectedEnd,
                  positionOf(base_));
    }
  }

  const Position start = positionOf(offsetOf(cur_));
  const char* from = cur_;
  bool negative = false;
  if (*cur_ == '+' || *cur_ == '-') {
    negative = *cur_ == '-';
    ++cur_;
  }
  std::uint64_t magnitude = 0;
  std::uint64_t digits = 0;
  bool atEnd = false;
  for (;;) {
    while (cur_ != end_ && classOf(*cur_) == CharClass::digit) {
      if (magnitude < kMagnitudeCap) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(*cur_ - '0');
      }
      ++digits;
      ++cur_;
    }
    if (cur_ != end_) {
      break;
    }
    keepText(from);  // the token straddles two reads
    if (!refill()) {
      atEnd = true;
      break;
    }
    from = cur_;
  }
  if (systemError_ != 0) {
    return fail(InputFault::readFailed, positionOf(base_));
  }

  const bool endsHere = atEnd || isSpace(*cur_) ||
                        (digits > 0 && (ending == Ending::last ||
                                        (ending == Ending::lastIfZero && magnitude == 0)));
  if (!endsHere) {
    // Take in the rest of the token so that the message shows it.
    for (;;) {
      while (cur_ != end_ && !isSpace(*cur_)) {
        ++cur_;
      }
      keepText(from);
      if (cur_ != end_ || !refill()) {
        break;
      }
      from = cur_;
    }
    return fail(InputFault::notAnInteger, start);
  }
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
  if (digits == 0 || magnitude > limit) {
    if (!atEnd) {  // at the end, the text was kept before the last refill
      keepText(from);
    }
    return fail(digits == 0 ? InputFault::notAnInteger : InputFault::outOfRange, start);
  }
  Token token;
  token.start = start;
  // The magnitude is at most 2^31, so the negation happens in 64 bits.
  const auto value = static_cast<std::int64_t>(magnitude);
  token.value = static_cast<std::int32_t>(negative ? -value : value);
  return token;
}

std::string castleName(std::uint64_t index) { return "castle " + std::to_string(index + 1); }

std::string blockName(std::uint64_t block, std::uint64_t castle) {
  return "block " + std::to_string(block + 1) + " of " + castleName(castle);
}

InputError toError(const Token& token, std::string expected, int systemError) {
  return InputError{*token.fault, token.start, std::move(expected), token.text, systemError};
}

}  // namespace

std::string describe(const InputError& error) {
  std::string found;
  std::string expected = error.expected;
  switch (error.fault) {
    case InputFault::unexpectedEnd:
      found = "the end of the input";
      break;
    case InputFault::readFailed:
      found = std::string("a read error (") + std::strerror(error.systemError) + ")";
      break;
    case InputFault::notAnInteger:
      expected += " (an integer)";
      found = "'" + error.found + "'";
      break;
    case InputFault::outOfRange:
      expected += " (an integer from -2147483648 to 2147483647)";
      found = "'" + error.found + "'";
      break;
    case InputFault::negativeCount:
      expected += " (an integer from 0 to 2147483647)";
      found = "'" + error.found + "'";
      break;
  }
  return "castles: expected " + expected + ", found " + found + " at line " +
         std::to_string(error.where.line) + ", column " + std::to_string(error.where.column);
}

ReadResult readCastles(ByteSource& source) {
  ReadResult result;
  Scanner scanner(source);
  auto failWith = [&](const Token& token, std::string expected) {
    result.error = toError(token, std::move(expected), scanner.systemError());
    return std::move(result);
  };
  auto negativeCount = [&](Token token, std::string expected) {
    token.fault = InputFault::negativeCount;
    token.text = std::to_string(token.value);
    return failWith(token, std::move(expected));
  };

  const Token count = scanner.next(Ending::lastIfZero);
  if (count.fault) {
    return failWith(count, "the castle count");
  }
  if (count.value < 0) {
    return negativeCount(count, "the castle count");
  }
  const auto n = static_cast<std::uint64_t>(count.value);
  // Reserve for what is likely, not for what is announced: the vector grows
  // with the castles that actually arrive.
  result.perfectness.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, 4096)));
  for (std::uint64_t i = 0; i < n; ++i) {
    const bool lastCastle = i + 1 == n;
    const Token blocks = scanner.next(lastCastle ? Ending::lastIfZero : Ending::spaced);
    if (blocks.fault) {
      return failWith(blocks, "the block count of " + castleName(i));
    }
    if (blocks.value < 0) {
      return negativeCount(blocks, "the block count of " + castleName(i));
    }
    const auto ti = static_cast<std::uint64_t>(blocks.value);
    std::int64_t product = 1;
    for (std::uint64_t j = 0; j < ti; ++j) {
      const Token base = scanner.next(Ending::spaced);
      if (base.fault) {
        return failWith(base, "the base of " + blockName(j, i));
      }
      const Token exponent = scanner.next(lastCastle && j + 1 == ti ? Ending::last : Ending::spaced);
      if (exponent.fault) {
        return failWith(exponent, "the exponent of " + blockName(j, i));
      }
      product = applyBlock(product, Block{base.value, exponent.value});
    }
    result.perfectness.push_back(product);
  }
  return result;
}

ReadResult readCastles(std::string_view text) {
  MemorySource source(text);
  return readCastles(source);
}

}  // namespace castles
