#pragma once
// The message for input that does not follow the description: what the
// reader wanted, what it found, and where.

#include <string>

#include "input_error.hpp"

namespace castles {

// One line for standard error, without the newline:
// "castles: expected ..., found ... at line L, column C". Nothing but
// printable ASCII: the token is shown with other bytes as \xNN, in at most
// kKeptTokenBytes characters.
std::string describe(const InputError& error);

}  // namespace castles
