#include <unistd.h>

#include <csignal>

#include "driver.hpp"

int main() {
  // A reader that went away must end in status 1 and a message like any other
  // failed write, not in death by SIGPIPE.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  return castles::runCastles(STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
}
