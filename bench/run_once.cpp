// Runs one program on one input: fork, exec, a pipe for its output read under
// a deadline, and wait4 for its time and peak memory.

#include "run_once.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace castles::bench {
namespace {

using Clock = std::chrono::steady_clock;

// A run that takes longer than this is treated as hung: the child is killed
// and the benchmark fails rather than outlasting its time budget.
constexpr auto kRunLimit = std::chrono::minutes(5);

std::string systemMessage(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// Starts program with input on standard input and its standard output on a
// pipe, in a process group of its own, so that a hung run can be killed along
// with anything it started. Standard error passes through, so that a failing
// program explains itself.
// @return the child; `output` is the pipe's read end
pid_t spawn(const std::string& program, const std::filesystem::path& input, int& output) {
  const int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    fail(systemMessage(("cannot open " + input.string()).c_str()));
  }
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    fail(systemMessage("pipe"));
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    fail(systemMessage("fork"));
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    // dup2 leaves the new descriptors open across exec.
    if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(out[1], STDOUT_FILENO) < 0) {
      ::_exit(126);
    }
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in);
  ::close(out[1]);
  output = out[0];
  return pid;
}

// Appends to text what fd gives until it is closed, normally by the child
// exiting.
// @return false if the deadline came first, or poll itself failed: either
//         way the child must be stopped
bool readAll(int fd, Clock::time_point deadline, std::string& text) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd ready{fd, POLLIN, 0};
    const int count = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return true;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

std::string describeStatus(int status) {
  return WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status));
}

}  // namespace

[[noreturn]] void fail(const std::string& message) {
  std::cout.flush();
  std::cerr << "castles_bench_runner: " << message << std::endl;
  std::exit(1);
}

Run runOnce(const std::string& program, const std::filesystem::path& input) {
  const Clock::time_point start = Clock::now();
  int output = -1;
  const pid_t pid = spawn(program, input, output);
  Run run;
  const bool hung = !readAll(output, start + kRunLimit, run.out);
  ::close(output);
  if (hung) {
    ::kill(-pid, SIGKILL);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      fail(systemMessage("wait4"));
    }
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peakKiB = usage.ru_maxrss;
  const std::string what = program + " < " + input.string();
  if (hung) {
    fail(what + " ran longer than " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kRunLimit).count()) +
         " s and was killed");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail(what + " failed (" + describeStatus(status) + ")");
  }
  return run;
}

}  // namespace castles::bench
