#include "message.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace castles {
namespace {

// @return how a byte of a token is shown: itself if printable ASCII, a
// backslash doubled, anything else as \xNN
std::string shownByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (c == '\\') {
    return "\\\\";
  }
  if (byte >= 0x20 && byte < 0x7f) {
    return std::string(1, c);
  }
  constexpr std::string_view kHex = "0123456789abcdef";
  return {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xfU]};
}

// @return the token quoted as shown: as many of its bytes as fit whole in
// kKeptTokenBytes characters, then its length if that was not all of it, as
// a lower bound if the token was cut
std::string shownToken(std::string_view token, std::uint64_t length, bool cut) {
  std::string shown;
  std::uint64_t bytesShown = 0;
  for (const char c : token) {
    const std::string piece = shownByte(c);
    if (shown.size() + piece.size() > kKeptTokenBytes) {
      break;
    }
    shown += piece;
    ++bytesShown;
  }
  if (cut) {
    shown += "... (more than " + std::to_string(length) + " bytes)";
  } else if (bytesShown < length) {
    shown += "... (" + std::to_string(length) + " bytes)";
  }
  return "'" + shown + "'";
}

}  // namespace

std::string describe(const InputError& error) {
  std::string found;
  std::string expected = error.expected;
  switch (error.fault) {
    case InputFault::unexpectedEnd:
      found = "the end of the input";
      break;
    case InputFault::readFailed:
      found = std::string("a read error (") + std::strerror(error.systemError) + ")";
      break;
    case InputFault::notAnInteger:
      expected += " (an integer)";
      found = shownToken(error.found, error.foundLength, error.foundCut);
      break;
    case InputFault::outOfRange:
    case InputFault::negativeCount:
      expected += error.kind == Kind::count ? " (an integer from 0 to 2147483647)"
                                            : " (an integer from -2147483648 to 2147483647)";
      found = shownToken(error.found, error.foundLength, error.foundCut);
      break;
  }
  return "castles: expected " + expected + ", found " + found + " at line " +
         std::to_string(error.where.line) + ", column " + std::to_string(error.where.column);
}

}  // namespace castles
