#include "descriptor.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace castles {
namespace {

// Runs transfer, one read or write on fd, until it succeeds or fails for a
// reason other than an interruption or a descriptor that is not ready; waits
// for events on fd when it is not ready.
// @return what the successful transfer returned, or -1 with errno set
template <typename Transfer>
ssize_t whenReady(int fd, short events, Transfer transfer) {
  for (;;) {
    const ssize_t done = transfer();
    if (done >= 0) {
      return done;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{fd, events, 0};
      if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
        return -1;
      }
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

// Writes text until it is all written or the descriptor refuses.
// @return how much of it was written; errno is set if that is not all of it
std::size_t writeAsMuch(int fd, std::string_view text) {
  std::size_t written = 0;
  while (written != text.size()) {
    const std::string_view rest = text.substr(written);
    const ssize_t wrote =
        whenReady(fd, POLLOUT, [&] { return ::write(fd, rest.data(), rest.size()); });
    if (wrote < 0) {
      break;
    }
    written += static_cast<std::size_t>(wrote);
  }
  return written;
}

}  // namespace

std::ptrdiff_t readSome(int fd, std::span<char> buffer) {
  return whenReady(fd, POLLIN, [&] { return ::read(fd, buffer.data(), buffer.size()); });
}

bool writeAll(int fd, std::string_view text) { return writeAsMuch(fd, text) == text.size(); }

bool writeAllOrNothing(int fd, std::string_view text) {
  struct stat before {};
  const bool regular = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
  const off_t offset = regular ? ::lseek(fd, 0, SEEK_CUR) : -1;
  const std::size_t written = writeAsMuch(fd, text);
  if (written == text.size()) {
    return true;
  }
  if (regular && written != 0) {
    // Only the bytes past the old end can be taken back; the answer goes at
    // the end of a file that > or >> opened, so that is all of them. Should
    // the file refuse to be cut (one marked append-only), the part stays.
    const int refused = errno;
    if (::ftruncate(fd, before.st_size) == 0 && offset >= 0) {
      static_cast<void>(::lseek(fd, offset, SEEK_SET));
    }
    errno = refused;
  }
  return false;
}

}  // namespace castles
