#include <unistd.h>

#include <csignal>

#include "driver.hpp"

int main() {
  // A reader that went away, or an output file at its size limit, must end
  // in status 1 and a message like any other failed write, not in death by
  // SIGPIPE or SIGXFSZ: ignored, they make the write fail with EPIPE or EFBIG.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  return castles::runCastles(STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
}
