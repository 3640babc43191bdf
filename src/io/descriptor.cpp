#include "descriptor.hpp"

#include <poll.h>
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

}  // namespace

std::ptrdiff_t readSome(int fd, std::span<char> buffer) {
  return whenReady(fd, POLLIN, [&] { return ::read(fd, buffer.data(), buffer.size()); });
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote =
        whenReady(fd, POLLOUT, [&] { return ::write(fd, text.data(), text.size()); });
    if (wrote < 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

}  // namespace castles
