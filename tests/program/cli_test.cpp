// End-to-end runs of the built executable through pipes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.hpp"
#include "temp_file.hpp"

namespace castles {
namespace {

using castles::testing::ChildProcess;
using castles::testing::Outcome;
using castles::testing::runWithInput;
using castles::testing::TempFile;

Outcome run(const std::string& input) { return runWithInput(CASTLES_EXECUTABLE, input); }

void expectAnswer(const std::string& input, const std::string& answer) {
  const Outcome o = run(input);
  EXPECT_FALSE(o.timedOut) << input;
  EXPECT_EQ(o.out, answer) << input;
  EXPECT_EQ(o.err, "") << input;
  EXPECT_EQ(o.status, 0) << input;
}

TEST(Cli, ShippedExamplePrintsThree) {
  std::ifstream file(CASTLES_EXAMPLES_DIR "/three-castles.txt");
  std::stringstream text;
  text << file.rdbuf();
  ASSERT_FALSE(text.str().empty());
  expectAnswer(text.str(), "3\n");
}

TEST(Cli, AnswersWellFormedInput) {
  struct Case {
    std::string input;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"3 1 2 3 1 2 2 2 3 1 2 1", "3\n"},
      {"3\n1\n2\n3\n1\n2\n2\n2\n3\n1\n2\n1\n", "3\n"},
      {"3\r\n1 2 3\r\n1 2 2\r\n2 3 1 2 1\r\n", "3\n"},
      {"3 1 2 3 1 2 2 2 3 1 2 1 then anything: 9 9 9 \x01\xff", "3\n"},
      {"0", "0\n"},
      {"1 2 0 -1 7 7", "1\n"},
      {"3 1 6 1 1 6 1 1 2 2", "2\n"},
      // Two zero perfectness values: every exclusion meets lcm(0, 0) or keeps a zero.
      {"3 1 0 1 1 0 1 1 5 1", "1\n"},
      {"4 1 0 1 1 0 1 1 0 1 1 7 1", "1\n"},
  };
  for (const Case& c : cases) {
    expectAnswer(c.input, c.answer);
  }
}

// Malformed input: nothing on stdout, one "castles: " line on stderr, status 1.
TEST(Cli, RefusesMalformedInput) {
  const std::vector<std::string> inputs = {
      "",           "3 1 2 3 1 2",      "1 1 x 2",           "1 1 3.5 2", "1 1 12abc 2",
      "1 1 - 2",    "1 1 2147483648 1", "1 1 1 -2147483649", "-1",        "2 1 2 2 -5",
      "2000000000",
  };
  for (const std::string& input : inputs) {
    const Outcome o = run(input);
    EXPECT_FALSE(o.timedOut) << input;
    EXPECT_EQ(o.status, 1) << input;
    EXPECT_EQ(o.out, "") << input;
    EXPECT_EQ(o.err.rfind("castles: expected ", 0), 0U) << input << " -> " << o.err;
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << input << " -> " << o.err;
  }
}

// The answer comes as soon as the last integer is complete, while the input
// is still open: a caller may wait for it before closing the pipe. The
// program has read the first part, and waits for more, before the rest comes;
// an input left non-blocking is waited on all the same.
TEST(Cli, AnswersBeforeInputCloses) {
  const std::chrono::seconds limit(30);
  for (const bool nonBlocking : {false, true}) {
    ChildProcess child(CASTLES_EXECUTABLE, [nonBlocking] {
      if (nonBlocking && ::fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK) != 0) {
        ::_exit(126);
      }
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.feed("3\n1 2 3\n1 2", limit));
    ASSERT_TRUE(child.waitUntilTaken(limit));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const bool answered = child.pump(" 2\n2 3 1 2 1\n", 2, limit);
    EXPECT_TRUE(answered) << nonBlocking << ": no answer while stdin stayed open";
    EXPECT_EQ(child.outputSoFar(), "3\n") << nonBlocking;
    const Outcome o = child.finish("", limit);
    EXPECT_EQ(o.status, 0) << nonBlocking;
  }
}

// The answer cannot be written when its reader is gone: status 1 and the
// one line, not death by SIGPIPE.
TEST(Cli, ReportsAnAnswerItCannotWrite) {
  ChildProcess child(CASTLES_EXECUTABLE);
  ASSERT_TRUE(child.started());
  child.closeOutput();
  const Outcome o = child.finish("3 1 2 3 1 2 2 2 3 1 2 1", std::chrono::seconds(30));
  EXPECT_FALSE(o.timedOut);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "castles: cannot write the answer: Broken pipe\n");
}

// Past the file-size limit the answer cannot be written either: the same
// status 1 and one line as for a closed pipe, not death by SIGXFSZ. A file
// that took part of the answer is cut back to its length and offset before,
// whether it was written at its end or appended to.
TEST(Cli, ReportsAnAnswerBeyondTheFileSizeLimit) {
  struct Case {
    std::string before;
    rlim_t limit;
    bool append;
  };
  const std::vector<Case> cases = {
      {"", 0, false},
      {"", 1, false},
      {std::string(1023, '\0'), 1024, true},
  };
  for (const Case& c : cases) {
    const TempFile out;
    ASSERT_TRUE(out.file != nullptr && out.holdOnly(c.before));
    ChildProcess child(CASTLES_EXECUTABLE, [&c, fd = out.fd()] {
      const rlimit fileSize{c.limit, c.limit};
      if (::dup2(fd, STDOUT_FILENO) < 0 || (c.append && ::fcntl(fd, F_SETFL, O_APPEND) != 0) ||
          ::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
        ::_exit(126);
      }
    });
    ASSERT_TRUE(child.started());
    const Outcome o = child.finish("3 1 2 3 1 2 2 2 3 1 2 1", std::chrono::seconds(30));
    EXPECT_FALSE(o.timedOut);
    EXPECT_EQ(o.status, 1) << c.limit;
    EXPECT_EQ(o.err, "castles: cannot write the answer: File too large\n") << c.limit;
    EXPECT_EQ(::lseek(out.fd(), 0, SEEK_CUR), 0) << c.limit;
    EXPECT_EQ(out.contents(), c.before) << c.limit;
  }
}

// The bytes of a faulty token reach standard error only as printable ASCII:
// an escape sequence is shown, not sent to the terminal.
TEST(Cli, ShowsControlBytesOfATokenAsEscapes) {
  const Outcome o = run("1 1 \x1b[31mRED 2\n");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "castles: expected the base of block 1 of castle 1 (an integer), found "
            "'\\x1b[31mRED' at line 1, column 5\n");
}

// Standard input that is a regular file is left just after the last integer,
// as line-oriented tools leave it, so that whoever reads the same open file
// next, as in (castles; cat) < file, sees the rest.
TEST(Cli, LeavesAFileInputRightAfterTheDescription) {
  const std::string farTail(200000, '7');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"3\n1 2 3\n1 2 2\n2 3 1 2 1\nand the rest\n", "\nand the rest\n"},
      {"0 9 9", " 9 9"},
      {"1 1 2 3x", "x"},
      {"1 1 2 3", ""},
      {std::string(100000, ' ') + "1 1 2\n3\n" + farTail, "\n" + farTail},
  };
  for (const auto& [input, rest] : cases) {
    const TempFile in;
    ASSERT_TRUE(in.file != nullptr && in.holdOnly(input));
    ChildProcess child(CASTLES_EXECUTABLE, [fd = in.fd()] {
      if (::dup2(fd, STDIN_FILENO) < 0) {
        ::_exit(126);
      }
    });
    ASSERT_TRUE(child.started());
    const Outcome o = child.finish("", std::chrono::seconds(30));
    EXPECT_EQ(o.status, 0) << input.substr(0, 40) << ": " << o.err;
    EXPECT_EQ(in.rest(), rest) << input.substr(0, 40);
  }
}

// A run of bytes far longer than any buffer, streamed through a pipe that
// stays open. A token that cannot be an integer ends the run once 65536 of
// its bytes are read, as /dev/zero's first NUL does, with the usual one line
// giving its length as a lower bound; white space is read to the end. The
// program's memory does not grow with the run.
TEST(Cli, EnormousTokenEndsInOneLine) {
  constexpr std::size_t kRunBytes = std::size_t{256} << 20;
  constexpr std::size_t kPieceBytes = std::size_t{64} << 10;
  const std::chrono::seconds limit(60);
  const std::string base = "castles: expected the base of block 1 of castle 1";
  const std::string cut = "... (more than 65536 bytes)'";
  struct Case {
    std::string prefix;
    char fill;
    std::string message;
    bool endsBeforeInputCloses;
  };
  const std::vector<Case> cases = {
      {"1 1 ", '7',
       base + " (an integer from -2147483648 to 2147483647), found '" + std::string(40, '7') + cut +
           " at line 1, column 5\n",
       true},
      {"1 1 ", 'x',
       base + " (an integer), found '" + std::string(40, 'x') + cut + " at line 1, column 5\n",
       true},
      {"", '\0',
       "castles: expected the castle count (an integer), found '\\x00\\x00\\x00\\x00\\x00"
       "\\x00\\x00\\x00\\x00\\x00" +
           cut + " at line 1, column 1\n",
       true},
      {"1 1 ", ' ',
       base + ", found the end of the input at line 1, column " + std::to_string(kRunBytes + 5) +
           "\n",
       false},
  };
  for (const Case& c : cases) {
    ChildProcess child(CASTLES_EXECUTABLE);
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.feed(c.prefix, limit));
    const std::string piece(kPieceBytes, c.fill);
    for (std::size_t sent = 0; sent < kRunBytes && !child.outputsClosed(); sent += kPieceBytes) {
      ASSERT_TRUE(child.feed(piece, limit)) << int{c.fill} << ": stuck after " << sent;
    }
    EXPECT_EQ(child.outputsClosed(), c.endsBeforeInputCloses) << int{c.fill};
    const Outcome o = child.finish("", limit);
    EXPECT_FALSE(o.timedOut) << int{c.fill};
    EXPECT_EQ(o.status, 1) << int{c.fill};
    EXPECT_EQ(o.out, "") << int{c.fill};
    EXPECT_EQ(o.err, c.message);
  }
  // Every child has been waited for, so this is the largest peak of theirs.
  rusage children{};
  ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &children), 0);
  EXPECT_LT(static_cast<std::size_t>(children.ru_maxrss) * 1024, kRunBytes / 4)
      << "peak resident KiB: " << children.ru_maxrss;
}

}  // namespace
}  // namespace castles
