// Times the real program against the straightforward build on every workload
// and prints a markdown table. Both run on the same input file, alternately,
// in the same session, so that drift in machine load hits both alike; medians
// keep one disturbed run from moving the result. Every run's answer is
// compared, and any disagreement or failure stops the benchmark with status 1.
//
// usage: castles_bench_runner [--runs N] CASTLES STRAIGHTFORWARD WORKLOAD_DIR

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "workloads.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// A run that takes longer than this is treated as hung: the child is killed
// and the benchmark fails rather than outlasting its time budget.
constexpr auto kRunLimit = std::chrono::minutes(5);

struct Run {
  double seconds = 0;
  long peakKiB = 0;  // ru_maxrss of the child, in KiB on Linux
  std::string out;
};

[[noreturn]] void fail(const std::string& message) {
  std::cout.flush();
  std::cerr << "castles_bench_runner: " << message << std::endl;
  std::exit(1);
}

std::string systemMessage(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// Runs program with input on standard input and its standard output captured;
// standard error passes through so that a failing program explains itself.
Run runOnce(const std::string& program, const std::filesystem::path& input) {
  const int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    fail(systemMessage(("cannot open " + input.string()).c_str()));
  }
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    fail(systemMessage("pipe"));
  }
  const Clock::time_point start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) {
    fail(systemMessage("fork"));
  }
  if (pid == 0) {
    // A process group of its own, so that a hung run can be killed along with
    // anything it started.
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

  Run run;
  const Clock::time_point deadline = start + kRunLimit;
  bool hung = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      hung = true;
      break;
    }
    pollfd fd{out[0], POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      hung = true;  // out of time, or poll itself failed: either way, stop the child
      break;
    }
    char buffer[4096];
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;  // the child closed its output, normally by exiting
    }
    run.out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
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
  if (hung) {
    fail(program + " < " + input.string() + " ran longer than " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kRunLimit).count()) +
         " s and was killed");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail(program + " < " + input.string() + " failed (" +
         (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                            : "signal " + std::to_string(WTERMSIG(status))) +
         ")");
  }
  return run;
}

// How many timed runs a program gets, from how long its first run took: fast
// programs get enough runs for a stable median (the shortest are mostly
// process start-up, which a busy machine scatters widely), slow ones fewer to
// keep the whole benchmark within about ten minutes.
int runsFor(double firstRunSeconds) {
  if (firstRunSeconds < 0.1) {
    return 21;
  }
  if (firstRunSeconds < 2) {
    return 7;
  }
  if (firstRunSeconds < 20) {
    return 5;
  }
  return 3;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

std::string formatSeconds(double seconds) {
  char text[32];
  if (seconds < 1) {
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", seconds);
  }
  return text;
}

std::string formatMiB(long kib) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(kib) / 1024);
  return text;
}

std::string formatRatio(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2fx", ratio);
  return text;
}

bool isAnswer(std::string_view out) {
  return out.size() >= 2 && out.back() == '\n' &&
         std::all_of(out.begin(), out.end() - 1, [](char c) { return c >= '0' && c <= '9'; });
}

struct Program {
  std::string name;
  std::string path;
  std::vector<Run> runs;
  int wanted = 1;
};

struct Row {
  const castles::bench::Workload* workload;
  double castlesSeconds;
  double straightforwardSeconds;
  long castlesPeakKiB;
  long straightforwardPeakKiB;
  std::string answer;
  std::size_t castlesRuns;
  std::size_t straightforwardRuns;
};

// Runs both programs on one workload until each has its number of runs,
// swapping which goes first every round.
Row measure(const castles::bench::Workload& workload, const std::filesystem::path& input,
            const std::string& castlesPath, const std::string& straightforwardPath,
            std::optional<int> fixedRuns) {
  Program programs[2] = {{"castles", castlesPath, {}, 1},
                         {"straightforward", straightforwardPath, {}, 1}};
  std::string expected;  // the first run's answer, which every other run must repeat
  std::string expectedFrom;
  const auto record = [&](Program& program) {
    Run run = runOnce(program.path, input);
    if (!isAnswer(run.out)) {
      fail(std::string(workload.name) + ": " + program.name + " printed '" + run.out +
           "', which is not an answer");
    }
    if (expected.empty()) {
      expected = run.out;
      expectedFrom = program.name;
    } else if (run.out != expected) {
      fail(std::string(workload.name) + ": the answers differ: " + program.name + " printed " +
           run.out.substr(0, run.out.size() - 1) + ", " + expectedFrom + " printed " +
           expected.substr(0, expected.size() - 1));
    }
    std::cerr << "  " << program.name << ": " << formatSeconds(run.seconds) << "\n";
    program.runs.push_back(std::move(run));
  };

  std::cerr << workload.name << " (" << workload.file << ")\n";
  for (int round = 0;; ++round) {
    const bool castlesFirst = round % 2 == 0;
    for (Program* program : {&programs[castlesFirst ? 0 : 1], &programs[castlesFirst ? 1 : 0]}) {
      if (static_cast<int>(program->runs.size()) < program->wanted) {
        record(*program);
        if (program->runs.size() == 1) {
          program->wanted = fixedRuns.value_or(runsFor(program->runs.front().seconds));
        }
      }
    }
    if (static_cast<int>(programs[0].runs.size()) >= programs[0].wanted &&
        static_cast<int>(programs[1].runs.size()) >= programs[1].wanted) {
      break;
    }
  }

  const auto medianSeconds = [](const Program& program) {
    std::vector<double> seconds;
    for (const Run& run : program.runs) {
      seconds.push_back(run.seconds);
    }
    return median(seconds);
  };
  const auto peakKiB = [](const Program& program) {
    long peak = 0;
    for (const Run& run : program.runs) {
      peak = std::max(peak, run.peakKiB);
    }
    return peak;
  };
  return Row{&workload,
             medianSeconds(programs[0]),
             medianSeconds(programs[1]),
             peakKiB(programs[0]),
             peakKiB(programs[1]),
             expected.substr(0, expected.size() - 1),
             programs[0].runs.size(),
             programs[1].runs.size()};
}

[[noreturn]] void usage() {
  std::cerr << "usage: castles_bench_runner [--runs N] CASTLES STRAIGHTFORWARD WORKLOAD_DIR\n";
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<int> fixedRuns;
  if (args.size() >= 2 && args[0] == "--runs") {
    const int runs = std::atoi(args[1].c_str());
    if (runs < 1) {
      usage();
    }
    fixedRuns = runs;
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 3) {
    usage();
  }
  const std::string& castlesPath = args[0];
  const std::string& straightforwardPath = args[1];
  const std::filesystem::path workloadDir = args[2];

  const Clock::time_point start = Clock::now();
  std::vector<Row> rows;
  for (const castles::bench::Workload& workload : castles::bench::kWorkloads) {
    rows.push_back(measure(workload, workloadDir / workload.file, castlesPath, straightforwardPath,
                           fixedRuns));
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();

  std::cout << "\n| workload | size | castles | straightforward | ratio | target | castles peak MiB"
               " | straightforward peak MiB | answer | runs |\n"
               "|---|---|---:|---:|---:|---|---:|---:|---:|---:|\n";
  for (const Row& row : rows) {
    std::cout << "| " << row.workload->name << " | " << row.workload->size << " | "
              << formatSeconds(row.castlesSeconds) << " | "
              << formatSeconds(row.straightforwardSeconds) << " | "
              << formatRatio(row.straightforwardSeconds / row.castlesSeconds) << " | "
              << row.workload->target << " | " << formatMiB(row.castlesPeakKiB) << " | "
              << formatMiB(row.straightforwardPeakKiB) << " | " << row.answer << " | "
              << row.castlesRuns << " + " << row.straightforwardRuns << " |\n";
  }
  std::cout << "\nTimes are medians of wall-clock runs, alternating between the two programs;"
               " peak memory is the largest ru_maxrss over the runs. Benchmark took "
            << formatSeconds(total) << ".\n";
  return 0;
}
