#pragma once
// The scanner: bytes from a source to signed 32-bit integer tokens, and, when
// a token is not one, what went wrong and where. It knows white space, signs,
// digits, the ranges of counts and values and how a token may end; it knows
// nothing of castles.
//
// Tokens are found a window at a time: one pass over up to kWindowBytes of
// the buffer finds where white space starts and stops, 64 bytes to a mask,
// and lists those edges. Where the next token lies then never waits on the
// parse of the one before. A listed token that is a sign and one to ten
// digits is parsed on the one or two words that end with it; everything else
// (tokens that straddle reads or the window, faults, eleven digits or more,
// endings other than white space) goes to the general scan, byte by byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
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

// Everything of the scanner but the common token: the buffer and its source,
// the list of token edges, the general scan, positions and faults. Kept
// apart from Scanner so that Scanner's few pointers stay in registers while
// this is called.
class ScanBuffer {
 public:
  explicit ScanBuffer(ByteSource& source);

  // The first byte of the buffer; token edges are offsets from it. The eight
  // bytes before it may be read, and are never part of a token.
  const char* origin() const { return origin_; }

  // Lists the edges of the tokens that lie whole in the window from `from`,
  // each token's first byte and the white space byte after its last.
  // @param from a point in the buffer between two tokens
  // @return the number of tokens listed; edges() holds two offsets for each
  std::size_t listTokens(const char* from);
  const std::uint32_t* edges() const { return edges_.data(); }

  struct Scanned {
    std::int64_t value;  // kNoValue after a fault
    const char* next;    // just after the token
  };
  // The general scan: skips white space, then reads one integer of the given
  // kind and ending, refilling the buffer as often as it takes. A value
  // rather than an out parameter: the parameter's address would escape into
  // this call and keep the caller's integers in memory.
  [[gnu::noinline]] Scanned scanSlowly(const char* from, Ending ending, Kind kind);

  // What went wrong in the last scan that failed.
  const ScanFault& fault() const { return fault_; }

  // Gives the bytes of the buffer from `from` on back to the source.
  void unread(const char* from) { source_.unread(static_cast<std::size_t>(end_ - from)); }

  // The largest window listTokens looks at.
  static constexpr std::size_t kWindowBytes = 2048;

 private:
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
  // bytes a read may fill, and 64 that listTokens may load beyond them.
  // Zeroed, so that no load meets an indeterminate byte.
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
  std::array<std::uint32_t, kWindowBytes> edges_{};
};

}  // namespace internal

class Scanner {
 public:
  explicit Scanner(ByteSource& source)
      : buffer_(std::make_unique<internal::ScanBuffer>(source)),
        origin_(buffer_->origin()),
        cur_(origin_) {}

  // Scans the next integer into value; false with fault() telling why. The
  // common token costs a few instructions and no branch that goes another way
  // when its length or sign changes. Always inlined, and no std::optional:
  // either way the value would go through memory, and the store and reload
  // would cost as much as the scan.
  template <Kind kind>
  [[gnu::always_inline]] bool next(Ending ending, std::int32_t& value);

  // What went wrong in the last scan that returned false.
  const ScanFault& fault() const { return buffer_->fault(); }

  // Gives what was read after the last scanned integer back to the source, so
  // that the input's next reader sees it.
  void unreadRest() { buffer_->unread(cur_); }

 private:
  bool nextSlowly(Ending ending, Kind kind, std::int32_t& value) {
    const internal::ScanBuffer::Scanned scanned = buffer_->scanSlowly(cur_, ending, kind);
    cur_ = scanned.next;
    value = static_cast<std::int32_t>(scanned.value);
    return scanned.value != internal::kNoValue;
  }

  // The fast path's parse of a listed token of one to ten digits, on the one
  // or two words that end with it; ends the scan with its value if it is one.
  // @param end just after the token's last byte
  // @param digits how many bytes before end should be digits
  // @param negative whether the token has a minus sign
  // @return false, with nothing changed, if the general scan must take the
  //         token: it has another number of digits, a byte that is not one,
  //         or a magnitude out of range for its kind and sign
  template <Kind kind>
  [[gnu::always_inline]] bool acceptOnWords(const char* end, std::size_t digits, bool negative,
                                            std::int32_t& value);

  // Ends a scan on the fast path: the token ends at end.
  bool accept(const char* end, std::uint64_t magnitude, bool negative, std::int32_t& value) {
    cur_ = end;
    value = internal::signedValue(magnitude, negative);
    return true;
  }

  std::unique_ptr<internal::ScanBuffer> buffer_;
  const char* origin_;
  const char* cur_;  // just after the last integer scanned
  // The listed tokens not yet scanned: two edges each.
  const std::uint32_t* edge_ = nullptr;
  const std::uint32_t* edgesEnd_ = nullptr;
};

template <Kind kind>
inline bool Scanner::next(Ending ending, std::int32_t& value) {
  if (edge_ == edgesEnd_) [[unlikely]] {
    const std::size_t tokens = buffer_->listTokens(cur_);
    if (tokens == 0) {
      return nextSlowly(ending, kind, value);
    }
    edge_ = buffer_->edges();
    edgesEnd_ = edge_ + 2 * tokens;
  }
  const char* start = origin_ + edge_[0];
  const char* end = origin_ + edge_[1];
  edge_ += 2;
  const char first = *start;
  const bool negative = first == '-';
  const std::size_t digits =
      static_cast<std::size_t>(end - start) - (negative || first == '+' ? 1 : 0);
  if (acceptOnWords<kind>(end, digits, negative, value)) {
    return true;
  }
  // The general scan takes this token from its first byte. It cannot refill
  // the buffer, as a listed token ends on a white space byte within it, so
  // the list stays good: the scan either ends at that byte, or fails, or ends
  // the last integer, after which nothing is scanned.
  cur_ = start;
  return nextSlowly(ending, kind, value);
}

template <Kind kind>
inline bool Scanner::acceptOnWords(const char* end, std::size_t digits, bool negative,
                                   std::int32_t& value) {
  // One to eight digits are always in range, so a value needs no check on
  // its sign, which would be a branch as unpredictable as the signs are.
  if (digits - 1 < 8) {
    // The word ends with the token: its last digit in the top byte. It starts
    // at most 7 bytes before origin_, where the buffer allows a load.
    const std::uint64_t values = word::digitValues(word::load(end - 8), digits);
    if (word::allDigits(values)) {
      const std::uint32_t magnitude = word::decimalValue(values);
      if (kind == Kind::value || !negative || magnitude == 0) {
        return accept(end, magnitude, negative, value);
      }
    }
  } else if (digits - 9 < 2) {
    // The same on two words. Nine digits put end at least 9 bytes past
    // origin_, so the lower word starts at most 7 bytes before it.
    const std::uint64_t magnitude = internal::nineOrTenDigits(end, digits);
    if (magnitude <= internal::magnitudeLimit(kind, negative)) {
      return accept(end, magnitude, negative, value);
    }
  }
  return false;
}

}  // namespace castles
