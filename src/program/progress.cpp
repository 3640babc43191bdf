#include "progress.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <string_view>

#include "descriptor.hpp"

namespace castles {
namespace {

// Back to the start of the line; the line cleared from the cursor on.
constexpr std::string_view kReturn = "\r";
constexpr std::string_view kClearRest = "\x1b[K";
constexpr std::string_view kEraseLine = "\r\x1b[K";

// Sizes under 10 MiB in KiB, larger ones in MiB, so that the number has a few
// digits that move.
struct ShownSize {
  unsigned long long amount;
  const char* unit;
};

ShownSize shownSize(std::uint64_t bytes) {
  if (bytes < (std::uint64_t{10} << 20)) {
    return {bytes >> 10, "KiB"};
  }
  return {bytes >> 20, "MiB"};
}

// The columns the terminal has, or 0 if it does not say.
std::size_t terminalWidth(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0) {
    return 0;
  }
  return size.ws_col;
}

}  // namespace

unsigned sharePercentAtLeast(const ExclusionProgress& progress) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t done = progress.lcmsDone;
  std::uint64_t left = progress.lcmsLeftAtMost;
  // Halving both until 100 * done and done + left fit; done rounds down and
  // left up, so the share can only come out lower.
  while (done > kMax / 100 || left > kMax - done) {
    done /= 2;
    left = left / 2 + 1;
  }
  const std::uint64_t total = done + left;
  return total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
}

ProgressLine::ProgressLine(int in, int err, ProgressTiming timing)
    : err_(err),
      active_(::isatty(err) == 1),
      showReading_(::isatty(in) != 1),
      timing_(timing),
      nextDraw_(std::chrono::steady_clock::now() + timing.delay) {}

void ProgressLine::castlesRead(std::uint64_t done, std::uint64_t count) {
  if (active_ && showReading_) {
    countRead_ = true;
    castlesDone_ = done;
    castleCount_ = count;
    update();
  }
}

void ProgressLine::awaitInput(int in) {
  if (!active_ || !showReading_) {
    return;
  }
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(nextDraw_ - std::chrono::steady_clock::now());
  if (wait.count() > 0) {
    // Input that arrives, an error and an interruption are all left to the read.
    pollfd ready{in, POLLIN, 0};
    const auto timeout =
        std::min<std::chrono::milliseconds::rep>(wait.count(), std::numeric_limits<int>::max());
    if (::poll(&ready, 1, static_cast<int>(timeout)) != 0) {
      return;
    }
  }
  update();
}

void ProgressLine::bytesRead(std::size_t count) {
  if (active_ && showReading_) {
    bytes_ += count;
    update();
  }
}

void ProgressLine::advanced(const ExclusionProgress& progress) {
  if (!active_) {
    return;
  }
  if (stage_ == Stage::reading && !showReading_) {
    // The wait for a person's typing was no part of a long run.
    nextDraw_ = std::chrono::steady_clock::now() + timing_.delay;
  }
  stage_ = Stage::excluding;
  exclusion_ = progress;
  update();
}

void ProgressLine::update() {
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextDraw_) {
    nextDraw_ = now + timing_.interval;
    draw();
  }
}

// The exclusion stage shows the index it has reached and a share of the work
// that is a lower bound, with no time left: the bound on the work left is
// exact only while no running values merge, and the time an lcm takes
// varies with the values (one lane in a batch inversion, or Euclid's loop
// when the batch cannot certify it), so an estimate of the time could be off
// by any factor in either direction.
std::size_t ProgressLine::describe(std::span<char> text) const {
  int length = 0;
  const ShownSize size = shownSize(bytes_);
  if (stage_ == Stage::reading && !countRead_) {
    length = std::snprintf(text.data(), text.size(), "castles: reading: %llu %s", size.amount,
                           size.unit);
  } else if (stage_ == Stage::reading) {
    length =
        std::snprintf(text.data(), text.size(), "castles: reading: %llu of %llu castles, %llu %s",
                      static_cast<unsigned long long>(castlesDone_),
                      static_cast<unsigned long long>(castleCount_), size.amount, size.unit);
  } else {
    length = std::snprintf(text.data(), text.size(),
                           "castles: exclusion LCMs: castle %llu of %llu, at least %u%% done",
                           static_cast<unsigned long long>(exclusion_.reached),
                           static_cast<unsigned long long>(exclusion_.count),
                           sharePercentAtLeast(exclusion_));
  }
  return std::min(static_cast<std::size_t>(std::max(length, 0)), text.size() - 1);
}

void ProgressLine::draw() {
  if (!inForeground()) {
    return;
  }
  std::array<char, 128> line{};
  line[0] = kReturn[0];
  std::size_t length = describe(std::span(line).subspan(1, line.size() - 1 - kClearRest.size()));
  // A line as wide as the terminal would wrap, and the carriage return would
  // then go back to its last row only.
  const std::size_t width = terminalWidth(err_);
  if (width > 1) {
    length = std::min(length, width - 1);
  }
  std::copy(kClearRest.begin(), kClearRest.end(), line.begin() + 1 + length);
  shown_ = true;
  // A line that cannot be written is no failure of the run: it stops.
  if (!writeAll(err_, std::string_view(line.data(), 1 + length + kClearRest.size()))) {
    active_ = false;
  }
}

void ProgressLine::erase() {
  if (shown_ && inForeground()) {
    static_cast<void>(writeAll(err_, kEraseLine));
  }
  shown_ = false;
  active_ = false;
}

// A job in the background must leave the terminal alone: writing there could
// stop it (with `stty tostop`) or scribble over what the foreground shows.
// Only a terminal that is this process's controlling one can tell; another
// is written to.
bool ProgressLine::inForeground() const {
  const pid_t group = ::tcgetpgrp(err_);
  return group < 0 || group == ::getpgrp();
}

std::ptrdiff_t WatchedSource::read(std::span<char> buffer) {
  progress_.awaitInput(fd_);
  const std::ptrdiff_t got = source_.read(buffer);
  if (got > 0) {
    progress_.bytesRead(static_cast<std::size_t>(got));
  }
  return got;
}

}  // namespace castles
