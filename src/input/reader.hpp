#pragma once
// The grammar of the castle description: the castle count, then each castle's
// block count and blocks, read through the scanner and handed block by block
// to the perfectness fold, so that memory grows with the number of castles
// actually present, never with a count the input announces.

#include <cstdint>
#include <optional>
#include <vector>

#include "byte_source.hpp"
#include "input_error.hpp"

namespace castles {

struct ReadResult {
  std::vector<std::int64_t> perfectness;  // one value per castle, in input order
  std::optional<InputError> error;
};

// Told how many castles are complete, of the count announced: once the count
// is read, then every 1024 castles. It is called from the reading loop, so it
// must be quick.
class ReadObserver {
 public:
  virtual void castlesRead(std::uint64_t done, std::uint64_t count) = 0;
  // An observer that takes no notice.
  static ReadObserver& none();

 protected:
  ReadObserver() = default;
  ReadObserver(const ReadObserver&) = default;
  ReadObserver& operator=(const ReadObserver&) = default;
  ~ReadObserver() = default;
};

// Reads the castle count, then every castle, computing each perfectness as soon
// as its last block is read. Stops at the byte that ends the last announced
// integer: nothing after it is inspected, so trailing data of any kind is
// ignored, and the bytes read beyond it are given back to the source. On an
// error, perfectness holds the castles completed before it.
ReadResult readCastles(ByteSource& source, ReadObserver& observer = ReadObserver::none());

}  // namespace castles
