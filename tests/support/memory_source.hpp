#pragma once
// The reader over a string instead of a descriptor, for the tests, the fuzz
// target and the microbenchmarks: a source that serves the string in pieces
// of a chosen size, and the reading of a whole string.

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>

#include "byte_source.hpp"
#include "reader.hpp"

namespace castles {

// Serves a string in pieces of at most chunkSize bytes, to exercise tokens
// that straddle reads.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view text, std::size_t chunkSize = 1 << 16)
      : text_(text), chunkSize_(chunkSize == 0 ? 1 : chunkSize) {}
  std::ptrdiff_t read(std::span<char> buffer) override {
    const std::string_view rest = text_.substr(served_);
    const std::size_t count = std::min({buffer.size(), chunkSize_, rest.size()});
    std::copy_n(rest.data(), count, buffer.data());
    served_ += count;
    return static_cast<std::ptrdiff_t>(count);
  }
  void unread(std::size_t count) override { served_ -= count; }
  // What has not been read, or has been given back.
  std::string_view rest() const { return text_.substr(served_); }

 private:
  std::string_view text_;
  std::size_t chunkSize_;
  std::size_t served_ = 0;
};

// readCastles over a whole string.
inline ReadResult readCastles(std::string_view text) {
  MemorySource source(text);
  return readCastles(source);
}

}  // namespace castles
