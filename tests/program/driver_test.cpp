#include "driver.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "child_process.hpp"
#include "limited_allocator.hpp"
#include "temp_file.hpp"

namespace castles {
namespace {

using testing::TempFile;

// Memory that runs out while the castles arrive ends in one message and
// status 1, not in an abort.
TEST(RunCastles, ReportsRunningOutOfMemory) {
  TempFile in;
  TempFile out;
  TempFile err;
  ASSERT_NE(in.file, nullptr);
  ASSERT_NE(out.file, nullptr);
  ASSERT_NE(err.file, nullptr);
  std::string input = "200000\n";
  for (int i = 0; i < 200000; ++i) {
    input += "0\n";
  }
  ASSERT_TRUE(in.holdOnly(input));

  int status = 0;
  {
    const testing::AllocationLimit limit(std::size_t{1} << 20);  // the values need 1.6 MB
    status = runCastles(in.fd(), out.fd(), err.fd());
  }

  EXPECT_EQ(status, kExitFailure);
  EXPECT_EQ(out.contents(), "");
  EXPECT_EQ(err.contents(), "castles: out of memory\n");
}

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe(fds) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() { testing::closeDescriptor(read); }
  void closeWrite() { testing::closeDescriptor(write); }
};

// Standard output left non-blocking, with a reader that is behind: the answer
// waits for room in the pipe instead of failing as a write error.
TEST(RunCastles, WaitsForRoomOnANonBlockingOutput) {
  Pipe in;
  Pipe out;
  Pipe err;
  ASSERT_GE(in.read, 0);
  ASSERT_GE(out.read, 0);
  ASSERT_GE(err.read, 0);
  const std::string_view input = "3\n1 2 3\n1 2 2\n2 3 1 2 1\n";
  ASSERT_EQ(::write(in.write, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  in.closeWrite();

  ASSERT_EQ(::fcntl(out.write, F_SETFL, ::fcntl(out.write, F_GETFL) | O_NONBLOCK), 0);
  const std::string filler(4096, '.');
  std::size_t filled = 0;
  for (;;) {
    const ssize_t wrote = ::write(out.write, filler.data(), filler.size());
    if (wrote < 0) {
      ASSERT_EQ(errno, EAGAIN);
      break;
    }
    filled += static_cast<std::size_t>(wrote);
  }

  std::string drained;
  std::thread reader([&drained, fd = out.read] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
      drained.append(buffer, static_cast<std::size_t>(got));
    }
  });
  const int status = runCastles(in.read, out.write, err.write);
  out.closeWrite();
  reader.join();
  err.closeWrite();
  char message[256];
  const ssize_t messageLength = ::read(err.read, message, sizeof message);

  EXPECT_EQ(status, kExitSuccess);
  EXPECT_EQ(messageLength, 0) << std::string_view(
      message, messageLength > 0 ? static_cast<std::size_t>(messageLength) : 0);
  ASSERT_EQ(drained.size(), filled + 2);
  EXPECT_EQ(drained.substr(filled), "3\n");
}

void ignoreSignal(int /*signal*/) {}

// A signal whose handler was installed without SA_RESTART interrupts the
// program's read of a blocking input, or its wait on a non-blocking one: it
// reads on, and the answer comes as if nothing had happened.
TEST(RunCastles, ReadsOnThroughInterruptingSignals) {
  struct sigaction interrupting {};
  interrupting.sa_handler = ignoreSignal;
  ::sigemptyset(&interrupting.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, &interrupting, &before), 0);
  for (const bool nonBlocking : {false, true}) {
    Pipe in;
    TempFile out;
    TempFile err;
    ASSERT_GE(in.read, 0);
    ASSERT_TRUE(out.file != nullptr && err.file != nullptr);
    if (nonBlocking) {
      ASSERT_EQ(::fcntl(in.read, F_SETFL, ::fcntl(in.read, F_GETFL) | O_NONBLOCK), 0);
    }
    // The signals come while the program waits for input that has not come.
    std::thread interrupter([reader = ::pthread_self(), &in] {
      for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ::pthread_kill(reader, SIGUSR1);
      }
      const std::string_view input = "3 1 2 3 1 2 2 2 3 1 2 1\n";
      static_cast<void>(::write(in.write, input.data(), input.size()));
      in.closeWrite();
    });
    const int status = runCastles(in.read, out.fd(), err.fd());
    interrupter.join();
    EXPECT_EQ(status, kExitSuccess) << nonBlocking << ": " << err.contents();
    EXPECT_EQ(out.contents(), "3\n") << nonBlocking;
  }
  ::sigaction(SIGUSR1, &before, nullptr);
}

}  // namespace
}  // namespace castles
