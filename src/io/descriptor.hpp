#pragma once
// Reading and writing standard descriptors that someone else may have left
// non-blocking: "no data yet" and "no room yet" are waited out, not failures,
// and calls interrupted by a signal are repeated.

#include <cstddef>
#include <span>
#include <string_view>

namespace castles {

// One read of at most buffer.size() bytes; never waits for a full buffer.
// @return the number of bytes read, 0 at the end of the input, or -1 with errno set
std::ptrdiff_t readSome(int fd, std::span<char> buffer);

// Writes all of text. @return false with errno set if the descriptor refuses
bool writeAll(int fd, std::string_view text);

// Writes all of text or leaves the output as it was: text goes out in one
// write where the descriptor takes it whole, as a pipe does up to PIPE_BUF
// bytes; a regular file that takes only part of it before refusing the rest
// is cut back to the length it had, and its offset moved back. A terminal or
// a socket keeps what it took.
// @return false with errno set, that of the refused write, if the descriptor refuses
bool writeAllOrNothing(int fd, std::string_view text);

}  // namespace castles
