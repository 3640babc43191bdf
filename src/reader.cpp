#include "reader.hpp"

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
    if (got >= 0 || errno != EINTR) {
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

constexpr std::array<bool, 256> makeSpaceTable() {
  std::array<bool, 256> table{};
  for (const char c : {' ', '\t', '\n', '\r', '\v', '\f'}) {
    table[static_cast<unsigned char>(c)] = true;
  }
  return table;
}

constexpr std::array<bool, 256> kSpace = makeSpaceTable();

constexpr bool isSpace(char c) { return kSpace[static_cast<unsigned char>(c)]; }

// Why unsigned: bytes below '0' wrap to large values, so one compare suffices.
constexpr bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10U; }

constexpr std::uint64_t digitValue(char c) { return static_cast<std::uint64_t>(c - '0'); }

// @return how many newlines [from, to) holds
std::uint64_t countNewlines(const char* from, const char* to) {
  // Bytes are counted in runs of up to 255 into an 8-bit counter, which cannot
  // wrap and which the compiler turns into wide byte compares and subtracts.
  constexpr std::ptrdiff_t kRun = 255;
  std::uint64_t total = 0;
  while (from != to) {
    const std::ptrdiff_t run = std::min(kRun, to - from);
    std::uint8_t inRun = 0;
    for (std::ptrdiff_t i = 0; i < run; ++i) {
      inRun = static_cast<std::uint8_t>(inRun + (from[i] == '\n' ? 1 : 0));
    }
    total += inRun;
    from += run;
  }
  return total;
}

// How an integer may end. Inside the description it must be followed by white
// space or the end of the input; the last integer may be followed by anything,
// since what comes after it is not part of the description.
enum class Ending { spaced, lastIfZero, last };

// Counts may not be negative; values may be anything in 32 bits.
enum class Kind { count, value };

// Why a scan failed, kept by the scanner so that a successful scan carries no
// text and copies nothing.
struct ScanFault {
  InputFault fault = InputFault::unexpectedEnd;
  Position where;
  std::string text;  // the token as written (shortened), or the negative count
};

constexpr std::size_t kBufferSize = std::size_t{1} << 16;
constexpr std::size_t kShownTokenBytes = 40;
// Digits accumulate until the value passes every 32-bit magnitude; after that
// only "too large" matters. 2^32 * 10 + 9 cannot overflow 64 bits.
constexpr std::uint64_t kMagnitudeCap = std::uint64_t{1} << 32;
// The fast path reads at most this many digits: enough for every 32-bit
// magnitude, few enough that the accumulator cannot overflow.
constexpr int kFastDigits = 10;
// Not white space and not a digit: written after the last byte read, it stops
// the fast path's loops at the end of the buffer without a bounds check.
constexpr char kSentinel = '\0';

// @return the largest magnitude an integer of this kind and sign may have
constexpr std::uint64_t magnitudeLimit(Kind kind, bool negative) {
  if (!negative) {
    return (std::uint64_t{1} << 31) - 1;
  }
  return kind == Kind::count ? 0 : std::uint64_t{1} << 31;  // -0 is a fine count
}

// @param magnitude at most 2^31
constexpr std::int32_t signedValue(std::uint64_t magnitude, bool negative) {
  // The negation happens in 64 bits, where -2^31 is not an overflow.
  const auto value = static_cast<std::int64_t>(magnitude);
  return static_cast<std::int32_t>(negative ? -value : value);
}

class Scanner {
 public:
  explicit Scanner(ByteSource& source);

  // The next integer, or nullopt with fault() telling why. The common token,
  // whole in the buffer and followed by white space, takes a few instructions;
  // anything else goes to scanSlowly. Always inlined: as a call, the optional
  // would come back through memory, and the call chain would cost as much as
  // the scan.
  template <Kind kind>
  [[gnu::always_inline]] std::optional<std::int32_t> next(Ending ending);

  // What went wrong in the last scan that returned nullopt.
  const ScanFault& fault() const { return fault_; }
  int systemError() const { return systemError_; }

 private:
  // The general scan: tokens that straddle reads, faults, endings other than
  // white space. Starts at cur_.
  [[gnu::noinline]] std::optional<std::int32_t> scanSlowly(Ending ending, Kind kind);
  // Fetches more bytes; false at the end of the input or on a read failure.
  bool refill();
  std::uint64_t offsetOf(const char* p) const {
    return base_ + static_cast<std::uint64_t>(p - buffer_.get());
  }
  // Brings line_ and lineStart_ up to p, a point in the current buffer at or
  // after linesCounted_. Lines are counted only here, so white space costs
  // nothing extra while scanning.
  void countLines(const char* p);
  // Where p, a point in the current buffer, is in the input.
  Position positionOf(const char* p);
  // Records the part of a faulty or straddling token that lies in [from, cur_).
  void keepText(const char* from);
  std::nullopt_t fail(InputFault fault, Position start);

  ByteSource& source_;
  // One byte more than a read may fill, for the sentinel.
  std::unique_ptr<char[]> buffer_;
  const char* cur_;
  const char* end_;                 // *end_ is always kSentinel
  const char* linesCounted_;        // newlines before this are in line_
  std::uint64_t base_ = 0;          // input offset of buffer_[0]
  std::uint64_t line_ = 1;
  std::uint64_t lineStart_ = 0;     // input offset of the current line's first byte
  bool finished_ = false;
  int systemError_ = 0;
  std::string text_;                // the shown prefix of the current faulty token
  std::uint64_t textLength_ = 0;    // the current token's full length so far
  ScanFault fault_;
};

Scanner::Scanner(ByteSource& source)
    : source_(source), buffer_(new char[kBufferSize + 1]) {
  buffer_[0] = kSentinel;
  cur_ = end_ = linesCounted_ = buffer_.get();
}

template <Kind kind>
inline std::optional<std::int32_t> Scanner::next(Ending ending) {
  const char* p = cur_;
  while (isSpace(*p)) {
    ++p;
  }
  cur_ = p;  // the slow path starts here if the fast one declines
  const bool negative = *p == '-';
  const char* q = (negative || *p == '+') ? p + 1 : p;
  const char* const digits = q;
  std::uint64_t magnitude = 0;
  for (int i = 0; i < kFastDigits && isDigit(*q); ++i, ++q) {
    magnitude = magnitude * 10 + digitValue(*q);
  }
  // A white space byte ends an integer whatever its ending; at end_ the
  // sentinel is not white space, so a token touching the end of the buffer,
  // and one with more digits, take the slow path.
  if (q != digits && isSpace(*q) && magnitude <= magnitudeLimit(kind, negative)) {
    cur_ = q;
    return signedValue(magnitude, negative);
  }
  return scanSlowly(ending, kind);
}

bool Scanner::refill() {
  if (finished_) {
    return false;
  }
  countLines(end_);
  base_ = offsetOf(end_);
  const std::ptrdiff_t got = source_.read({buffer_.get(), kBufferSize});
  const std::size_t size = got > 0 ? static_cast<std::size_t>(got) : 0;
  if (got <= 0) {
    finished_ = true;
    if (got < 0) {
      systemError_ = errno;
    }
  }
  buffer_[size] = kSentinel;
  cur_ = linesCounted_ = buffer_.get();
  end_ = cur_ + size;
  return size != 0;
}

void Scanner::countLines(const char* p) {
  const std::uint64_t newlines = countNewlines(linesCounted_, p);
  if (newlines != 0) {
    line_ += newlines;
    const char* lineStart = p;
    while (lineStart[-1] != '\n') {  // there is one at or after linesCounted_
      --lineStart;
    }
    lineStart_ = offsetOf(lineStart);
  }
  linesCounted_ = p;
}

Position Scanner::positionOf(const char* p) {
  countLines(p);
  return {line_, offsetOf(p) - lineStart_ + 1};
}

void Scanner::keepText(const char* from) {
  const auto length = static_cast<std::size_t>(cur_ - from);
  if (text_.size() < kShownTokenBytes) {
    text_.append(from, std::min(length, kShownTokenBytes - text_.size()));
  }
  textLength_ += length;
}

std::nullopt_t Scanner::fail(InputFault fault, Position start) {
  fault_.fault = fault;
  fault_.where = start;
  fault_.text = std::move(text_);
  if (textLength_ > fault_.text.size()) {
    fault_.text += "... (" + std::to_string(textLength_) + " bytes)";
  }
  return std::nullopt;
}

std::optional<std::int32_t> Scanner::scanSlowly(Ending ending, Kind kind) {
  text_.clear();
  textLength_ = 0;
  for (;;) {  // skip white space
    while (cur_ != end_ && isSpace(*cur_)) {
      ++cur_;
    }
    if (cur_ != end_) {
      break;
    }
    if (!refill()) {
      return fail(systemError_ != 0 ? InputFault::readFailed : InputFault::unexpectedEnd,
                  positionOf(cur_));
    }
  }

  const Position start = positionOf(cur_);
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
    while (cur_ != end_ && isDigit(*cur_)) {
      if (magnitude < kMagnitudeCap) {
        magnitude = magnitude * 10 + digitValue(*cur_);
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
    return fail(InputFault::readFailed, positionOf(cur_));
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
  if (digits == 0 || magnitude > magnitudeLimit(Kind::value, negative)) {
    if (!atEnd) {  // at the end, the text was kept before the last refill
      keepText(from);
    }
    return fail(digits == 0 ? InputFault::notAnInteger : InputFault::outOfRange, start);
  }
  if (magnitude > magnitudeLimit(kind, negative)) {
    // The count is shown as a number, whatever leading zeros it was written with.
    text_ = std::to_string(signedValue(magnitude, negative));
    textLength_ = 0;
    return fail(InputFault::negativeCount, start);
  }
  return signedValue(magnitude, negative);
}

std::string castleName(std::uint64_t index) { return "castle " + std::to_string(index + 1); }

std::string blockName(std::uint64_t block, std::uint64_t castle) {
  return "block " + std::to_string(block + 1) + " of " + castleName(castle);
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
  auto failWith = [&](std::string expected) {
    const ScanFault& fault = scanner.fault();
    result.error =
        InputError{fault.fault, fault.where, std::move(expected), fault.text, scanner.systemError()};
    return std::move(result);
  };

  const auto count = scanner.next<Kind::count>(Ending::lastIfZero);
  if (!count) {
    return failWith("the castle count");
  }
  const auto n = static_cast<std::uint64_t>(*count);
  // Reserve for what is likely, not for what is announced: the vector grows
  // with the castles that actually arrive.
  result.perfectness.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, 4096)));
  for (std::uint64_t i = 0; i < n; ++i) {
    const bool lastCastle = i + 1 == n;
    const auto blocks = scanner.next<Kind::count>(lastCastle ? Ending::lastIfZero : Ending::spaced);
    if (!blocks) {
      return failWith("the block count of " + castleName(i));
    }
    const auto ti = static_cast<std::uint64_t>(*blocks);
    std::int64_t product = 1;
    for (std::uint64_t j = 0; j < ti; ++j) {
      const auto base = scanner.next<Kind::value>(Ending::spaced);
      if (!base) {
        return failWith("the base of " + blockName(j, i));
      }
      const auto exponent =
          scanner.next<Kind::value>(lastCastle && j + 1 == ti ? Ending::last : Ending::spaced);
      if (!exponent) {
        return failWith("the exponent of " + blockName(j, i));
      }
      product = applyBlock(product, Block{*base, *exponent});
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
