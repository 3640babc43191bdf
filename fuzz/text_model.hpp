#pragma once
// A second reading of the input, written for plainness instead of speed: the
// whole text is split into white-space separated tokens up front, and every
// perfectness is computed with the x87 extended multiply where there is one.
// The fuzz target holds the streaming reader and the integer arithmetic to it.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "extended_reference.hpp"
#include "perfectness.hpp"
#include "reader.hpp"

namespace castles::fuzz {

struct ModelResult {
  std::vector<std::int64_t> perfectness;  // the castles completed before any fault
  std::optional<InputFault> fault;
};

// The running product times one block's power, rounded once to a 64-bit
// significand and truncated, as the x87 unit does it; elsewhere the program's
// own applyBlock stands in, and only the reading is checked.
inline std::int64_t modelApplyBlock(std::int64_t product, Block block) {
#if CASTLES_HAS_X87_REFERENCE
  return reference::x87TruncatedProduct(
      static_cast<double>(product),
      std::pow(static_cast<double>(block.base), static_cast<double>(block.exponent)));
#else
  return applyBlock(product, block);
#endif
}

class TextModel {
 public:
  explicit TextModel(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && isSpace(text[i])) {
        ++i;
      }
      const std::size_t start = i;
      while (i < text.size() && !isSpace(text[i])) {
        ++i;
      }
      if (i > start) {
        tokens_.push_back(text.substr(start, i - start));
      }
    }
  }

  ModelResult read() {
    const std::optional<std::int32_t> n = count(Ending::lastIfZero);
    for (std::int32_t i = 0; n && i < *n; ++i) {
      const bool lastCastle = i + 1 == *n;
      const std::optional<std::int32_t> blocks =
          count(lastCastle ? Ending::lastIfZero : Ending::spaced);
      std::int64_t product = 1;
      for (std::int32_t j = 0; blocks && j < *blocks; ++j) {
        const std::optional<std::int32_t> base = take(Ending::spaced);
        const std::optional<std::int32_t> exponent =
            take(lastCastle && j + 1 == *blocks ? Ending::last : Ending::spaced);
        if (!base || !exponent) {
          return result_;
        }
        product = modelApplyBlock(product, Block{*base, *exponent});
      }
      if (!blocks) {
        return result_;
      }
      result_.perfectness.push_back(product);
    }
    return result_;
  }

 private:
  // Inside the description an integer fills its token; the last one may have
  // anything after its digits, and so may a zero count that ends the input.
  enum class Ending { spaced, lastIfZero, last };

  // The next integer, or nothing once a fault is recorded.
  std::optional<std::int32_t> take(Ending ending, Kind kind = Kind::value) {
    if (result_.fault) {
      return std::nullopt;
    }
    if (next_ == tokens_.size()) {
      result_.fault = InputFault::unexpectedEnd;
      return std::nullopt;
    }
    return parse(tokens_[next_++], ending, kind, result_.fault);
  }

  std::optional<std::int32_t> count(Ending ending) {
    const std::optional<std::int32_t> value = take(ending, Kind::count);
    if (value && *value < 0) {
      result_.fault = InputFault::negativeCount;
      return std::nullopt;
    }
    return value;
  }

  static bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }

  // A token whose digits are out of range once more than kMeasuredTokenBytes
  // of it are read is cut there, and taken as the digits read so far,
  // whatever follows them. @return the fault of a token cut so
  static std::optional<InputFault> cutFault(std::string_view token, std::size_t firstDigit,
                                            bool negative, Kind kind) {
    const std::int64_t lowest = kind == Kind::count ? 0 : INT32_MIN;
    std::int64_t magnitude = 0;
    for (std::size_t i = firstDigit; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
      magnitude = std::min<std::int64_t>(magnitude * 10 + (token[i] - '0'), INT64_C(1) << 40);
      const std::int64_t value = negative ? -magnitude : magnitude;
      if (i + 1 > kMeasuredTokenBytes && (value < lowest || value > INT32_MAX)) {
        return value < INT32_MIN || value > INT32_MAX ? InputFault::outOfRange
                                                      : InputFault::negativeCount;
      }
    }
    return std::nullopt;
  }

  static std::optional<std::int32_t> parse(std::string_view token, Ending ending, Kind kind,
                                           std::optional<InputFault>& fault) {
    std::size_t i = 0;
    const bool negative = token[0] == '-';
    if (token[0] == '+' || token[0] == '-') {
      ++i;
    }
    const std::size_t firstDigit = i;
    if (const std::optional<InputFault> cut = cutFault(token, firstDigit, negative, kind)) {
      fault = cut;
      return std::nullopt;
    }
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') {
      ++i;
    }
    std::string_view digits = token.substr(firstDigit, i - firstDigit);
    const bool trailing = i < token.size();
    if (digits.empty()) {
      fault = InputFault::notAnInteger;
      return std::nullopt;
    }
    while (digits.size() > 1 && digits[0] == '0') {
      digits.remove_prefix(1);
    }
    const bool zero = digits == "0";
    if (trailing && !(ending == Ending::last || (ending == Ending::lastIfZero && zero))) {
      fault = InputFault::notAnInteger;
      return std::nullopt;
    }
    std::int64_t magnitude = 0;
    for (const char c : digits.substr(0, 11)) {
      magnitude = magnitude * 10 + (c - '0');
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (digits.size() > 11 || value < INT32_MIN || value > INT32_MAX) {
      fault = InputFault::outOfRange;
      return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
  }

  std::vector<std::string_view> tokens_;
  std::size_t next_ = 0;
  ModelResult result_;
};

}  // namespace castles::fuzz
