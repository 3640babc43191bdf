#pragma once
// The scanner: bytes from a source to signed 32-bit integer tokens, and, when
// a token is not one, what went wrong and where. It knows white space, signs,
// digits, the ranges of counts and values and how a token may end; it knows
// nothing of castles.
//
// Tokens are parsed ahead a window at a time: one pass over up to
// kWindowBytes of the buffer finds where white space starts and stops, 64
// bytes to a mask, and parses each plain token there (a sign and one to ten
// digits, in the 32-bit range, white space after it) on the one or two words
// that end with it, into a run of values. Where the next token lies never
// waits on the parse of the one before, and the reader takes the values by
// the run. The pass stops at the first other token; that one, and everything
// else (tokens that straddle reads or the window, faults, eleven digits or
// more, endings other than white space), goes to the general scan, byte by
// byte.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>

#include "byte_source.hpp"
#include "input_error.hpp"
#include "word.hpp"

namespace castles {

// How an integer may end. Inside the description it must be followed by white
// space or the end of the input; the last integer may be followed by anything,
// since what comes after it is not part of the description.
enum class Ending { spaced, lastIfZero, last };

// Why a scan failed.
struct ScanFault {
  InputFault fault = InputFault::unexpectedEnd;
  Position where;  // of the token, or of where the input ended or failed
  // The token's first kKeptTokenBytes bytes as written; empty for
  // unexpectedEnd and readFailed.
  std::string token;
  std::uint64_t tokenLength = 0;  // in bytes, all of it, or kMeasuredTokenBytes if cut
  bool tokenCut = false;          // read no further than kMeasuredTokenBytes: longer
  int systemError = 0;            // errno, for readFailed
};

namespace internal {

// No 32-bit integer: what the general scan returns after a fault.
inline constexpr std::int64_t kNoValue = std::numeric_limits<std::int64_t>::min();

// @return the largest magnitude an integer of this kind and sign may have
constexpr std::uint64_t magnitudeLimit(Kind kind, bool negative) {
  // Arithmetic rather than a choice, so that no branch follows the sign.
  constexpr std::uint64_t kMaxPositive = (std::uint64_t{1} << 31) - 1;
  const auto sign = static_cast<std::uint64_t>(negative);
  if (kind == Kind::count) {
    return kMaxPositive & (sign - 1);  // -0 is a fine count
  }
  return kMaxPositive + sign;
}

// Above every magnitude of ten digits: the value of a token that has bytes
// other than digits where its digits should be.
inline constexpr std::uint64_t kNotDigits = ~std::uint64_t{0};

// @param end just after a token's last byte, with 16 bytes before it that may
//        be loaded
// @param digits how many bytes before end should be digits, 9 or 10
// @return their value, or kNotDigits
inline std::uint64_t nineOrTenDigits(const char* end, std::size_t digits) {
  const std::uint64_t low = word::digitValues(word::load(end - 8), 8);
  const std::uint64_t high = word::digitValues(word::load(end - 16), digits - 8);
  if (!word::allDigits(low) || !word::allDigits(high)) {
    return kNotDigits;
  }
  return std::uint64_t{word::decimalValue(high)} * 100000000 + word::decimalValue(low);
}

// @param magnitude at most 2^31
constexpr std::int32_t signedValue(std::uint64_t magnitude, bool negative) {
  // The negation happens in 64 bits, where -2^31 is not an overflow, and
  // without a branch: with mask all ones, (v ^ mask) - mask is -v.
  const auto value = static_cast<std::int64_t>(magnitude);
  const std::int64_t mask = negative ? -1 : 0;
  return static_cast<std::int32_t>((value ^ mask) - mask);
}

// Parses a token of a sign and one to ten digits on the one or two words that
// end with it, with no branch on its sign and none on its length below nine
// digits.
// @param start its first byte, not white space
// @param end just after its last byte, with 16 bytes before it that may be
//        loaded
// @return false, with value unchanged, if it is no such token or out of the
//         32-bit range
[[gnu::always_inline]] inline bool plainToken(const char* start, const char* end,
                                              std::int32_t& value) {
  const char first = *start;
  const bool negative = first == '-';
  const std::size_t digits =
      static_cast<std::size_t>(end - start) - (negative || first == '+' ? 1 : 0);
  std::uint64_t magnitude = 0;
  // One to eight digits are always in range, so a value needs no check on
  // its sign, which would be a branch as unpredictable as the signs are.
  if (digits - 1 < 8) {
    // The word ends with the token, its last digit in the top byte.
    const std::uint64_t values = word::digitValues(word::load(end - 8), digits);
    if (!word::allDigits(values)) {
      return false;
    }
    magnitude = word::decimalValue(values);
  } else if (digits - 9 < 2) {
    magnitude = nineOrTenDigits(end, digits);
    if (magnitude > magnitudeLimit(Kind::value, negative)) {
      return false;
    }
  } else {
    return false;
  }
  value = signedValue(magnitude, negative);
  return true;
}

// Everything of the scanner but taking the values parsed ahead: the buffer
// and its source, the parse ahead, the general scan, positions and faults.
// Kept apart from Scanner so that Scanner's few members stay in registers
// while this is called.
class ScanBuffer {
 public:
  explicit ScanBuffer(ByteSource& source);

  // Parses the plain tokens (see plainToken; each followed by white space)
  // that lie whole in the window from the end of the last parse or scan, up
  // to the first token that is not one or does not lie whole there.
  // @return how many; values() holds their values
  std::size_t parseAhead();
  const std::int32_t* values() const { return values_.data(); }
  // @return just after the first `taken` tokens of the last parse, at most
  //         as many as it found; after a general scan, just after its token
  const char* afterAhead(std::size_t taken) const {
    return taken == aheadCount_ ? aheadEnd_ : walkAhead(taken);
  }

  // The general scan: skips white space, then reads one integer of the given
  // kind and ending, refilling the buffer as often as it takes; what was
  // parsed ahead is dropped, and the next parse starts after this integer.
  // A value rather than an out parameter: the parameter's address would
  // escape into this call and keep the caller's integers in memory.
  // @return the integer, or kNoValue after a fault
  [[gnu::noinline]] std::int64_t scanSlowly(const char* from, Ending ending, Kind kind);

  // What went wrong in the last scan that failed.
  const ScanFault& fault() const { return fault_; }

  // Gives the bytes of the buffer from `from` on back to the source.
  void unread(const char* from) { source_.unread(static_cast<std::size_t>(end_ - from)); }

  // The largest window parseAhead looks at, and the most tokens it can hold:
  // each has a byte of its own and the white space byte after it.
  static constexpr std::size_t kWindowBytes = 2048;
  static constexpr std::size_t kMaxAhead = kWindowBytes / 2;

 private:
  // Where parseAhead is: where its next mask starts, or nullptr where it
  // stops; where the next value goes; and the end of the last token parsed.
  struct Parsed {
    const char* next;
    std::int32_t* value;
    const char* end;
  };
  // Parses the tokens that lie whole in the 64 bytes from `from.next`, and
  // before limit.
  // @param from.next a point between two tokens
  // @return where the next mask starts: nullptr at a token that is not
  //         plain, or that does not lie whole in the 64 bytes from its first
  [[gnu::always_inline]] inline Parsed parseMask(Parsed from, const char* limit);
  // @param ends the edges after the tokens parsed from `from.next` on
  // @return just after the last of them, or from.end if there is none
  static const char* lastEnd(const Parsed& from, std::uint64_t ends) {
    return ends == 0 ? from.end : from.next + (63 - std::countl_zero(ends));
  }
  // The value of a token of the parse: from the spellings seen, or parsed.
  // @return false if the token is not plain
  bool valueOf(const char* start, const char* end, std::int32_t& value);
  // afterAhead for fewer tokens than the parse found: those are plain, and
  // each has white space after it, so a walk over their bytes finds the end.
  const char* walkAhead(std::size_t taken) const;
  // Fetches more bytes; false at the end of the input or on a read failure.
  bool refill();
  std::uint64_t offsetOf(const char* p) const {
    return base_ + static_cast<std::uint64_t>(p - origin_);
  }
  // Brings line_ and lineStart_ up to p, a point in the current buffer at or
  // after linesCounted_. Lines are counted only here, so white space costs
  // nothing extra while scanning.
  void countLines(const char* p);
  // Where p, a point in the current buffer, is in the input.
  Position positionOf(const char* p);
  // Keeps the part of a faulty or straddling token that lies in [from, cur_).
  void keepText(const char* from);
  // How many bytes of the current token have been read, from before cur_
  // back to its first; from is the first of them not yet kept.
  std::uint64_t tokenBytesRead(const char* from) const {
    return textLength_ + static_cast<std::uint64_t>(cur_ - from);
  }
  // How far the scan may take the current token from cur_ before it looks
  // again whether to cut it: the end of the buffer, or the byte that takes
  // the token past kMeasuredTokenBytes, or past that, the next byte.
  const char* measuredStop(const char* from) const;
  // Records the fault; a cut token gets kMeasuredTokenBytes as its length.
  // @return kNoValue, for the scan to return
  std::int64_t fail(InputFault fault, Position start, bool cut = false);

  // What the general scan has read of a token: its sign and its digits.
  struct Token {
    Position start;    // of its first byte
    const char* from;  // the first of its bytes in the buffer not yet kept
    bool negative = false;
    std::uint64_t magnitude = 0;  // of its digits, or a value past every 32-bit one
    std::uint64_t digits = 0;     // how many it has
    bool atEnd = false;           // the input ended or failed right after them
    // Cut after kMeasuredTokenBytes: out of range already, and digits so far.
    bool cut = false;
  };
  // The general scan from cur_. @return the value, or kNoValue after a fault
  std::int64_t scan(Ending ending, Kind kind);
  // Moves cur_ past white space, refilling as often as it takes.
  // @return false if the input ended or failed first
  bool skipSpace();
  // Reads the sign and the digits of the token at cur_, refilling as often as
  // it takes; cur_ stops at the first byte that is not a digit, or where the
  // token is cut: past kMeasuredTokenBytes, once its digits put it out of
  // range for this kind.
  Token readSignAndDigits(Kind kind);
  // Whether the token may end where cur_ is, for an integer of this ending.
  bool endsHere(const Token& token, Ending ending) const;
  // Takes in the rest of a token that is not an integer, from `from` up to
  // white space or the end of the input, so that the message shows it; no
  // further than kMeasuredTokenBytes of it.
  // @return whether it was cut there
  bool keepRestOfToken(const char* from);
  // @return the value of a token that ends where it may, or kNoValue after
  // the fault its digits or its range make
  std::int64_t valueOf(const Token& token, Kind kind);

  ByteSource& source_;
  // The buffer: 8 bytes that the parse of a token at its start may load, the
  // bytes a read may fill, and 64 that parseAhead may load beyond them. The
  // 8 before are zeroed once and the 64 after what each read filled are
  // zeroed after it, so that no load meets an indeterminate byte; the other
  // bytes a load may reach are the last read's.
  std::unique_ptr<char[]> storage_;
  const char* origin_;
  const char* cur_;           // where the general scan is
  const char* end_;           // the end of what the last read filled
  const char* linesCounted_;  // newlines before this are in line_
  std::uint64_t base_ = 0;    // input offset of origin_[0]
  std::uint64_t line_ = 1;
  std::uint64_t lineStart_ = 0;  // input offset of the current line's first byte
  bool finished_ = false;
  int systemError_ = 0;
  std::string text_;              // the kept prefix of the current faulty token
  std::uint64_t textLength_ = 0;  // the current token's full length so far
  ScanFault fault_;
  // The last parse: where it started and where its last token ends (both
  // the end of the general scan after one), and its values.
  const char* aheadFrom_;
  const char* aheadEnd_;
  std::size_t aheadCount_ = 0;
  // Whether parseAhead is to find nothing, the next token left to the
  // general scan: the last parse found no token, and a parse again before
  // the general scan would find none again; or the general scan's last
  // token had more digits than a plain one.
  bool stuck_ = false;
  std::array<std::int32_t, kMaxAhead> values_;  // written before they are read
  // The values of recently parsed tokens of up to seven bytes, by their
  // spelling (word::spelling), so that a token seen before costs a lookup
  // instead of a parse. Input that repeats a few small numbers, as castles
  // of many blocks do, finds most of its tokens here.
  static constexpr int kKnownBits = 10;
  static constexpr std::size_t kKnownSlots = std::size_t{1} << kKnownBits;
  // Zero in a slot never filled: no token's spelling. Apart from the values,
  // so that each array's slot is found by scaling the same index.
  std::array<std::uint64_t, kKnownSlots> knownSpellings_{};
  std::array<std::int32_t, kKnownSlots> knownValues_{};
  // valueOf for a spelling not in its slot: parses the token, and puts its
  // value there if it is plain. Out of line, so that the loop of parseMask
  // keeps its registers.
  [[gnu::noinline]] bool learn(const char* start, const char* end, std::uint64_t spelling,
                               std::size_t slot, std::int32_t& value);
};

}  // namespace internal

class Scanner {
 public:
  explicit Scanner(ByteSource& source)
      : buffer_(std::make_unique<internal::ScanBuffer>(source)), values_(buffer_->values()) {}

  // Scans the next integer into value; false with fault() telling why. A
  // value parsed ahead costs a load and a compare. Always inlined, and no
  // std::optional: either way the value would go through memory.
  template <Kind kind>
  [[gnu::always_inline]] bool next(Ending ending, std::int32_t& value) {
    if (taken_ == count_ && !parseAhead()) [[unlikely]] {
      return nextSlowly(ending, kind, value);
    }
    value = values_[taken_];
    if (kind == Kind::count && value < 0) [[unlikely]] {
      return nextSlowly(ending, kind, value);  // which says what is wrong with it
    }
    ++taken_;
    return true;
  }

  // The integers parsed ahead and not yet scanned, parsing more if none are
  // left. Each was followed by white space, so it is good for any ending.
  // Empty when the next token needs the general scan: then ask next().
  std::span<const std::int32_t> ahead() {
    if (taken_ == count_) {
      parseAhead();
    }
    return {values_ + taken_, count_ - taken_};
  }

  // Scans the first n integers of ahead().
  void take(std::size_t n) { taken_ += n; }

  // What went wrong in the last scan that returned false.
  const ScanFault& fault() const { return buffer_->fault(); }

  // Gives what was read after the last scanned integer back to the source, so
  // that the input's next reader sees it.
  void unreadRest() { buffer_->unread(buffer_->afterAhead(taken_)); }

 private:
  bool parseAhead() {
    count_ = buffer_->parseAhead();
    taken_ = 0;
    return count_ != 0;
  }

  bool nextSlowly(Ending ending, Kind kind, std::int32_t& value) {
    const std::int64_t scanned = buffer_->scanSlowly(buffer_->afterAhead(taken_), ending, kind);
    taken_ = count_ = 0;
    value = static_cast<std::int32_t>(scanned);
    return scanned != internal::kNoValue;
  }

  std::unique_ptr<internal::ScanBuffer> buffer_;
  const std::int32_t* values_;
  // Of the values parsed ahead, how many there are and how many are scanned.
  std::size_t taken_ = 0;
  std::size_t count_ = 0;
};

}  // namespace castles
