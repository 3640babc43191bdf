#include "driver.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "descriptor.hpp"
#include "exclusion.hpp"
#include "message.hpp"
#include "progress.hpp"
#include "reader.hpp"

namespace castles {
namespace {

int failWith(int err, const std::string& message) {
  // If standard error itself is gone there is nobody left to tell.
  static_cast<void>(writeAll(err, message + "\n"));
  return kExitFailure;
}

}  // namespace

int runCastles(int in, int out, int err, const ProgressTiming& timing) {
  ProgressLine progress(in, err, timing);
  try {
    WatchedSource source(in, progress);
    const ReadResult input = readCastles(source, progress);
    if (input.error) {
      progress.erase();
      return failWith(err, describe(*input.error));
    }
    const std::size_t count = countDistinctExclusionLcms(input.perfectness, progress);
    progress.erase();
    if (!writeAllOrNothing(out, std::to_string(count) + "\n")) {
      return failWith(err,
                      std::string("castles: cannot write the answer: ") + std::strerror(errno));
    }
    return kExitSuccess;
  } catch (const std::bad_alloc&) {
    progress.erase();
    return failWith(err, "castles: out of memory");
  }
}

}  // namespace castles
