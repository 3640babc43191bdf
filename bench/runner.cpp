// Times the real program, as built, with AVX2 kernels alone (on x86-64) and
// without vector kernels, against the straightforward build on every workload
// and prints a markdown table.
// All run on the same input file, in rotation, in the same session, so that
// drift in machine load hits them alike; medians keep one disturbed run from
// moving the result. Every run's answer is compared, and any disagreement or
// failure stops the benchmark with status 1.
//
// usage: castles_bench_runner [--runs N] CASTLES [CASTLES_AVX2] CASTLES_PORTABLE STRAIGHTFORWARD
//                             WORKLOAD_DIR

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

// A build of the real program.
struct Build {
  std::string label;  // its CASTLES_SIMD, as the table's "vector kernels" column shows it
  std::string name;   // as the progress lines on standard error show it
  std::string path;
};

// The vector kernels this processor runs, asked as the program's own choice
// asks (src/exclusion/kernel.cpp), so that the table can say which kernel each
// build ran without the programs printing anything but their answers.
struct ProcessorKernels {
  bool avx2 = false;
  bool avx512 = false;  // F, DQ and CD
};

ProcessorKernels processorKernels() {
  ProcessorKernels has;
#if defined(__x86_64__) && defined(__GNUC__)
  has.avx2 = static_cast<bool>(__builtin_cpu_supports("avx2"));
  has.avx512 = static_cast<bool>(__builtin_cpu_supports("avx512f")) &&
               static_cast<bool>(__builtin_cpu_supports("avx512dq")) &&
               static_cast<bool>(__builtin_cpu_supports("avx512cd"));
#endif
  return has;
}

// The kernel a build runs: the widest it holds that the processor has. Off
// x86-64 no build holds any and processorKernels finds none, so every build
// runs the portable code there.
std::string_view kernelRun(std::string_view label, ProcessorKernels has) {
  if ((label == "auto" || label == "avx512") && has.avx512) {
    return "avx512";
  }
  if ((label == "auto" || label == "avx2") && has.avx2) {
    return "avx2";
  }
  return "portable";
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
  std::cerr << "usage: castles_bench_runner [--runs N] CASTLES [CASTLES_AVX2] CASTLES_PORTABLE "
               "STRAIGHTFORWARD WORKLOAD_DIR\n";
  std::exit(2);
}

// The programs from the command line, the builds of the real program first,
// from the most vector kernels to none.
struct Options {
  std::optional<int> fixedRuns;
  std::vector<Build> builds;
  std::string straightforward;
  std::filesystem::path workloadDir;
};

Options parseOptions(std::vector<std::string> args) {
  Options options;
  if (args.size() >= 2 && args[0] == "--runs") {
    const int runs = std::atoi(args[1].c_str());
    if (runs < 1) {
      usage();
    }
    options.fixedRuns = runs;
    args.erase(args.begin(), args.begin() + 2);
  }
  // The AVX2 build exists on x86-64 targets only.
  if (args.size() != 4 && args.size() != 5) {
    usage();
  }
  options.builds.push_back({CASTLES_BENCH_SIMD, "castles", args[0]});
  if (args.size() == 5) {
    options.builds.push_back({"avx2", "castles (AVX2 kernels alone)", args[1]});
  }
  options.builds.push_back({"none", "castles (no vector kernels)", args[args.size() - 3]});
  options.straightforward = args[args.size() - 2];
  options.workloadDir = args.back();
  return options;
}

std::vector<Program> programsFor(const castles::bench::Workload& workload, const Options& options) {
  std::vector<Program> programs;
  for (std::size_t i = 0; i < options.builds.size() && (i == 0 || workload.everyBuild); ++i) {
    programs.push_back({options.builds[i].name, options.builds[i].path, {}, 1});
  }
  if (workload.againstStraightforward) {
    programs.push_back({"straightforward", options.straightforward, {}, 1});
  }
  return programs;
}

// One row for each build measured on the workload, in the order of programsFor.
void addRows(std::vector<Row>& rows, const castles::bench::Workload& workload,
             const Options& options, const std::vector<Program>& programs,
             const std::string& answer) {
  const Program* straightforward = workload.againstStraightforward ? &programs.back() : nullptr;
  const std::size_t builds = programs.size() - (straightforward == nullptr ? 0 : 1);
  for (std::size_t i = 0; i < builds; ++i) {
    const std::string_view target = i == 0 ? workload.target : workload.fewerKernelsTarget;
    rows.push_back({&workload, options.builds[i].label, std::string(target), &programs[i],
                    straightforward, answer});
  }
}

void printRow(const Row& row) {
  const Program* straightforward = row.straightforward;
  const std::string none = "-";
  const double seconds = medianSeconds(*row.castles);
  std::cout << "| " << row.workload->name << " | " << row.workload->size << " | " << row.build
            << " | " << formatSeconds(seconds) << " | "
            << (straightforward == nullptr ? none : formatSeconds(medianSeconds(*straightforward)))
            << " | "
            << (straightforward == nullptr ? none
                                           : formatRatio(medianSeconds(*straightforward) / seconds))
            << " | " << (row.target.empty() ? none : row.target) << " | "
            << formatMiB(peakKiB(*row.castles)) << " | "
            << (straightforward == nullptr ? none : formatMiB(peakKiB(*straightforward))) << " | "
            << row.answer << " | " << row.castles->runs.size()
            << (straightforward == nullptr ? ""
                                           : " + " + std::to_string(straightforward->runs.size()))
            << " |\n";
}

void printTable(const std::vector<Row>& rows) {
  std::cout << "\n| workload | size | vector kernels | castles | straightforward | ratio | target"
               " | castles peak MiB | straightforward peak MiB | answer | runs |\n"
               "|---|---|---|---:|---:|---:|---|---:|---:|---:|---:|\n";
  for (const Row& row : rows) {
    printRow(row);
  }
}

// What each build held and which kernel it ran here, which the programs
// themselves do not print.
void printNote(const Options& options, double totalSeconds) {
  const ProcessorKernels has = processorKernels();
  std::cout << "\nTimes are medians of wall-clock runs, rotating among the programs on each"
               " workload; peak memory is the largest ru_maxrss over the runs. \""
            << options.builds[0].label
            << "\" is the program as built (CASTLES_SIMD=" << options.builds[0].label << ")";
  for (std::size_t i = 1; i < options.builds.size(); ++i) {
    std::cout << "; \"" << options.builds[i].label
              << "\" the same program built with CASTLES_SIMD=" << options.builds[i].label;
  }
  std::cout << ". This processor has AVX2: " << (has.avx2 ? "yes" : "no")
            << "; AVX-512 F, DQ and CD: " << (has.avx512 ? "yes" : "no") << "; so ";
  for (std::size_t i = 0; i < options.builds.size(); ++i) {
    std::cout << (i == 0                           ? ""
                  : i + 1 == options.builds.size() ? " and "
                                                   : ", ")
              << options.builds[i].label << " ran " << kernelRun(options.builds[i].label, has);
  }
  std::cout << ". Benchmark took " << formatSeconds(totalSeconds) << ".\n";
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions({argv + 1, argv + argc});
  const Clock::time_point start = Clock::now();
  // Every workload's programs, kept until the table is printed.
  std::vector<std::vector<Program>> measured;
  measured.reserve(castles::bench::kWorkloads.size());
  std::vector<Row> rows;
  for (const castles::bench::Workload& workload : castles::bench::kWorkloads) {
    std::vector<Program>& programs = measured.emplace_back(programsFor(workload, options));
    std::string answer;
    measure(workload, options.workloadDir / workload.file, programs, options.fixedRuns, answer);
    addRows(rows, workload, options, programs, answer);
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  printTable(rows);
  printNote(options, total);
  return 0;
}
