#include <unistd.h>

#include "driver.hpp"

int main() { return castles::runCastles(STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO); }
