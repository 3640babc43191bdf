// End-to-end runs of the built executable through pipes.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.hpp"

namespace castles {
namespace {

using castles::testing::ChildProcess;
using castles::testing::Outcome;
using castles::testing::runWithInput;

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
      "",         "3 1 2 3 1 2",  "1 1 x 2",     "1 1 3.5 2",          "1 1 12abc 2",
      "1 1 - 2",  "1 1 2147483648 1", "1 1 1 -2147483649", "-1", "2 1 2 2 -5",
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
// is still open: a caller may wait for it before closing the pipe.
TEST(Cli, AnswersBeforeInputCloses) {
  ChildProcess child(CASTLES_EXECUTABLE);
  ASSERT_TRUE(child.started());
  const bool answered = child.pump("3\n1 2 3\n1 2 2\n2 3 1 2 1\n", 2, std::chrono::seconds(30));
  EXPECT_TRUE(answered) << "no answer within the time limit while stdin stayed open";
  EXPECT_EQ(child.outputSoFar(), "3\n");
  const Outcome o = child.finish("", std::chrono::seconds(30));
  EXPECT_EQ(o.status, 0);
}

}  // namespace
}  // namespace castles
