#include "reader.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "perfectness.hpp"
#include "scanner.hpp"

namespace castles {
namespace {

std::string castleName(std::uint64_t index) { return "castle " + std::to_string(index + 1); }

std::string blockName(std::uint64_t block, std::uint64_t castle) {
  return "block " + std::to_string(block + 1) + " of " + castleName(castle);
}

// Ends the reading with the scanner's fault, while looking for `expected`.
// Takes the fault, not the scanner: the scanner's address must not escape,
// so that its pointers stay in registers.
ReadResult failed(ReadResult& result, const ScanFault& fault, std::string expected, Kind kind) {
  result.error = InputError{fault.fault, fault.where,       std::move(expected), kind,
                            fault.token, fault.tokenLength, fault.tokenCut,      fault.systemError};
  return std::move(result);
}

// Where the reading of a castle's blocks stopped.
struct BlocksRead {
  std::uint64_t block;  // the block whose scan failed
  const char* member;   // "the base of " or "the exponent of " it; nullptr if none failed
};

// Reads the blocks of a castle of ti blocks into castle: whole runs of the
// integers the scanner has parsed ahead, and a block at a time where it has
// fewer than two. Always inlined, so that the scanner's address does not
// escape.
[[gnu::always_inline]] inline BlocksRead readBlocks(Scanner& scanner, PerfectnessFold& castle,
                                                    std::uint64_t ti, bool lastCastle) {
  for (std::uint64_t j = 0; j < ti;) {
    const std::span<const std::int32_t> ahead = scanner.ahead();
    const auto run = static_cast<std::size_t>(std::min<std::uint64_t>(ti - j, ahead.size() / 2));
    if (run != 0) {
      castle.add(ahead.first(2 * run));
      scanner.take(2 * run);
      j += run;
      continue;
    }
    std::int32_t Pij = 0;  // the base of block j
    std::int32_t Cij = 0;  // its exponent
    if (!scanner.next<Kind::value>(Ending::spaced, Pij)) {
      return {j, "the base of "};
    }
    const Ending ending = lastCastle && j + 1 == ti ? Ending::last : Ending::spaced;
    if (!scanner.next<Kind::value>(ending, Cij)) {
      return {j, "the exponent of "};
    }
    castle.add(Block{Pij, Cij});
    ++j;
  }
  return {ti, nullptr};
}

}  // namespace

ReadObserver& ReadObserver::none() {
  class Nobody final : public ReadObserver {
   public:
    void castlesRead(std::uint64_t /*done*/, std::uint64_t /*count*/) override {}
  };
  static Nobody nobody;
  return nobody;
}

ReadResult readCastles(ByteSource& source, ReadObserver& observer) {
  ReadResult result;
  Scanner scanner(source);
  PerfectnessFold castle;

  std::int32_t count = 0;
  if (!scanner.next<Kind::count>(Ending::lastIfZero, count)) {
    return failed(result, scanner.fault(), "the castle count", Kind::count);
  }
  const auto n = static_cast<std::uint64_t>(count);
  // Reserve for what is likely, not for what is announced: the vector grows
  // with the castles that actually arrive.
  result.perfectness.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, 4096)));
  for (std::uint64_t i = 0; i < n; ++i) {
    if (i % 1024 == 0) {
      observer.castlesRead(i, n);
    }
    const bool lastCastle = i + 1 == n;
    std::int32_t blocks = 0;
    if (!scanner.next<Kind::count>(lastCastle ? Ending::lastIfZero : Ending::spaced, blocks)) {
      return failed(result, scanner.fault(), "the block count of " + castleName(i), Kind::count);
    }
    const BlocksRead read =
        readBlocks(scanner, castle, static_cast<std::uint64_t>(blocks), lastCastle);
    if (read.member != nullptr) {
      return failed(result, scanner.fault(), read.member + blockName(read.block, i), Kind::value);
    }
    result.perfectness.push_back(castle.finish());
  }
  scanner.unreadRest();
  return result;
}

}  // namespace castles
