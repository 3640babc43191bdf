#pragma once
// A second reading of the input, written for plainness instead of speed: the
// whole text is split into white-space separated tokens up front, and every
// perfectness is computed with the x87 extended multiply where there is one.
// The fuzz target holds the streaming reader and the integer arithmetic to it.

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
    ModelResult result;
    const std::optional<std::int32_t> n = count(Ending::lastIfZero, result);
    for (std::int32_t i = 0; n && i < *n; ++i) {
      const std::optional<std::int64_t> perfectness = readCastle(i + 1 == *n, result);
      if (!perfectness) {
        return result;
      }
      result.perfectness.push_back(*perfectness);
    }
    return result;
  }

 private:
  // Inside the description an integer fills its token; the last one may have
  // anything after its digits, and so may a zero count that ends the input.
  enum class Ending { spaced, lastIfZero, last };

  std::optional<std::int32_t> take(Ending ending, ModelResult& result) {
    if (result.fault) {
      return std::nullopt;
    }
    if (next_ == tokens_.size()) {
      result.fault = InputFault::unexpectedEnd;
      return std::nullopt;
    }
    return parse(tokens_[next_++], ending, result.fault);
  }

  std::optional<std::int32_t> count(Ending ending, ModelResult& result) {
    const std::optional<std::int32_t> value = take(ending, result);
    if (value && *value < 0) {
      result.fault = InputFault::negativeCount;
      return std::nullopt;
    }
    return value;
  }

  // @return the castle's perfectness, or nothing after a fault
  std::optional<std::int64_t> readCastle(bool lastCastle, ModelResult& result) {
    const std::optional<std::int32_t> blocks =
        count(lastCastle ? Ending::lastIfZero : Ending::spaced, result);
    std::int64_t product = 1;
    for (std::int32_t j = 0; blocks && j < *blocks; ++j) {
      const std::optional<std::int32_t> base = take(Ending::spaced, result);
      const std::optional<std::int32_t> exponent =
          take(lastCastle && j + 1 == *blocks ? Ending::last : Ending::spaced, result);
      if (!base || !exponent) {
        return std::nullopt;
      }
      product = modelApplyBlock(product, Block{*base, *exponent});
    }
    if (!blocks) {
      return std::nullopt;
    }
    return product;
  }

  static bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }

  static std::optional<std::int32_t> parse(std::string_view token, Ending ending,
                                           std::optional<InputFault>& fault) {
    std::size_t i = 0;
    const bool negative = token[0] == '-';
    if (token[0] == '+' || token[0] == '-') {
      ++i;
    }
    const std::size_t firstDigit = i;
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
};

}  // namespace castles::fuzz
