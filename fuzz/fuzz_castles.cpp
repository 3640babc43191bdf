// libFuzzer target: arbitrary bytes go through the program's own path (the
// streaming reader, perfectness, the exclusion count), and the run aborts as
// soon as a result breaks something that must hold for every input: the same
// result and the same bytes given back however the input is cut into reads,
// a message of printable ASCII, the same values and kind of fault as a plain
// second reading (text_model.hpp), and, for up to 64 castles, the same
// exclusion values as the naive fold.
//
// The first byte of a fuzz input says how the rest is cut into reads: a byte
// below 0x80 gives reads of (byte % 16) + 1 bytes, so that tokens straddle
// reads at every offset; any other byte gives reads as large as the reader
// asks for. The rest is what standard input would hold.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exclusion.hpp"
#include "memory_source.hpp"
#include "message.hpp"
#include "naive_exclusion.hpp"
#include "reader.hpp"
#include "text_model.hpp"

namespace {

// The reference fold is quadratic; past this many castles it would slow the
// fuzzer down more than larger inputs are worth.
constexpr std::size_t kMaxCheckedCastles = 64;

std::string join(std::span<const std::int64_t> values) {
  std::string text;
  for (const std::int64_t v : values) {
    text += (text.empty() ? "" : " ") + std::to_string(v);
  }
  return "{" + text + "}";
}

std::string show(const castles::ReadResult& result) {
  return join(result.perfectness) +
         (result.error ? " / " + castles::describe(*result.error) : std::string(" / no error"));
}

// libFuzzer keeps the input that got here; the message says which check failed.
[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_castles: %s\n", what.c_str());
  std::abort();
}

bool sameError(const castles::InputError& a, const castles::InputError& b) {
  return a.fault == b.fault && a.where == b.where && a.expected == b.expected && a.kind == b.kind &&
         a.found == b.found && a.foundLength == b.foundLength && a.foundCut == b.foundCut &&
         a.systemError == b.systemError;
}

bool sameResult(const castles::ReadResult& a, const castles::ReadResult& b) {
  if (a.perfectness != b.perfectness || a.error.has_value() != b.error.has_value()) {
    return false;
  }
  return !a.error || sameError(*a.error, *b.error);
}

std::string show(const std::optional<castles::InputFault>& fault) {
  return fault ? "fault " + std::to_string(static_cast<int>(*fault)) : "no fault";
}

void checkAgainstModel(std::string_view text, const castles::ReadResult& result) {
  const castles::fuzz::ModelResult model = castles::fuzz::TextModel(text).read();
  const std::optional<castles::InputFault> fault =
      result.error ? std::optional(result.error->fault) : std::nullopt;
  if (model.perfectness != result.perfectness || model.fault != fault) {
    fail("the reader gives " + join(result.perfectness) + " and " + show(fault) +
         ", the plain reading " + join(model.perfectness) + " and " + show(model.fault));
  }
}

void checkError(const castles::InputError& error) {
  if (error.fault == castles::InputFault::readFailed) {
    fail("a memory source reported a read failure");
  }
  // The driver writes this as the one line of standard error: printable
  // ASCII only, whatever bytes the token held.
  const std::string message = castles::describe(error);
  const bool printable =
      std::all_of(message.begin(), message.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
  if (message.rfind("castles: expected ", 0) != 0 || !printable) {
    fail("malformed message: " + message);
  }
}

void checkExclusion(std::span<const std::int64_t> perfectness) {
  const std::vector<std::int64_t> expected = castles::reference::naiveExclusionLcms(perfectness);
  const std::vector<std::int64_t> got = castles::exclusionLcms(perfectness);
  if (got != expected) {
    fail("exclusionLcms" + join(perfectness) + " = " + join(got) + ", the reference gives " +
         join(expected));
  }
  const std::size_t count = castles::countDistinctExclusionLcms(perfectness);
  if (count != expected.size()) {
    fail("countDistinctExclusionLcms" + join(perfectness) + " = " + std::to_string(count) +
         ", the reference gives " + std::to_string(expected.size()));
  }
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t chunk = data[0] < 0x80 ? (data[0] % 16U) + 1 : std::size_t{1} << 16;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  castles::MemorySource pieces(text, chunk);
  const castles::ReadResult result = castles::readCastles(pieces);
  // However the input is cut into reads, the reader must see the same thing,
  // and give back the same rest after the last integer.
  castles::MemorySource all(text);
  const castles::ReadResult whole = castles::readCastles(all);
  if (!sameResult(result, whole)) {
    fail("reads of " + std::to_string(chunk) + " bytes give " + show(result) + ", one read gives " +
         show(whole));
  }
  if (!result.error && pieces.rest() != all.rest()) {
    fail("reads of " + std::to_string(chunk) + " bytes leave " +
         std::to_string(pieces.rest().size()) + " bytes unread, one read leaves " +
         std::to_string(all.rest().size()));
  }
  checkAgainstModel(text, result);

  if (result.error) {
    checkError(*result.error);
  } else if (result.perfectness.size() <= kMaxCheckedCastles) {
    checkExclusion(result.perfectness);
  }
  return 0;
}
