#include "driver.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "exclusion.hpp"
#include "reader.hpp"

namespace castles {
namespace {

// Writes all of text; false with errno set if the descriptor refuses.
bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = ::write(fd, text.data(), text.size());
    if (wrote < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A non-blocking descriptor whose reader is behind: wait for room.
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
          return false;
        }
        continue;
      }
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

int failWith(int err, const std::string& message) {
  // If standard error itself is gone there is nobody left to tell.
  static_cast<void>(writeAll(err, message + "\n"));
  return kExitFailure;
}

}  // namespace

int runCastles(int in, int out, int err) {
  try {
    FdSource source(in);
    const ReadResult input = readCastles(source);
    if (input.error) {
      return failWith(err, describe(*input.error));
    }
    const std::size_t count = countDistinctExclusionLcms(input.perfectness);
    if (!writeAll(out, std::to_string(count) + "\n")) {
      return failWith(err,
                      std::string("castles: cannot write the answer: ") + std::strerror(errno));
    }
    return kExitSuccess;
  } catch (const std::bad_alloc&) {
    return failWith(err, "castles: out of memory");
  }
}

}  // namespace castles
