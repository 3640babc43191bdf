#include "reader.hpp"

#include <algorithm>
#include <cstdint>
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
    const auto ti = static_cast<std::uint64_t>(blocks);
    for (std::uint64_t j = 0; j < ti; ++j) {
      std::int32_t Pij = 0;  // the base of block j of castle i
      std::int32_t Cij = 0;  // its exponent
      if (!scanner.next<Kind::value>(Ending::spaced, Pij)) {
        return failed(result, scanner.fault(), "the base of " + blockName(j, i), Kind::value);
      }
      const Ending ending = lastCastle && j + 1 == ti ? Ending::last : Ending::spaced;
      if (!scanner.next<Kind::value>(ending, Cij)) {
        return failed(result, scanner.fault(), "the exponent of " + blockName(j, i), Kind::value);
      }
      castle.add(Block{Pij, Cij});
    }
    result.perfectness.push_back(castle.finish());
  }
  scanner.unreadRest();
  return result;
}

}  // namespace castles
