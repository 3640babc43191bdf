// Times the real program, as built and built without vector kernels, against
// the straightforward build on every workload and prints a markdown table.
// All run on the same input file, in rotation, in the same session, so that
// drift in machine load hits them alike; medians keep one disturbed run from
// moving the result. Every run's answer is compared, and any disagreement or
// failure stops the benchmark with status 1.
//
// usage: castles_bench_runner [--runs N] CASTLES CASTLES_PORTABLE STRAIGHTFORWARD WORKLOAD_DIR

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run_once.hpp"
#include "workloads.hpp"

namespace {

using castles::bench::fail;
using castles::bench::Run;
using castles::bench::runOnce;
using Clock = std::chrono::steady_clock;

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

double medianSeconds(const Program& program) {
  std::vector<double> seconds;
  for (const Run& run : program.runs) {
    seconds.push_back(run.seconds);
  }
  return median(seconds);
}

long peakKiB(const Program& program) {
  long peak = 0;
  for (const Run& run : program.runs) {
    peak = std::max(peak, run.peakKiB);
  }
  return peak;
}

// One line of the table: one build of the real program on one workload,
// against the straightforward build's runs on the same workload, if any.
struct Row {
  const castles::bench::Workload* workload;
  std::string build;
  std::string target;
  const Program* castles;
  const Program* straightforward;  // null for a scaling row
  std::string answer;
};

// Runs every program on one workload until each has its number of runs,
// rotating which goes first every round, so that drift in machine load
// reaches all of them alike.
void measure(const castles::bench::Workload& workload, const std::filesystem::path& input,
             std::vector<Program>& programs, std::optional<int> fixedRuns, std::string& answer) {
  std::string expectedFrom;
  const auto record = [&](Program& program) {
    Run run = runOnce(program.path, input);
    if (!isAnswer(run.out)) {
      fail(std::string(workload.name) + ": " + program.name + " printed '" + run.out +
           "', which is not an answer");
    }
    if (answer.empty()) {
      answer = run.out;
      expectedFrom = program.name;
    } else if (run.out != answer) {
      fail(std::string(workload.name) + ": the answers differ: " + program.name + " printed " +
           run.out.substr(0, run.out.size() - 1) + ", " + expectedFrom + " printed " +
           answer.substr(0, answer.size() - 1));
    }
    std::cerr << "  " << program.name << ": " << formatSeconds(run.seconds) << "\n";
    program.runs.push_back(std::move(run));
  };

  std::cerr << workload.name << " (" << workload.file << ")\n";
  for (std::size_t round = 0;; ++round) {
    bool more = false;
    for (std::size_t i = 0; i < programs.size(); ++i) {
      Program& program = programs[(round + i) % programs.size()];
      if (static_cast<int>(program.runs.size()) < program.wanted) {
        record(program);
        if (program.runs.size() == 1) {
          program.wanted = fixedRuns.value_or(runsFor(program.runs.front().seconds));
        }
        more = more || static_cast<int>(program.runs.size()) < program.wanted;
      }
    }
    if (!more) {
      break;
    }
  }
  answer.pop_back();  // the newline
}

[[noreturn]] void usage() {
  std::cerr << "usage: castles_bench_runner [--runs N] CASTLES CASTLES_PORTABLE STRAIGHTFORWARD "
               "WORKLOAD_DIR\n";
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
  if (args.size() != 4) {
    usage();
  }
  const std::string& castlesPath = args[0];
  const std::string& portablePath = args[1];
  const std::string& straightforwardPath = args[2];
  const std::filesystem::path workloadDir = args[3];

  const Clock::time_point start = Clock::now();
  // Every workload's programs, kept until the table is printed.
  std::vector<std::vector<Program>> measured;
  measured.reserve(castles::bench::kWorkloads.size());
  std::vector<Row> rows;
  for (const castles::bench::Workload& workload : castles::bench::kWorkloads) {
    std::vector<Program>& programs = measured.emplace_back();
    programs.push_back({"castles", castlesPath, {}, 1});
    if (!workload.portableTarget.empty() || !workload.againstStraightforward) {
      programs.push_back({"castles (no vector kernels)", portablePath, {}, 1});
    }
    if (workload.againstStraightforward) {
      programs.push_back({"straightforward", straightforwardPath, {}, 1});
    }
    std::string answer;
    measure(workload, workloadDir / workload.file, programs, fixedRuns, answer);
    const Program* straightforward = workload.againstStraightforward ? &programs.back() : nullptr;
    rows.push_back(
        {&workload, "auto", std::string(workload.target), &programs[0], straightforward, answer});
    if (programs.size() == 3 || !workload.againstStraightforward) {
      rows.push_back({&workload, "none", std::string(workload.portableTarget), &programs[1],
                      straightforward, answer});
    }
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();

  std::cout << "\n| workload | size | vector kernels | castles | straightforward | ratio | target"
               " | castles peak MiB | straightforward peak MiB | answer | runs |\n"
               "|---|---|---|---:|---:|---:|---|---:|---:|---:|---:|\n";
  for (const Row& row : rows) {
    const auto ratio = [&row](const Program& straightforward) {
      return medianSeconds(straightforward) / medianSeconds(*row.castles);
    };
    std::cout << "| " << row.workload->name << " | " << row.workload->size << " | " << row.build
              << " | " << formatSeconds(medianSeconds(*row.castles)) << " | "
              << (row.straightforward == nullptr
                      ? "-"
                      : formatSeconds(medianSeconds(*row.straightforward)))
              << " | "
              << (row.straightforward == nullptr ? "-" : formatRatio(ratio(*row.straightforward)))
              << " | " << (row.target.empty() ? "-" : row.target) << " | "
              << formatMiB(peakKiB(*row.castles)) << " | "
              << (row.straightforward == nullptr ? "-" : formatMiB(peakKiB(*row.straightforward)))
              << " | " << row.answer << " | " << row.castles->runs.size()
              << (row.straightforward == nullptr
                      ? ""
                      : " + " + std::to_string(row.straightforward->runs.size()))
              << " |\n";
  }
  std::cout << "\nTimes are medians of wall-clock runs, rotating among the programs on each"
               " workload; peak memory is the largest ru_maxrss over the runs. \"auto\" is the"
               " program as built, taking the vector kernels this processor has; \"none\" is"
               " the same program built with CASTLES_SIMD=none. Benchmark took "
            << formatSeconds(total) << ".\n";
  return 0;
}
