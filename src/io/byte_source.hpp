#pragma once
// Where the reader's bytes come from: any source that fills a buffer a read at
// a time, and the one the program uses, a descriptor.

#include <cstddef>
#include <span>

namespace castles {

// Where the bytes come from.
class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;
  // Fills a prefix of buffer with whatever is available.
  // @return its length, 0 at the end of the input, or -1 with errno set
  virtual std::ptrdiff_t read(std::span<char> buffer) = 0;
  // Gives back the last count bytes read, unused, for whoever reads the same
  // input next, where the source can take them back; by default it cannot.
  virtual void unread(std::size_t /*count*/) {}
};

// POSIX read on a descriptor; waits for data when the descriptor is
// non-blocking, never waits for a full buffer.
class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  std::ptrdiff_t read(std::span<char> buffer) override;
  // Moves the file offset back where the descriptor can seek.
  void unread(std::size_t count) override;

 private:
  int fd_;
};

}  // namespace castles
