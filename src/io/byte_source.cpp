#include "byte_source.hpp"

#include <sys/types.h>
#include <unistd.h>

#include "descriptor.hpp"

namespace castles {

std::ptrdiff_t FdSource::read(std::span<char> buffer) { return readSome(fd_, buffer); }

void FdSource::unread(std::size_t count) {
  // A regular file moves back; a pipe, a socket or a terminal cannot, and
  // says so with ESPIPE, which leaves nothing to do. On a file that can seek,
  // the move back fails only when another process moved the shared offset
  // meanwhile, and then no offset is the right one: either way the run's
  // answer stands, so a failure here is not the run's.
  if (count != 0) {
    static_cast<void>(::lseek(fd_, -static_cast<off_t>(count), SEEK_CUR));
  }
}

}  // namespace castles
