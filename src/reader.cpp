#include "reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "descriptor.hpp"
#include "perfectness.hpp"

namespace castles {

std::ptrdiff_t FdSource::read(std::span<char> buffer) { return readSome(fd_, buffer); }

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
// Not white space and not a digit: written after the last byte read, it stops
// the fast path at the end of the buffer without a bounds check.
constexpr char kSentinel = '\0';
// The fast path loads eight bytes at a time from anywhere up to the sentinel,
// so the buffer has that many bytes beyond what a read may fill.
constexpr std::size_t kWordBytes = 8;
constexpr std::size_t kShownTokenBytes = 40;
// Digits accumulate until the value passes every 32-bit magnitude; after that
// only "too large" matters. 2^32 * 10 + 9 cannot overflow 64 bits.
constexpr std::uint64_t kMagnitudeCap = std::uint64_t{1} << 32;

// No 32-bit integer: what the general scan returns after a fault.
constexpr std::int64_t kNoValue = std::numeric_limits<std::int64_t>::min();

constexpr std::uint64_t kEveryByte = 0x0101010101010101;

// @return the eight bytes at p as a word whose lowest byte is *p
inline std::uint64_t loadWord(const char* p) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = __builtin_bswap64(word);
  }
  return word;
}

constexpr std::uint64_t kHighBits = 0x80 * kEveryByte;

// @return 0x80 in every byte of word that is white space, 0 in the others
constexpr std::uint64_t spaceBytes(std::uint64_t word) {
  // Each test runs on the low seven bits with the top bit set, so that no
  // byte borrows from its neighbour; bytes of 128 or more are never white
  // space and are masked out at the end.
  const std::uint64_t low = (word & ~kHighBits) | kHighBits;
  const std::uint64_t atLeast9 = low - 9 * kEveryByte;  // top bit kept if >= 9
  const std::uint64_t atMost13 =
      (13 * kEveryByte | kHighBits) - (low & ~kHighBits);  // kept if <= 13
  const std::uint64_t notBlank =
      (((word ^ (' ' * kEveryByte)) & ~kHighBits) | kHighBits) - kEveryByte;
  const std::uint64_t blank = ~notBlank;  // top bit set only where the low bits equal ' '
  return ((atLeast9 & atMost13) | blank) & ~word & kHighBits;
}

// @return how many bytes of word, from the lowest, are decimal digits before
// the first that is not; 8 if all are
constexpr int leadingDigits(std::uint64_t word) {
  // Digits become 0..9. A byte below '0' borrows from the byte above it, but
  // every byte below the first non-digit is a digit and lends nothing.
  const std::uint64_t offset = word - '0' * kEveryByte;
  // Top bit set where the byte is 10 or more: either it already was 128 or
  // more, or adding 118 takes it there. Only bytes of 138 or more carry into
  // the next byte, and they are non-digits themselves.
  const std::uint64_t nonDigits = (offset | (offset + 118 * kEveryByte)) & (0x80 * kEveryByte);
  return nonDigits == 0 ? 8 : std::countr_zero(nonDigits) / 8;
}

// @param word decimal digits in its lowest count bytes, the first digit lowest
// @param count 1 to 8
// @return the value of those digits
constexpr std::uint64_t digitsValue(std::uint64_t word, int count) {
  // Shifting the digits to the top brings in zero bytes below them: leading
  // zeros. Whatever lay above them is shifted out.
  std::uint64_t v = (word - '0' * kEveryByte) << (8 * (8 - count));
  // Fold neighbours together: pairs of digits into 16-bit lanes (at most 99),
  // pairs of those into 32-bit lanes (at most 9999), then the two halves.
  // No lane exceeds its width before the mask, so nothing carries across.
  v = (v * 10 + (v >> 8)) & 0x00ff00ff00ff00ff;
  v = (v * 100 + (v >> 16)) & 0x0000ffff0000ffff;
  return (v * 10000 + (v >> 32)) & 0xffffffff;
}

// @return the largest magnitude an integer of this kind and sign may have
constexpr std::uint64_t magnitudeLimit(Kind kind, bool negative) {
  constexpr std::uint64_t kMaxPositive = (std::uint64_t{1} << 31) - 1;
  if (kind == Kind::count) {
    return negative ? 0 : kMaxPositive;  // -0 is a fine count
  }
  return negative ? kMaxPositive + 1 : kMaxPositive;
}

// @param magnitude at most 2^31
constexpr std::int32_t signedValue(std::uint64_t magnitude, bool negative) {
  // The negation happens in 64 bits, where -2^31 is not an overflow, and
  // without a branch: with mask all ones, (v ^ mask) - mask is -v.
  const auto value = static_cast<std::int64_t>(magnitude);
  const std::int64_t mask = negative ? -1 : 0;
  return static_cast<std::int32_t>((value ^ mask) - mask);
}

class Scanner {
 public:
  explicit Scanner(ByteSource& source);

  // Scans the next integer into value; false with fault() telling why. The
  // common token, whole in the buffer and followed by white space, takes a few
  // instructions; anything else goes to scanSlowly. Always inlined, and no
  // std::optional: either way the value would go through memory, and the
  // store and reload would cost as much as the scan.
  template <Kind kind>
  [[gnu::always_inline]] bool next(Ending ending, std::int32_t& value);

  // What went wrong in the last scan that returned false.
  const ScanFault& fault() const { return fault_; }
  int systemError() const { return systemError_; }

 private:
  // The general scan: tokens that straddle reads, faults, endings other than
  // white space. Starts at cur_. @return the value, or kNoValue after a fault.
  // A value rather than an out parameter: the parameter's address would
  // escape into this call and keep the caller's integers in memory.
  [[gnu::noinline]] std::int64_t scanSlowly(Ending ending, Kind kind);
  // scanSlowly in the shape of next.
  bool nextSlowly(Ending ending, Kind kind, std::int32_t& value) {
    const std::int64_t scanned = scanSlowly(ending, kind);
    value = static_cast<std::int32_t>(scanned);
    return scanned != kNoValue;
  }
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
  // Records the fault. @return kNoValue, for the scan to return
  std::int64_t fail(InputFault fault, Position start);

  ByteSource& source_;
  // kWordBytes more than a read may fill: the sentinel, and room for the
  // fast path's loads. Zeroed, so that no load meets an indeterminate byte.
  std::unique_ptr<char[]> buffer_;
  const char* cur_;
  const char* end_;           // *end_ is always kSentinel
  const char* linesCounted_;  // newlines before this are in line_
  std::uint64_t base_ = 0;    // input offset of buffer_[0]
  std::uint64_t line_ = 1;
  std::uint64_t lineStart_ = 0;  // input offset of the current line's first byte
  bool finished_ = false;
  int systemError_ = 0;
  std::string text_;              // the shown prefix of the current faulty token
  std::uint64_t textLength_ = 0;  // the current token's full length so far
  ScanFault fault_;
};

Scanner::Scanner(ByteSource& source)
    : source_(source), buffer_(new char[kBufferSize + kWordBytes]()) {
  buffer_[0] = kSentinel;
  cur_ = end_ = linesCounted_ = buffer_.get();
}

template <Kind kind>
inline bool Scanner::next(Ending ending, std::int32_t& value) {
  const char* p = cur_;
  // The gap before the token is measured on one word instead of byte by byte:
  // irregular spacing then costs neither a mispredicted loop exit nor a chain
  // of dependent table lookups. The sentinel at end_ is not white space, so
  // nothing past it counts, and the buffer has kWordBytes beyond end_.
  const std::uint64_t gapWord = loadWord(p);
  const std::uint64_t tokenBytes = ~spaceBytes(gapWord) & kHighBits;
  if (tokenBytes == 0) [[unlikely]] {
    return nextSlowly(ending, kind, value);  // a gap of eight bytes or more
  }
  const int gap = std::countr_zero(tokenBytes) / 8;
  p += gap;
  cur_ = p;  // the slow path starts here if the fast one declines
  const auto first = static_cast<char>(gapWord >> (8 * gap));
  const bool negative = first == '-';
  const char* q = (negative || first == '+') ? p + 1 : p;
  // q is at most end_, and the buffer has kWordBytes beyond it.
  const std::uint64_t word = loadWord(q);
  const int count = leadingDigits(word);
  if (count == 0) {
    return nextSlowly(ending, kind, value);
  }
  std::uint64_t magnitude = digitsValue(word, count);
  const char* r = q + count;
  if (count == 8) [[unlikely]] {
    // Up to two digits more cover every 32-bit magnitude. The sentinel stops
    // this loop too: eight digits mean r is still before end_.
    for (int i = 0; i < 2 && isDigit(*r); ++i, ++r) {
      magnitude = magnitude * 10 + digitValue(*r);
    }
    if (magnitude > magnitudeLimit(Kind::value, negative)) {
      return nextSlowly(ending, kind, value);
    }
  }
  // Up to eight digits are always in range, so a short token needs no check
  // on its sign, which would be a branch as unpredictable as the signs are.
  if constexpr (kind == Kind::count) {
    if (magnitude > magnitudeLimit(kind, negative)) {
      return nextSlowly(ending, kind, value);
    }
  }
  // A white space byte ends an integer whatever its ending; at end_ the
  // sentinel is not white space, so a token touching the end of the buffer,
  // and one with more digits, take the slow path.
  if (!isSpace(*r)) {
    return nextSlowly(ending, kind, value);
  }
  // The white space byte is skipped now: r is before end_, since *r is not
  // the sentinel, and with single separators the next scan starts on a digit.
  cur_ = r + 1;
  value = signedValue(magnitude, negative);
  return true;
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

std::int64_t Scanner::fail(InputFault fault, Position start) {
  fault_.fault = fault;
  fault_.where = start;
  fault_.text = std::move(text_);
  if (textLength_ > fault_.text.size()) {
    fault_.text += "... (" + std::to_string(textLength_) + " bytes)";
  }
  return kNoValue;
}

// White space, sign, digits and the rest of a faulty token are one pass over
// the bytes that shares the state of a token straddling reads, which is why
// this stays one function above clang-tidy's complexity threshold.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
std::int64_t Scanner::scanSlowly(Ending ending, Kind kind) {
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

  const bool endsHere =
      atEnd || isSpace(*cur_) ||
      (digits > 0 && (ending == Ending::last || (ending == Ending::lastIfZero && magnitude == 0)));
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
  PerfectnessFold castle;
  auto failWith = [&](std::string expected) {
    const ScanFault& fault = scanner.fault();
    result.error = InputError{fault.fault, fault.where, std::move(expected), fault.text,
                              scanner.systemError()};
    return std::move(result);
  };

  std::int32_t count = 0;
  if (!scanner.next<Kind::count>(Ending::lastIfZero, count)) {
    return failWith("the castle count");
  }
  const auto n = static_cast<std::uint64_t>(count);
  // Reserve for what is likely, not for what is announced: the vector grows
  // with the castles that actually arrive.
  result.perfectness.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, 4096)));
  for (std::uint64_t i = 0; i < n; ++i) {
    const bool lastCastle = i + 1 == n;
    std::int32_t blocks = 0;
    if (!scanner.next<Kind::count>(lastCastle ? Ending::lastIfZero : Ending::spaced, blocks)) {
      return failWith("the block count of " + castleName(i));
    }
    const auto ti = static_cast<std::uint64_t>(blocks);
    for (std::uint64_t j = 0; j < ti; ++j) {
      std::int32_t Pij = 0;  // the base of block j of castle i
      std::int32_t Cij = 0;  // its exponent
      if (!scanner.next<Kind::value>(Ending::spaced, Pij)) {
        return failWith("the base of " + blockName(j, i));
      }
      const Ending ending = lastCastle && j + 1 == ti ? Ending::last : Ending::spaced;
      if (!scanner.next<Kind::value>(ending, Cij)) {
        return failWith("the exponent of " + blockName(j, i));
      }
      castle.add(Block{Pij, Cij});
    }
    result.perfectness.push_back(castle.finish());
  }
  return result;
}

ReadResult readCastles(std::string_view text) {
  MemorySource source(text);
  return readCastles(source);
}

}  // namespace castles
