#pragma once
// The status line a person at a terminal sees on a long run: what the run is
// doing and how far it has got, on standard error, redrawn in place, and
// erased before the answer or an error message so that neither shares the
// screen with it. Runs whose standard error is not a terminal never see it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "byte_source.hpp"
#include "exclusion.hpp"
#include "reader.hpp"

namespace castles {

// When the line first appears and how often it may change. The program runs
// with these defaults; tests shorten them.
struct ProgressTiming {
  std::chrono::steady_clock::duration delay = std::chrono::seconds(1);
  std::chrono::steady_clock::duration interval = std::chrono::milliseconds(200);
};

// @return the share of the exclusion stage's work done, in whole percent,
// never more than the truth: from the lcms done and the bound on those left
unsigned sharePercentAtLeast(const ExclusionProgress& progress);

class ProgressLine final : public ReadObserver, public ExclusionObserver {
 public:
  // @param in the run's input: when it is a terminal, a person is typing it,
  //        so the reading goes at their pace and is not shown, and the delay
  //        starts again with the exclusion stage
  // @param err where the line goes, if it is a terminal; otherwise nothing is
  //        ever written
  ProgressLine(int in, int err, ProgressTiming timing);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() { erase(); }

  void castlesRead(std::uint64_t done, std::uint64_t count) override;
  // Before a read of in: if in keeps the run waiting until the line is due,
  // the line shows where the reading waits.
  void awaitInput(int in);
  void bytesRead(std::size_t count);
  void advanced(const ExclusionProgress& progress) override;

  // Takes the line off the screen for good: called before the answer or a
  // message is written.
  void erase();

 private:
  enum class Stage { reading, excluding };

  void update();
  void draw();
  // Writes the line's text, without the terminal's controls, to the start
  // of text. @return its length, cut to fit
  std::size_t describe(std::span<char> text) const;
  [[nodiscard]] bool inForeground() const;

  int err_;
  bool active_;
  bool showReading_;
  bool shown_ = false;
  ProgressTiming timing_;
  std::chrono::steady_clock::time_point nextDraw_;
  Stage stage_ = Stage::reading;
  bool countRead_ = false;
  std::uint64_t castlesDone_ = 0;
  std::uint64_t castleCount_ = 0;
  std::uint64_t bytes_ = 0;
  ExclusionProgress exclusion_;
};

// The run's input, whose reads also move the line, so that it keeps moving
// through a castle of millions of blocks.
class WatchedSource final : public ByteSource {
 public:
  WatchedSource(int fd, ProgressLine& progress) : fd_(fd), source_(fd), progress_(progress) {}
  std::ptrdiff_t read(std::span<char> buffer) override;
  void unread(std::size_t count) override { source_.unread(count); }

 private:
  int fd_;
  FdSource source_;
  ProgressLine& progress_;
};

}  // namespace castles
