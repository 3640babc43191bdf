#include "scanner.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

namespace castles {
namespace internal {
namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 16;
// Before the buffer: room for the word that ends with a token at its start.
constexpr std::size_t kBytesBefore = 8;
// After it: room for parseAhead's last 64-byte mask.
constexpr std::size_t kBytesAfter = 64;

// Digits accumulate until the value passes every 32-bit magnitude; after that
// only "too large" matters. 2^32 * 10 + 9 cannot overflow 64 bits.
constexpr std::uint64_t kMagnitudeCap = std::uint64_t{1} << 32;

constexpr bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

}  // namespace

ScanBuffer::ScanBuffer(ByteSource& source)
    : source_(source),
      storage_(new char[kBytesBefore + kBufferSize + kBytesAfter]),
      origin_(storage_.get() + kBytesBefore),
      cur_(origin_),
      end_(origin_),
      linesCounted_(origin_),
      aheadFrom_(origin_),
      aheadEnd_(origin_) {
  std::memset(storage_.get(), 0, kBytesBefore);
}

ScanBuffer::Parsed ScanBuffer::parseMask(Parsed from, const char* limit) {
  const char* const at = from.next;
  const std::uint64_t spaces = word::spaceMask(at);
  // Bit i set where byte i and the byte before it differ in being white
  // space. The byte before `at` counts as white space, `at` being between
  // tokens, so the edges alternate from a token's first byte to the white
  // space byte after its last, and the k-th of the one kind and of the other
  // bound the same token.
  std::uint64_t edges = spaces ^ ((spaces << 1) | 1);
  if (limit - at < 64) {
    // Bytes from limit on are not looked at: a token that reaches them is
    // not whole in the window.
    edges &= (std::uint64_t{1} << (limit - at)) - 1;
  }
  std::uint64_t starts = edges & ~spaces;
  std::uint64_t ends = edges & spaces;
  std::int32_t* value = from.value;
  for (; ends != 0; starts &= starts - 1, ends &= ends - 1, ++value) {
    // starts has a bit for every one of ends, and one more where a token
    // runs on past these bytes: never zero here.
    if (!valueOf(at + __builtin_ctzll(starts), at + std::countr_zero(ends), *value)) [[unlikely]] {
      return {nullptr, value, lastEnd(from, edges & spaces & ~ends)};
    }
  }
  // Where the next mask starts: at a token that does not end in these bytes,
  // or after them (countr_zero(0) is 64); a token that started this mask
  // and does not end in it stops the parse.
  const char* const next = at + std::countr_zero(starts);
  return {next == at ? nullptr : next, value, lastEnd(from, edges & spaces)};
}

std::size_t ScanBuffer::parseAhead() {
  if (stuck_) {
    return 0;  // the same bytes, the same answer
  }
  const char* const from = aheadEnd_;
  const char* const limit = from + std::min(static_cast<std::size_t>(end_ - from), kWindowBytes);
  Parsed parsed{from, values_.data(), from};
  while (parsed.next != nullptr && parsed.next < limit) {
    parsed = parseMask(parsed, limit);
  }
  aheadFrom_ = from;
  aheadEnd_ = parsed.end;
  aheadCount_ = static_cast<std::size_t>(parsed.value - values_.data());
  stuck_ = aheadCount_ == 0;
  return aheadCount_;
}

bool ScanBuffer::valueOf(const char* start, const char* end, std::int32_t& value) {
  const auto length = static_cast<std::size_t>(end - start);
  if (length > 7) {
    return plainToken(start, end, value);
  }
  // At least one space below the token: never zero, as an empty slot is.
  const std::uint64_t spelling = word::spelling(word::load(end - 8), length);
  // Multiplicative hashing: the top bits of the product depend on every byte.
  const std::size_t slot = (spelling * 0x9e3779b97f4a7c15) >> (64 - kKnownBits);
  if (knownSpellings_[slot] == spelling) [[likely]] {
    value = knownValues_[slot];
    return true;
  }
  return learn(start, end, spelling, slot, value);
}

bool ScanBuffer::learn(const char* start, const char* end, std::uint64_t spelling, std::size_t slot,
                       std::int32_t& value) {
  if (!plainToken(start, end, value)) {
    return false;
  }
  knownSpellings_[slot] = spelling;
  knownValues_[slot] = value;
  return true;
}

const char* ScanBuffer::walkAhead(std::size_t taken) const {
  const char* p = aheadFrom_;
  for (std::size_t k = 0; k < taken; ++k) {
    while (isSpace(*p)) {
      ++p;
    }
    while (!isSpace(*p)) {
      ++p;
    }
  }
  return p;
}

bool ScanBuffer::refill() {
  if (finished_) {
    return false;
  }
  countLines(end_);
  base_ = offsetOf(end_);
  char* const origin = storage_.get() + kBytesBefore;
  const std::ptrdiff_t got = source_.read({origin, kBufferSize});
  const std::size_t size = got > 0 ? static_cast<std::size_t>(got) : 0;
  std::memset(origin + size, 0, kBytesAfter);
  if (got <= 0) {
    finished_ = true;
    if (got < 0) {
      systemError_ = errno;
    }
  }
  cur_ = linesCounted_ = origin_;
  end_ = origin_ + size;
  return size != 0;
}

void ScanBuffer::countLines(const char* p) {
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

Position ScanBuffer::positionOf(const char* p) {
  countLines(p);
  return {line_, offsetOf(p) - lineStart_ + 1};
}

void ScanBuffer::keepText(const char* from) {
  const auto length = static_cast<std::size_t>(cur_ - from);
  if (text_.size() < kKeptTokenBytes) {
    text_.append(from, std::min(length, kKeptTokenBytes - text_.size()));
  }
  textLength_ += length;
}

const char* ScanBuffer::measuredStop(const char* from) const {
  const std::uint64_t read = tokenBytesRead(from);
  const std::uint64_t room = read <= kMeasuredTokenBytes ? kMeasuredTokenBytes + 1 - read : 1;
  return cur_ + std::min(room, static_cast<std::uint64_t>(end_ - cur_));
}

std::int64_t ScanBuffer::fail(InputFault fault, Position start, bool cut) {
  fault_ = ScanFault{fault,
                     start,
                     std::move(text_),
                     cut ? kMeasuredTokenBytes : textLength_,
                     cut,
                     fault == InputFault::readFailed ? systemError_ : 0};
  return kNoValue;
}

std::int64_t ScanBuffer::scanSlowly(const char* from, Ending ending, Kind kind) {
  cur_ = from;
  const std::int64_t value = scan(ending, kind);
  aheadFrom_ = aheadEnd_ = cur_;
  aheadCount_ = 0;
  return value;
}

std::int64_t ScanBuffer::scan(Ending ending, Kind kind) {
  text_.clear();
  textLength_ = 0;
  if (!skipSpace()) {
    return fail(systemError_ != 0 ? InputFault::readFailed : InputFault::unexpectedEnd,
                positionOf(cur_));
  }
  const Token token = readSignAndDigits(kind);
  if (systemError_ != 0) {
    return fail(InputFault::readFailed, positionOf(cur_));
  }
  if (!endsHere(token, ending)) {
    const bool cut = keepRestOfToken(token.from);
    return fail(InputFault::notAnInteger, token.start, cut);
  }
  // More digits than a plain token has, leading zeros surely: input written
  // so is likely to go on so, and parsing ahead would stop at each token.
  stuck_ = token.digits > 10;
  return valueOf(token, kind);
}

bool ScanBuffer::skipSpace() {
  for (;;) {
    while (cur_ != end_ && isSpace(*cur_)) {
      ++cur_;
    }
    if (cur_ != end_) {
      return true;
    }
    if (!refill()) {
      return false;
    }
  }
}

ScanBuffer::Token ScanBuffer::readSignAndDigits(Kind kind) {
  Token token{positionOf(cur_), cur_};
  if (*cur_ == '+' || *cur_ == '-') {
    token.negative = *cur_ == '-';
    ++cur_;
  }
  const std::uint64_t limit = magnitudeLimit(kind, token.negative);
  for (;;) {
    // Digits that are out of range already can only stay so: such a token
    // is read no further than needed to say that it is long.
    if (token.magnitude > limit && tokenBytesRead(token.from) > kMeasuredTokenBytes) {
      token.cut = true;
      return token;
    }
    const char* stop = measuredStop(token.from);
    while (cur_ != stop && isDigit(*cur_)) {
      if (token.magnitude < kMagnitudeCap) {
        token.magnitude = token.magnitude * 10 + digitValue(*cur_);
      }
      ++token.digits;
      ++cur_;
    }
    if (cur_ != stop) {
      return token;
    }
    if (cur_ == end_) {
      keepText(token.from);  // the token straddles two reads
      if (!refill()) {
        token.atEnd = true;
        return token;
      }
      token.from = cur_;
    }
  }
}

bool ScanBuffer::endsHere(const Token& token, Ending ending) const {
  return token.atEnd || token.cut || isSpace(*cur_) ||
         (token.digits > 0 &&
          (ending == Ending::last || (ending == Ending::lastIfZero && token.magnitude == 0)));
}

bool ScanBuffer::keepRestOfToken(const char* from) {
  for (;;) {
    if (tokenBytesRead(from) > kMeasuredTokenBytes) {
      keepText(from);
      return true;
    }
    const char* stop = measuredStop(from);
    while (cur_ != stop && !isSpace(*cur_)) {
      ++cur_;
    }
    if (cur_ != end_) {
      if (cur_ != stop) {  // white space ends the token
        keepText(from);
        return false;
      }
      continue;
    }
    keepText(from);
    if (!refill()) {
      return false;
    }
    from = cur_;
  }
}

std::int64_t ScanBuffer::valueOf(const Token& token, Kind kind) {
  if (token.digits != 0 && token.magnitude <= magnitudeLimit(kind, token.negative)) {
    return signedValue(token.magnitude, token.negative);
  }
  if (!token.atEnd) {  // at the end, the text was kept before the last refill
    keepText(token.from);
  }
  InputFault fault = InputFault::notAnInteger;
  if (token.digits != 0) {
    // Within 32 bits but below zero, it can only be a count.
    fault = token.magnitude > magnitudeLimit(Kind::value, token.negative)
                ? InputFault::outOfRange
                : InputFault::negativeCount;
  }
  return fail(fault, token.start, token.cut);
}

}  // namespace internal
}  // namespace castles
