#include "progress.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "driver.hpp"
#include "temp_file.hpp"

namespace castles {
namespace {

using testing::TempFile;

constexpr std::string_view kErase = "\r\x1b[K";
// Every report drawn at once, so that what a run draws does not depend on the clock.
constexpr ProgressTiming kAtOnce{std::chrono::seconds(0), std::chrono::seconds(0)};

// A pseudo-terminal whose terminal side the program writes to, while a
// thread collects what arrives at the other side. Output processing is off,
// so the bytes arrive as written.
class PseudoTerminal {
 public:
  explicit PseudoTerminal(int access = O_RDWR) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      return;
    }
    terminal_ = ::open(::ptsname(master_), access | O_NOCTTY);
    termios mode{};
    if (terminal_ < 0 || ::tcgetattr(terminal_, &mode) != 0) {
      return;
    }
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(terminal_, TCSANOW, &mode);
    collector_ = std::thread([this] {
      char buffer[4096];
      ssize_t got = 0;
      // Ends with EIO once the terminal side is closed.
      while ((got = ::read(master_, buffer, sizeof buffer)) > 0) {
        written_.append(buffer, static_cast<std::size_t>(got));
      }
    });
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;
  ~PseudoTerminal() {
    static_cast<void>(closeAndCollect());
    testing::closeDescriptor(master_);
  }

  int terminal() const { return terminal_; }

  // Sends text as if typed at the terminal. @return whether all of it went
  bool type(std::string_view text) const {
    return ::write(master_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Closes the terminal side. @return everything written to it
  const std::string& closeAndCollect() {
    testing::closeDescriptor(terminal_);
    if (collector_.joinable()) {
      collector_.join();
    }
    return written_;
  }

 private:
  int master_ = -1;
  int terminal_ = -1;
  std::thread collector_;
  std::string written_;
};

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome runWithError(std::string_view input, int err, const ProgressTiming& timing) {
  TempFile in;
  TempFile out;
  if (in.file == nullptr || out.file == nullptr || !in.holdOnly(input)) {
    return {};
  }
  const int status = runCastles(in.fd(), out.fd(), err, timing);
  return {status, out.contents()};
}

// More castles than the reader reports at a time, with small values, so
// that the exclusion stage is quick.
std::string manyCastles() {
  std::string input = "1500\n";
  for (int i = 0; i < 1500; ++i) {
    input += "1 " + std::to_string(2 + i % 7) + " 1\n";
  }
  return input;
}

// The lines drawn, each without the carriage return before it and the clear
// after it; fails the test if any is not framed so.
std::vector<std::string> linesDrawn(std::string_view written) {
  std::vector<std::string> lines;
  while (written.starts_with('\r')) {
    const std::size_t end = written.find(kErase.substr(1));
    EXPECT_NE(end, std::string_view::npos) << written;
    lines.emplace_back(written.substr(1, end - 1));
    written.remove_prefix(std::min(end + kErase.size() - 1, written.size()));
  }
  EXPECT_EQ(written, "") << "after the lines drawn";
  return lines;
}

bool contains(const std::vector<std::string>& lines, std::string_view line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A long run on a terminal shows both stages and ends with the line erased;
// the answer and the status are those of a run whose standard error is a
// file, which gets nothing.
TEST(ProgressLine, ShowsBothStagesThenErasesItself) {
  const std::string input = manyCastles();
  TempFile err;
  ASSERT_NE(err.file, nullptr);
  const Outcome quiet = runWithError(input, err.fd(), kAtOnce);
  ASSERT_EQ(quiet.status, kExitSuccess);
  EXPECT_EQ(err.contents(), "");

  PseudoTerminal terminal;
  ASSERT_GE(terminal.terminal(), 0);
  const Outcome shown = runWithError(input, terminal.terminal(), kAtOnce);
  const std::string& written = terminal.closeAndCollect();

  EXPECT_EQ(shown.status, quiet.status);
  EXPECT_EQ(shown.out, quiet.out);
  EXPECT_TRUE(written.ends_with(kErase)) << written;
  const std::vector<std::string> lines = linesDrawn(written);
  EXPECT_TRUE(contains(lines, "castles: reading: 1024 of 1500 castles, 8 KiB")) << written;
  EXPECT_TRUE(contains(lines, "castles: exclusion LCMs: castle 1500 of 1500, at least 100% done"))
      << written;
  EXPECT_EQ(lines.back(), "") << "the erase comes last";
}

// An error message is written after the line is erased, so that it stands
// alone on the screen.
TEST(ProgressLine, ErasedBeforeAnErrorMessage) {
  const std::string input = "3\n1 2 3\n1 2 x\n";
  TempFile err;
  ASSERT_NE(err.file, nullptr);
  ASSERT_EQ(runWithError(input, err.fd(), kAtOnce).status, kExitFailure);
  const std::string message = err.contents();
  ASSERT_TRUE(message.starts_with("castles: expected")) << message;

  PseudoTerminal terminal;
  ASSERT_GE(terminal.terminal(), 0);
  EXPECT_EQ(runWithError(input, terminal.terminal(), kAtOnce).status, kExitFailure);
  const std::string& written = terminal.closeAndCollect();

  ASSERT_TRUE(written.ends_with(message)) << written;
  const std::string_view before =
      std::string_view(written).substr(0, written.size() - message.size());
  EXPECT_TRUE(before.starts_with("\rcastles: reading: ")) << written;
  EXPECT_TRUE(before.ends_with(kErase)) << written;
}

// Runs that end before the delay draw nothing; the real delay is a second,
// and an hour here keeps the test from depending on the machine's speed.
TEST(ProgressLine, NothingBeforeTheDelay) {
  PseudoTerminal terminal;
  ASSERT_GE(terminal.terminal(), 0);
  const Outcome run = runWithError(manyCastles(), terminal.terminal(),
                                   ProgressTiming{std::chrono::hours(1), std::chrono::seconds(0)});
  EXPECT_EQ(run.status, kExitSuccess);
  EXPECT_EQ(terminal.closeAndCollect(), "");
}

// A terminal that refuses the line (here one opened for reading only) does
// not change the answer or the status.
TEST(ProgressLine, ATerminalThatRefusesTheLineIsNoError) {
  const std::string input = manyCastles();
  PseudoTerminal terminal(O_RDONLY);
  ASSERT_GE(terminal.terminal(), 0);
  ASSERT_EQ(::isatty(terminal.terminal()), 1);
  const Outcome shown = runWithError(input, terminal.terminal(), kAtOnce);
  TempFile err;
  ASSERT_NE(err.file, nullptr);
  const Outcome quiet = runWithError(input, err.fd(), kAtOnce);
  EXPECT_EQ(shown.status, kExitSuccess);
  EXPECT_EQ(shown.out, quiet.out);
}

// Input typed at a terminal comes at a person's pace: the reading is not
// shown, and the exclusion stage is.
TEST(ProgressLine, InputFromATerminalIsNotShownAsReading) {
  PseudoTerminal keyboard;
  PseudoTerminal screen;
  TempFile out;
  ASSERT_GE(keyboard.terminal(), 0);
  ASSERT_GE(screen.terminal(), 0);
  ASSERT_NE(out.file, nullptr);
  ASSERT_TRUE(keyboard.type("3\n1 2 3\n1 2 2\n2 3 1 2 1\n"));

  const int status = runCastles(keyboard.terminal(), out.fd(), screen.terminal(), kAtOnce);
  const std::vector<std::string> lines = linesDrawn(screen.closeAndCollect());

  EXPECT_EQ(status, kExitSuccess);
  EXPECT_EQ(out.contents(), "3\n");
  EXPECT_TRUE(contains(lines, "castles: exclusion LCMs: castle 3 of 3, at least 100% done"));
  for (const std::string& line : lines) {
    EXPECT_FALSE(line.starts_with("castles: reading")) << line;
  }
}

// A run in the background of its terminal leaves that terminal alone: the
// run is in a process group of its own, in a session whose controlling
// terminal is the pseudo-terminal.
TEST(ProgressLine, NothingFromTheBackground) {
  TempFile in;
  TempFile out;
  ASSERT_NE(in.file, nullptr);
  ASSERT_NE(out.file, nullptr);
  ASSERT_TRUE(in.holdOnly(manyCastles()));
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string name = ::ptsname(master);
  // Held open here, so that the other side does not hang up when the run ends.
  const int held = ::open(name.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);

  const pid_t session = ::fork();
  if (session == 0) {
    const int terminal = ::setsid() < 0 ? -1 : ::open(name.c_str(), O_RDWR);
    const pid_t run = terminal < 0 ? -1 : ::fork();
    if (run == 0) {
      ::setpgid(0, 0);
      ::_exit(runCastles(in.fd(), out.fd(), terminal, kAtOnce));
    }
    int status = 0;
    ::_exit(run > 0 && ::waitpid(run, &status, 0) == run && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                              : 100);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(session, &status, 0), session);
  char buffer[256];
  const ssize_t got = ::read(master, buffer, sizeof buffer);
  const int readError = errno;
  ::close(held);
  ::close(master);

  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kExitSuccess);
  EXPECT_EQ(got, -1) << std::string_view(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
  EXPECT_EQ(readError, EAGAIN);
  EXPECT_NE(out.contents(), "");
}

// The share shown never overstates the work done, and comes within a
// percent of it: it rounds down, and counts near the top of 64 bits neither
// overflow nor come out high.
TEST(SharePercentAtLeast, NeverAboveTheTruth) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> cases = {
      {0, 5},
      {7, 0},
      {1, 2},
      {2, 1},
      {199, 1},
      {1, 199},
      {kMax / 2, kMax / 2},
      {kMax - 1, 1},
      {1, kMax - 1},
      {5, kMax - 2},
      {kMax, kMax},
      {kMax / 100 * 99, kMax / 100},
  };
  for (const auto& [done, left] : cases) {
    const auto truth = static_cast<unsigned>(static_cast<unsigned __int128>(done) * 100 /
                                             (static_cast<unsigned __int128>(done) + left));
    const unsigned shown = sharePercentAtLeast({0, 0, done, left});
    EXPECT_LE(shown, truth) << done << " done, " << left << " left";
    EXPECT_GE(shown + 1, truth) << done << " done, " << left << " left";
  }
  EXPECT_EQ(sharePercentAtLeast({}), 100U) << "no work at all is all done";
}

}  // namespace
}  // namespace castles
