// veltrane-soak: every unit of the demo bench tested many times over in virtual time, each
// iteration on a fresh bench whose faults and answers are drawn from a seed. Checks that each run
// ends and is handled (result dialog, "Test.log", "Start" back) and that no disc is made or lost;
// prints the process's memory as the runs add up. With --parallel each iteration also starts every
// unit at once, and each run must end as it did alone. A measuring tool, not a test.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/BenchCli.h"
#include "app/SoakRun.h"
#include "platform/sim/bench/DemoBench.h"
#include "platform/sim/bench/RandomFaults.h"

namespace {

constexpr int kUsageError = 2;

struct SoakOptions {
  int iterations = 200;
  std::uint64_t seed = 1;
  int only = 0;            // --iteration: that one alone, each run printed
  std::vector<int> rssAt;  // iterations after which memory is printed
  std::string keepDir;     // where the benches of iterations with a finding go
  bool parallel = false;   // each unit alone, then all at once (twice)
  bool help = false;
};

void PrintUsage(std::ostream& out) {
  out << "Usage: veltrane-soak [--soak N] [--seed S] [--iteration I] [--rss-at A,B,...]\n"
         "                     [--keep DIR] [--parallel]\n"
         "Tests every unit of the demo bench N times (default 200) in virtual time, each\n"
         "iteration on a bench with faults and prompt answers drawn from seed S (default 1).\n"
         "\n"
         "  --iteration I   draw and run iteration I only, printing every run\n"
         "  --rss-at A,...  print memory after these iterations (default N/4, N/2, N)\n"
         "  --keep DIR      keep the bench file of every iteration with a finding (and of\n"
         "                  --iteration I) in DIR, as soak-S-I.json\n"
         "  --parallel      run each unit of an iteration on a session of its own, then all\n"
         "                  at once (\"Start all\") on two more sessions of the same bench and\n"
         "                  answers: every run must end as it did alone, and both sessions\n"
         "                  must be alike byte for byte\n"
         "\n"
         "Exit status: 0 without findings, 1 with findings, 2 on a usage error.\n";
}

bool ParseNumber(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

bool ParseRssAt(const std::string& value, std::vector<int>& into) {
  std::stringstream list(value);
  for (std::string item; std::getline(list, item, ',');) {
    std::uint64_t n = 0;
    if (!ParseNumber(item, n)) return false;
    into.push_back(static_cast<int>(n));
  }
  return true;
}

bool ParseOption(const std::string& name, const std::string& value, SoakOptions& options,
                 std::string& error) {
  std::uint64_t n = 0;
  if (name == "--keep") {
    options.keepDir = value;
  } else if (name == "--rss-at") {
    if (!ParseRssAt(value, options.rssAt)) error = "--rss-at takes numbers: " + value;
  } else if (name != "--soak" && name != "--seed" && name != "--iteration") {
    error = "unknown argument: " + name;
  } else if (!ParseNumber(value, n)) {
    error = name + " takes a number, not '" + value + "'";
  } else if (name == "--soak") {
    options.iterations = static_cast<int>(n);
  } else if (name == "--seed") {
    options.seed = n;
  } else {
    options.only = static_cast<int>(n);
  }
  return error.empty();
}

bool ParseOptions(const std::vector<std::string>& args, SoakOptions& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      options.help = true;
    } else if (args[i] == "--parallel") {
      options.parallel = true;
    } else if (i + 1 >= args.size()) {
      error = "option " + args[i] + " needs a value";
      return false;
    } else if (!ParseOption(args[i], args[i + 1], options, error)) {
      return false;
    } else {
      ++i;
    }
  }
  if (options.rssAt.empty()) {
    const int n = options.iterations;
    options.rssAt = {n / 4, n / 2, n};
  }
  return true;
}

// Resident and peak resident set of this process, in kB (-1 where the host does not tell).
struct Memory {
  long rssKb = -1;
  long peakKb = -1;
};

Memory ReadMemory() {
  Memory memory;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) memory.rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
    if (line.starts_with("VmHWM:")) memory.peakKb = std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return memory;
}

// The bench file of an iteration in the --keep folder (none without it). Written before the
// iteration runs, so that a run that never ends leaves its bench behind.
std::filesystem::path KeptBench(const SoakOptions& options, int iteration) {
  if (options.keepDir.empty()) return {};
  return std::filesystem::path(options.keepDir) /
         ("soak-" + std::to_string(options.seed) + "-" + std::to_string(iteration) + ".json");
}

void Keep(const std::filesystem::path& path, const std::string& benchText) {
  if (path.empty()) return;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << benchText << "\n";
}

void PrintMemoryRow(int iteration, const soak::Tally& tally, double wallSeconds) {
  const Memory m = ReadMemory();
  std::printf("%10d %8d %12ld %12ld %10.2f\n", iteration, tally.runs, m.rssKb, m.peakKb,
              wallSeconds);
  std::fflush(stdout);
}

void PrintResults(const soak::Tally& tally) {
  for (const auto& [word, count] : tally.results) {
    std::printf("  %-8s %6d\n", word.c_str(), count);
  }
}

void PrintSummary(const SoakOptions& options, const soak::Tally& tally, const soak::Tally& atOnce,
                  int findings, double wallSeconds) {
  std::printf(
      "\nseed %llu: %d sessions, %d runs (%d units not listed at their turn), %d prompts "
      "answered, %.1f virtual s\n",
      static_cast<unsigned long long>(options.seed), tally.sessions, tally.runs, tally.notListed,
      tally.prompts, tally.virtualSeconds);
  PrintResults(tally);
  if (options.parallel) {
    // The second session of each iteration counts only as a session: its runs are the first's.
    std::printf(
        "at once: %d sessions, %d runs (%d units not listed), %d prompts answered, %.1f virtual "
        "s\n",
        atOnce.sessions, atOnce.runs, atOnce.notListed, atOnce.prompts, atOnce.virtualSeconds);
    PrintResults(atOnce);
  }
  std::printf("findings: %d; wall time %.2f s\n", findings, wallSeconds);
}

// --iteration: each run as the operator saw it.
void PrintRun(SimSession& session, const soak::RunReport& run) {
  std::printf("=== %s: %.3f virtual s, %.3f wall s ===\n", run.item.c_str(), run.virtualSeconds,
              run.wallSeconds);
  const auto prompts = session.Toolkit().Prompts();
  for (std::size_t p = run.firstPrompt; p < prompts.size(); ++p) {
    std::cout << "  Prompt (" << prompts[p].caption << "): " << prompts[p].text << " -> "
              << prompts[p].answer << "\n";
  }
  PrintResultDialog(std::cout, session.Dialog());
  std::cout.flush();
}

int Soak(const SoakOptions& options) {
  const std::vector<std::string> serials = soak::DemoSerials();
  std::string failed;
  const auto targets = soak::HealthyTargets(serials, failed);
  if (targets.empty()) {
    std::cerr << "veltrane-soak: the healthy run of " << failed << " does not pass\n";
    return 1;
  }
  const bool print = options.only > 0;
  const int first = print ? options.only : 1;
  const int last = print ? options.only : options.iterations;
  if (!print) {
    std::printf("%10s %8s %12s %12s %10s\n", "iterations", "runs", "VmRSS kB", "VmHWM kB",
                "wall s");
  }
  soak::Tally tally;
  soak::Tally atOnce;
  int findingCount = 0;
  const auto started = std::chrono::steady_clock::now();
  auto wall = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  for (int i = first; i <= last; ++i) {
    const std::uint64_t iterationSeed = platform::sim::IterationSeed(options.seed, i);
    const std::string bench =
        platform::sim::RandomFaultBench(platform::sim::DemoBenchText(), targets, iterationSeed);
    const auto kept = KeptBench(options, i);
    Keep(kept, bench);
    const soak::RunObserver observer = print ? soak::RunObserver(PrintRun) : nullptr;
    const auto findings =
        options.parallel
            ? soak::RunParallelIteration(bench, serials, ~iterationSeed, tally, atOnce, observer)
            : soak::RunIteration(bench, serials, ~iterationSeed, tally, observer);
    for (const std::string& finding : findings) {
      std::cout << "iteration " << i << ": " << finding << "\n";
    }
    if (!kept.empty() && findings.empty() && !print) std::filesystem::remove(kept);
    if (!kept.empty() && (print || !findings.empty())) {
      std::cout << "  bench kept: " << kept.string() << "\n";
    }
    findingCount += static_cast<int>(findings.size());
    for (int at : options.rssAt) {
      if (at == i && !print) PrintMemoryRow(i, tally, wall());
    }
  }
  PrintSummary(options, tally, atOnce, findingCount, wall());
  return findingCount == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  SoakOptions options;
  std::string error;
  if (!ParseOptions({argv + 1, argv + argc}, options, error)) {
    PrintUsage(std::cerr);
    std::cerr << "veltrane-soak: " << error << "\n";
    return kUsageError;
  }
  if (options.help) {
    PrintUsage(std::cout);
    return 0;
  }
  if (!options.keepDir.empty())
    options.keepDir = std::filesystem::absolute(options.keepDir).string();
  // Each run saves "Test.log": in a folder of the soak's own, removed at the end.
  const soak::ScratchFolder folder("soak");
  int status = kUsageError;
  try {
    status = Soak(options);
  } catch (const std::exception& e) {
    std::cerr << "veltrane-soak: " << e.what() << "\n";
  }
  return status;
}
