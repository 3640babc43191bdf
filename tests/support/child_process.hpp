#pragma once
// Runs an executable with pipes on its standard streams, for end-to-end tests.
// Input is written and output drained together through poll, so neither side
// can block the other, and every wait is bounded by a deadline.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace castles::testing {

// Closes fd if it is open and marks it closed.
inline void closeDescriptor(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 if it did not exit normally
  bool timedOut = false;
};

class ChildProcess {
 public:
  // @param inChild run in the child just before the executable starts, with
  //        the pipes in place: it may put other files on the standard streams
  //        or set limits
  explicit ChildProcess(const char* path, const std::function<void()>& inChild = {}) {
    int in[2];
    int out[2];
    int err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) {
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        ::close(fd);
      }
      // As from a shell, whatever this process does with these signals.
      ::signal(SIGPIPE, SIG_DFL);
      ::signal(SIGXFSZ, SIG_DFL);
      if (inChild) {
        inChild();
      }
      ::execl(path, path, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    ::fcntl(stdin_, F_SETFL, O_NONBLOCK);
    ::signal(SIGPIPE, SIG_IGN);  // the child may stop reading before we stop writing
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  ~ChildProcess() {
    closeInput();
    for (const int fd : {stdout_, stderr_}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0; }

  void closeInput() { closeDescriptor(stdin_); }

  // Stops reading the child's standard output, as a reader that went away.
  void closeOutput() { closeDescriptor(stdout_); }

  // Writes input (keeping stdin open) and collects output until stdout holds
  // at least `want` bytes or closes, or the deadline passes.
  // @return false on timeout
  bool pump(std::string_view input, std::size_t want, std::chrono::milliseconds limit,
            bool closeWhenWritten = false) {
    return serve(input, limit, closeWhenWritten, [&] { return outcome_.out.size() >= want; });
  }

  // Writes input (keeping stdin open), collecting output meanwhile, until the
  // child has taken all of it or stopped reading. Lets a test stream more input
  // than it would want to hold at once, piece by piece.
  // @return false on timeout
  bool feed(std::string_view input, std::chrono::milliseconds limit) {
    return serve(input, limit, false, [this] { return pending_.empty(); });
  }

  // Waits until the child has read all the input written to it so far.
  // @return false on timeout
  bool waitUntilTaken(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int unread = 0;
    while (::ioctl(stdin_, FIONREAD, &unread) == 0 && unread > 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      ::usleep(1000);
    }
    return true;
  }

  // Whether both output streams have closed: the child has ended, or at
  // least stopped writing.
  bool outputsClosed() const { return stdout_ < 0 && stderr_ < 0; }

  const std::string& outputSoFar() const { return outcome_.out; }

  // Sends input, closes stdin, and waits for the child to finish.
  Outcome finish(std::string_view input, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    if (!pump(input, std::string::npos, limit, true)) {
      outcome_.timedOut = true;
      return outcome_;
    }
    closeInput();
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        reaped_ = true;
        outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return outcome_;
      }
      ::usleep(1000);
    }
    outcome_.timedOut = true;
    return outcome_;
  }

 private:
  // Moves input to the child and output from it until done() holds, both of
  // its output streams close, or the deadline passes.
  // @return false on timeout
  template <typename Done>
  bool serve(std::string_view input, std::chrono::milliseconds limit, bool closeWhenWritten,
             Done done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pending_ += input;
    while (!done() && (stdout_ >= 0 || stderr_ >= 0)) {
      if (closeWhenWritten && pending_.empty()) {
        closeInput();
      }
      pollfd fds[3];
      nfds_t count = 0;
      for (const auto& [fd, events] : {std::pair{stdout_, POLLIN}, std::pair{stderr_, POLLIN}}) {
        if (fd >= 0) {
          fds[count++] = {fd, static_cast<short>(events), 0};
        }
      }
      if (stdin_ >= 0 && !pending_.empty()) {
        fds[count++] = {stdin_, POLLOUT, 0};
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return false;
      }
      if (::poll(fds, count, static_cast<int>(left.count())) < 0 && errno != EINTR) {
        return false;
      }
      for (nfds_t k = 0; k < count; ++k) {
        if (fds[k].revents == 0) {
          continue;
        }
        if (fds[k].fd == stdin_) {
          const ssize_t wrote = ::write(stdin_, pending_.data(), pending_.size());
          if (wrote > 0) {
            pending_.erase(0, static_cast<std::size_t>(wrote));
          } else if (wrote < 0 && errno != EAGAIN) {
            pending_.clear();  // the child closed its input: the rest is not needed
          }
          continue;
        }
        char buffer[4096];
        const ssize_t got = ::read(fds[k].fd, buffer, sizeof buffer);
        std::string& sink = fds[k].fd == stdout_ ? outcome_.out : outcome_.err;
        if (got > 0) {
          sink.append(buffer, static_cast<std::size_t>(got));
        } else {
          ::close(fds[k].fd);
          (fds[k].fd == stdout_ ? stdout_ : stderr_) = -1;
        }
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  bool reaped_ = false;
  std::string pending_;
  Outcome outcome_;
};

inline Outcome runWithInput(const char* path, std::string_view input,
                            std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  ChildProcess child(path);
  if (!child.started()) {
    return {};
  }
  return child.finish(input, limit);
}

}  // namespace castles::testing
