// One iteration of a soak: every unit of the demo bench tested in turn on one bench with drawn
// faults, and what must hold once each run has been handled. Used by veltrane-soak and the tests;
// each iteration owns its session.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "app/SimSession.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "platform/sim/bench/DemoBench.h"
#include "platform/sim/bench/RandomFaults.h"

namespace soak {

// A fresh folder made the current one for the runs' "Test.log" files, named by `what`, the
// process and a count so that concurrent processes never share one; on leaving, the old current
// folder comes back and the folder goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& what) : old_(std::filesystem::current_path()) {
    static int count = 0;
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(getpid());
#endif
    path_ = std::filesystem::temp_directory_path() /
            ("veltrane-" + what + "-" + std::to_string(pid) + "-" + std::to_string(++count));
    std::filesystem::create_directories(path_);
    std::filesystem::current_path(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::current_path(old_, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

 private:
  std::filesystem::path old_;
  std::filesystem::path path_;
};

// Far beyond any run, faults and retries included: a run still going after an hour of virtual
// time never ends.
inline constexpr std::int64_t kVirtualLimitMs = 60 * 60 * 1000;

inline std::vector<std::string> DemoSerials() {
  const auto bench = nlohmann::json::parse(platform::sim::DemoBenchText());
  std::vector<std::string> serials;
  for (const auto& unit : bench.at("units"))
    serials.push_back(unit.at("serial").get<std::string>());
  return serials;
}

// The combo item showing this serial, or -1.
inline int ItemOf(const std::vector<std::string>& items, const std::string& serial) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].find("(" + serial + ")") != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

// What each demo unit exchanges in a healthy session, the aim of the drawn faults. Empty when a
// healthy run does not pass (its serial is then in `failed`).
inline std::vector<platform::sim::FaultTargets> HealthyTargets(
    const std::vector<std::string>& serials, std::string& failed) {
  std::vector<platform::sim::FaultTargets> targets(serials.size());
  SimSession session(platform::sim::DemoBenchText());
  for (std::size_t u = 0; u < serials.size(); ++u) {
    const int unit = static_cast<int>(u);
    const int item = ItemOf(session.Form().ComboBox1.Items(), serials[u]);
    targets[u].beforeRun = session.Bench().CommandLog(unit);
    // The LQ40 asks for discs in its loading area; the operator answers OK.
    if (item < 0 || !session.Run(item, {ui::kIdOk}, kVirtualLimitMs) ||
        session.Dialog().Label2.Caption() != "Success") {
      failed = serials[u];
      return {};
    }
    const auto log = session.Bench().CommandLog(unit);
    targets[u].runCommands.assign(
        log.begin() + static_cast<std::ptrdiff_t>(targets[u].beforeRun.size()), log.end());
  }
  return targets;
}

// Up to six prompt answers of any kind; boxes beyond them get their safe default.
inline std::vector<int> DrawAnswers(std::mt19937_64& draw) {
  static const int kAnswers[] = {ui::kIdOk, ui::kIdCancel, ui::kIdRetry, ui::kIdTryAgain,
                                 ui::kIdContinue};
  std::vector<int> answers(static_cast<std::size_t>(draw() % 7));
  for (int& a : answers) a = kAnswers[draw() % std::size(kAnswers)];
  return answers;
}

inline std::string FileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// LogLines as FinishRun saves them.
inline std::string SavedLog() {
  std::string text;
  for (const std::string& line : LogLinesSnapshot()) text += line + "\r\n";
  return text;
}

// What is wrong once a run has been handled (empty when nothing is): every disc still on the
// bench, the result dialog shown once more, "Start" back and enabled, "Test.log" saved whole in
// the current directory (removed before the run).
inline std::vector<std::string> CheckRunEnd(SimSession& session, int dialogsBefore) {
  std::vector<std::string> wrong;
  auto& bench = session.Bench();
  if (bench.TotalDiscs() != bench.DiscsSupplied()) {
    wrong.push_back("discs not conserved: " + std::to_string(bench.TotalDiscs()) +
                    " on the bench, " + std::to_string(bench.DiscsSupplied()) + " supplied");
  }
  if (session.Toolkit().ModalShowings() != dialogsBefore + 1) wrong.push_back("no result dialog");
  if (session.Form().Button1.Caption() != "Start" || !session.Form().Button1.Enabled()) {
    wrong.push_back("Start not enabled again");
  }
  if (!std::filesystem::exists(kLogFileName) || FileText(kLogFileName) != SavedLog()) {
    wrong.push_back("Test.log not saved whole");
  }
  // A run that did not reach its last step never reads as passed; one whose unit left reads
  // "None", whatever unit the combo shows afterwards.
  const std::string word = session.Dialog().Label2.Caption();
  const RunContext* run = session.Form().CurrentRun();
  const bool finished = run != nullptr && run->Ending.load() == RunEnding::kCompleted;
  if (!finished && (word == "Success" || word == "Warning")) {
    wrong.push_back("a run that did not finish says " + word);
  }
  if (run != nullptr && !run->UnlistedMoves.empty()) {
    wrong.push_back("moves outside the state table: " + run->UnlistedMoves.front());
  }
  if (session.Form().RunEntryLeft() && word != "None") {
    wrong.push_back("the unit left during the run, yet the result is " + word);
  }
  return wrong;
}

struct Tally {
  int runs = 0;
  int notListed = 0;  // units missing from the combo at their turn
  int prompts = 0;
  std::map<std::string, int> results;  // by result word
};

// One handled run, for a caller that prints it.
struct RunReport {
  std::string serial;
  std::string item;  // the combo item, as it read at Start
  double virtualSeconds = 0;
  double wallSeconds = 0;
  std::size_t firstPrompt = 0;  // index of the run's first prompt in Toolkit().Prompts()
};
using RunObserver = std::function<void(SimSession&, const RunReport&)>;

// Tests every unit (by serial) in turn on one session of the bench, each run with answers drawn
// from answerSeed, and returns the findings ("<serial>: <what is wrong>"). A run that does not
// end leaves a worker nobody can stop: that finding is printed and the process ends at once
// with status 1.
inline std::vector<std::string> RunIteration(const std::string& benchText,
                                             const std::vector<std::string>& serials,
                                             std::uint64_t answerSeed, Tally& tally,
                                             const RunObserver& observer = {}) {
  std::vector<std::string> findings;
  std::mt19937_64 answerDraw(answerSeed);
  SimSession session(benchText);
  for (const std::string& serial : serials) {
    const std::vector<int> answers = DrawAnswers(answerDraw);
    const int item = ItemOf(session.Form().ComboBox1.Items(), serial);
    if (item < 0) {
      ++tally.notListed;
      continue;
    }
    std::filesystem::remove(kLogFileName);
    const int dialogs = session.Toolkit().ModalShowings();
    RunReport report{serial, session.Form().ComboBox1.Items()[static_cast<std::size_t>(item)], 0, 0,
                     session.Toolkit().Prompts().size()};
    const auto wallStart = std::chrono::steady_clock::now();
    const std::uint64_t virtualStart = session.Sim().Clock().NowMs();
    if (!session.Run(item, answers, kVirtualLimitMs)) {
      std::cout << serial << ": the run does not end" << std::endl;
      std::_Exit(1);
    }
    report.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    report.virtualSeconds =
        static_cast<double>(session.Sim().Clock().NowMs() - virtualStart) / 1000.0;
    ++tally.runs;
    ++tally.results[session.Dialog().Label2.Caption()];
    tally.prompts += static_cast<int>(session.Toolkit().Prompts().size() - report.firstPrompt);
    for (const std::string& wrong : CheckRunEnd(session, dialogs)) {
      findings.push_back(serial + ": " + wrong);
    }
    if (observer) observer(session, report);
  }
  return findings;
}

}  // namespace soak
