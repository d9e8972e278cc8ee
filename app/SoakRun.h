// One iteration of a soak: every unit of the demo bench tested in turn on one bench with drawn
// faults, and what must hold once each run has been handled. Used by veltrane-soak and the tests;
// each iteration owns its session.
#pragma once

#include <algorithm>
#include <atomic>
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
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "app/SimSession.h"
#include "device/Device.h"
#include "platform/sim/bench/DemoBench.h"
#include "platform/sim/bench/RandomFaults.h"
#include "report/RecordReport.h"
#include "report/RunRecord.h"
#include "report/StepList.h"
#include "report/TestLog.h"

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
  const auto programStarted = static_cast<std::int64_t>(session.Sim().Clock().NowMs());
  for (std::size_t u = 0; u < serials.size(); ++u) {
    const int unit = static_cast<int>(u);
    const int item = ItemOf(session.Form().ItemNames(), serials[u]);
    targets[u].beforeRun = session.Bench().CommandLog(unit);
    targets[u].runStartMs = programStarted;
    const auto pressed = static_cast<std::int64_t>(session.Sim().Clock().NowMs());
    // The LQ40 asks for discs in its loading area; the operator answers OK.
    if (item < 0 || !session.Run(item, {ui::kIdOk}, kVirtualLimitMs) ||
        session.Dialog().Label2.Caption() != "Success") {
      failed = serials[u];
      return {};
    }
    const auto log = session.Bench().CommandLog(unit);
    const auto before = static_cast<std::ptrdiff_t>(targets[u].beforeRun.size());
    targets[u].runCommands.assign(log.begin() + before, log.end());
    const auto times = session.Bench().CommandTimesMs(unit);
    for (auto at = times.begin() + before; at != times.end(); ++at) {
      targets[u].runTimesMs.push_back(*at - pressed);
    }
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

// What is wrong with how a run ended, whatever else ran beside it: a run that did not reach its
// last step never reads as passed, one whose unit left reads "None" (whatever unit the combo
// shows afterwards), and no move goes outside the state table.
inline std::vector<std::string> CheckRunWord(const std::string& word, const RunContext* run,
                                             bool entryLeft) {
  std::vector<std::string> wrong;
  const bool finished = run != nullptr && run->Ending.load() == RunEnding::kCompleted;
  if (!finished && (word == "Success" || word == "Warning")) {
    wrong.push_back("a run that did not finish says " + word);
  }
  if (run != nullptr && !run->UnlistedMoves.empty()) {
    wrong.push_back("moves outside the state table: " + run->UnlistedMoves.front());
  }
  if (entryLeft && word != "None") {
    wrong.push_back("the unit left during the run, yet the result is " + word);
  }
  return wrong;
}

// What is wrong once the runs under way have been handled: every disc still on the bench, the
// result dialog shown once more, "Start" back and enabled, "Test.log" saved whole in the current
// directory (removed before the runs).
inline std::vector<std::string> CheckSessionEnd(SimSession& session, int dialogsBefore) {
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
  return wrong;
}

// What is wrong with the result dialog on show when it is none of these runs' (an earlier run's
// left standing).
inline std::vector<std::string> CheckDialogShows(SimSession& session,
                                                 const std::vector<RunRecord>& runs) {
  const TForm2& dialog = session.Dialog();
  for (const RunRecord& run : runs) {
    if (dialog.Label2.Caption() == run.result &&
        dialog.Label4.Caption() == FormatDateTime(run.start)) {
      return {};
    }
  }
  return {"the result dialog shows another run's end: " + dialog.Label2.Caption() + " from " +
          dialog.Label4.Caption()};
}

// What is wrong once a run alone has been handled (empty when nothing is).
inline std::vector<std::string> CheckRunEnd(SimSession& session, int dialogsBefore) {
  std::vector<std::string> wrong = CheckSessionEnd(session, dialogsBefore);
  for (const std::string& w : CheckDialogShows(session, {LastRunRecord()})) wrong.push_back(w);
  const std::vector<std::string> run =
      CheckRunWord(session.Dialog().Label2.Caption(), session.Form().CurrentRun(),
                   session.Form().RunEntryLeft());
  wrong.insert(wrong.end(), run.begin(), run.end());
  return wrong;
}

// Watches runs for what must not happen once parts of their unit have gone: no row passes (or
// warns) after the unit's link 1 left, no box of the run is shown after that (the one up when it
// left aside), and no drive step (a drive check or a drive tray move) passes while one of the
// unit's drives is away. It notes the rows' marks and the run's prompts at each departure and
// arrival, so what it finds does not depend on how the window shows the run. Create it before
// the runs, read the findings once they have been handled; one run per unit and watch.
class DepartureWatch {
 public:
  // The run of a watched bench unit now, or null. GUI thread.
  using RunOf = std::function<const RunContext*(int unit)>;

  // One run at a time: bench unit `unit`'s, the form's current run.
  DepartureWatch(SimSession& session, int unit)
      : DepartureWatch(session, {{unit, ""}},
                       [&session](int) { return session.Form().CurrentRun(); }) {}
  // Runs going at once: each watched bench unit with its run's item (the origin of its boxes;
  // empty: every box is the run's).
  DepartureWatch(SimSession& session, const std::map<int, std::string>& items, RunOf runOf)
      : session_(session), runOf_(std::move(runOf)) {
    for (const auto& [unit, item] : items) units_[unit].origin = item;
    auto& bench = session.Bench();
    bench.SetOnPresenceChange([this](const platform::sim::SimDeviceChange& c) { Changed(c); });
    session.Toolkit().SetPromptHook([this, &bench](const std::string& text) {
      SetPromptUp(true);
      bench.NotePrompt(text, ui::BoxOrigin());
      SetPromptUp(false);
    });
  }
  ~DepartureWatch() {
    session_.Bench().SetOnPresenceChange(nullptr);
    session_.Toolkit().SetPromptHook([&bench = session_.Bench()](const std::string& text) {
      bench.NotePrompt(text, ui::BoxOrigin());
    });
  }
  DepartureWatch(const DepartureWatch&) = delete;
  DepartureWatch& operator=(const DepartureWatch&) = delete;

  // The one watched run, the form's current run. GUI thread, after the run.
  std::vector<std::string> Findings() {
    const RunContext* run = session_.Form().CurrentRun();
    if (run == nullptr || units_.empty()) return {};
    return Findings(units_.begin()->first, run->Rows);
  }

  // Unit `unit`'s run, ended with these rows. GUI thread, after the run.
  std::vector<std::string> Findings(int unit, const std::vector<RunRow>& rows) {
    std::vector<std::string> found;
    std::vector<int> final;
    final.reserve(rows.size());
    for (const RunRow& row : rows) final.push_back(row.icon);
    std::lock_guard lock(mutex_);
    const Watched& w = units_[unit];
    if (w.left) {
      for (std::size_t r = 0; r < final.size() && r < w.iconsAtLeave.size(); ++r) {
        if (Closed(final[r]) && final[r] != w.iconsAtLeave[r]) {
          found.push_back("row " + std::to_string(r + 1) + " passed after the unit left");
        }
      }
      const auto prompts = PromptsOf(w.origin);
      if (prompts.size() > w.promptsAtLeave) {
        found.push_back("prompted after the unit left: " + prompts[w.promptsAtLeave].text);
      }
    }
    for (const auto& away : w.drivesAway) {
      const std::vector<int>& until = away.back.empty() ? final : away.back;
      const std::size_t counted = CountedAt(rows, away.left);
      for (std::size_t r = 0; r < until.size() && r < away.left.size(); ++r) {
        const std::string& caption = rows[r].caption;
        if (away.otherSlot != nullptr && caption.starts_with(away.otherSlot)) continue;
        if (r > counted) continue;
        if (DriveStep(caption) && Closed(until[r]) && until[r] != away.left[r]) {
          found.push_back("row " + std::to_string(r + 1) + " passed while drive " + away.letter +
                          " was away");
        }
      }
    }
    return found;
  }

 private:
  struct DriveAway {
    std::string letter;
    const char* otherSlot;  // rows of the other drive's slot ("Upper", "Lower") do not need it
    std::vector<int> left;  // the marks when it left
    std::vector<int> back;  // when it came back (empty: it did not)
  };
  struct Watched {
    std::string origin;
    bool left = false;
    std::vector<int> iconsAtLeave;
    std::size_t promptsAtLeave = 0;
    std::vector<DriveAway> drivesAway;
  };

  static bool Closed(int icon) { return icon == kIconPassed || icon == kIconWarned; }

  // The last row a drive that left with these marks still needs. A dual-drive unit's "Check if
  // trays open" learns which drives are there: one that left before it had a mark is found
  // missing there, and the steps after it move only the trays it saw, on the operator's word (a
  // pair model goes on with the drive that opened). Every other drive is needed to the end.
  static std::size_t CountedAt(const std::vector<RunRow>& rows, const std::vector<int>& left) {
    for (std::size_t r = 0; r < rows.size() && r < left.size(); ++r) {
      if (rows[r].caption.starts_with("Check if trays open")) {
        return left[r] == kIconNone ? r : rows.size();
      }
    }
    return rows.size();
  }

  // A step that needs the unit's drive: its check, or a move of a drive tray ("Tray open",
  // "Upper tray close", "Check if trays open"; not a printer tray's "Check if tray opens").
  static bool DriveStep(std::string caption) {
    while (!caption.empty() && caption.back() == ' ') caption.pop_back();
    for (const char* end : {"ray open", "ray close", "rays open", "rays close"}) {
      if (caption.ends_with(end)) return true;
    }
    return caption.find("drive") != std::string::npos;
  }

  // The boxes of the run whose item is `origin` (every box when it is empty).
  std::vector<ui::headless::PromptRecord> PromptsOf(const std::string& origin) {
    auto prompts = session_.Toolkit().Prompts();
    if (!origin.empty()) {
      std::erase_if(prompts, [&](const auto& p) { return p.origin != origin; });
    }
    return prompts;
  }

  // The box being shown (GUI thread) may make parts of the bench go.
  void SetPromptUp(bool up) {
    std::lock_guard lock(mutex_);
    promptUp_ = up;
    promptOrigin_ = up ? ui::BoxOrigin() : std::string();
  }

  // The unit's run's marks now, read on the GUI thread.
  std::vector<int> Icons(int unit) {
    std::vector<int> icons;
    auto read = [&] {
      if (const RunContext* run = runOf_(unit)) {
        for (const RunRow& row : run->Rows) icons.push_back(row.icon);
      }
    };
    if (ui::TheToolkit().IsGuiThread()) {
      read();
    } else {
      ui::TheToolkit().Invoke(read);
    }
    return icons;
  }

  void Changed(const platform::sim::SimDeviceChange& change) {
    if (!units_.contains(change.unit)) return;  // the map's shape is fixed at construction
    const auto& device = session_.Bench().Model().devices[static_cast<std::size_t>(change.device)];
    const bool link1 = device.role == platform::sim::DeviceRole::kLink1;
    const bool drive = device.kind == platform::sim::DeviceKind::kCdRom;
    if (!link1 && !drive) return;
    const std::vector<int> icons = Icons(change.unit);
    std::lock_guard lock(mutex_);
    Watched& w = units_[change.unit];
    if (link1 && !change.arrived && !w.left) {
      w.left = true;
      w.iconsAtLeave = icons;
      // The box up while it left is not yet among the prompts; it may stand.
      const bool ownBoxUp = promptUp_ && (w.origin.empty() || promptOrigin_ == w.origin);
      w.promptsAtLeave = PromptsOf(w.origin).size() + (ownBoxUp ? 1 : 0);
    }
    if (!drive) return;
    const std::string letter(1, device.letter);
    if (!change.arrived) {
      const char* otherSlot = nullptr;
      for (const auto& d :
           session_.Bench().Model().units[static_cast<std::size_t>(change.unit)].drives) {
        if (d.device != change.device) continue;
        if (d.slot == platform::sim::DriveSlot::kUpper) otherSlot = "Lower";
        if (d.slot == platform::sim::DriveSlot::kLower) otherSlot = "Upper";
      }
      w.drivesAway.push_back({letter, otherSlot, icons, {}});
      return;
    }
    for (auto& away : w.drivesAway) {
      if (away.letter == letter && away.back.empty()) away.back = icons;
    }
  }

  SimSession& session_;
  const RunOf runOf_;
  std::mutex mutex_;
  bool promptUp_ = false;
  std::string promptOrigin_;  // the run whose box is up
  std::map<int, Watched> units_;
};

// A run as its socket held it when its record was kept, and what is wrong with how it ended.
struct KeptRun {
  RunRecord record;
  std::vector<RunRow> rows;
  std::vector<std::string> wrong;
};
// GUI thread, from TForm1::onRunKept. The run is read there, not later through the window: a
// unit that left takes the combo's selection elsewhere, and its socket may go.
inline KeptRun Kept(const UnitRun& socket) {
  KeptRun kept{RecordOf(*socket.last), socket.last->Rows, {}};
  kept.wrong = CheckRunWord(kept.record.result, socket.last.get(), socket.entryLeft);
  return kept;
}

struct Tally {
  int sessions = 0;
  int runs = 0;
  int notListed = 0;  // units missing from the combo at their turn
  int prompts = 0;
  double virtualSeconds = 0;           // from each Start to the runs' end
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

// Tests every unit (by serial, in the bench's unit order) in turn on one session of the bench (or,
// `eachAlone`, each on a fresh session of its own: the only run of the program), each run with
// answers drawn from answerSeed, and returns the findings ("<serial>: <what is wrong>"). A run
// that does not end leaves a worker nobody can stop: that finding is printed and the process
// ends at once with status 1.
inline std::vector<std::string> RunIteration(const std::string& benchText,
                                             const std::vector<std::string>& serials,
                                             std::uint64_t answerSeed, Tally& tally,
                                             const RunObserver& observer = {},
                                             bool eachAlone = false) {
  std::vector<std::string> findings;
  std::mt19937_64 answerDraw(answerSeed);
  std::unique_ptr<ScratchFolder> sharedFolder;
  std::unique_ptr<SimSession> shared;
  for (std::size_t unit = 0; unit < serials.size(); ++unit) {
    std::unique_ptr<ScratchFolder> ownFolder;
    std::unique_ptr<SimSession> own;
    if (eachAlone || !shared) {
      // Sessions start at the same virtual moment, so their record files share names: each
      // session keeps its files in a folder of its own, as if it were the only one.
      (eachAlone ? ownFolder : sharedFolder) = std::make_unique<ScratchFolder>("session");
      (eachAlone ? own : shared) = std::make_unique<SimSession>(benchText);
      ++tally.sessions;
    }
    SimSession& session = eachAlone ? *own : *shared;
    const std::string& serial = serials[unit];
    const std::vector<int> answers = DrawAnswers(answerDraw);
    const int item = ItemOf(session.Form().ItemNames(), serial);
    if (item < 0) {
      ++tally.notListed;
      continue;
    }
    std::filesystem::remove(kLogFileName);
    const int dialogs = session.Toolkit().ModalShowings();
    RunReport report{serial, session.Form().ItemNames()[static_cast<std::size_t>(item)], 0, 0,
                     session.Toolkit().Prompts().size()};
    const auto wallStart = std::chrono::steady_clock::now();
    const std::uint64_t virtualStart = session.Sim().Clock().NowMs();
    DepartureWatch watch(session, static_cast<int>(unit));
    std::vector<KeptRun> kept;
    session.Form().onRunKept = [&kept](const UnitRun& socket) {
      if (socket.last) kept.push_back(Kept(socket));
    };
    if (!session.Run(item, answers, kVirtualLimitMs)) {
      std::cout << serial << ": the run does not end" << std::endl;
      std::_Exit(1);
    }
    session.Form().onRunKept = nullptr;
    report.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    report.virtualSeconds =
        static_cast<double>(session.Sim().Clock().NowMs() - virtualStart) / 1000.0;
    ++tally.runs;
    tally.virtualSeconds += report.virtualSeconds;
    tally.prompts += static_cast<int>(session.Toolkit().Prompts().size() - report.firstPrompt);
    if (kept.size() != 1) {
      findings.push_back(serial + ": " + std::to_string(kept.size()) + " records kept");
      continue;
    }
    ++tally.results[kept[0].record.result];
    std::vector<std::string> wrong = CheckSessionEnd(session, dialogs);
    for (auto& w : CheckDialogShows(session, {kept[0].record})) wrong.push_back(w);
    for (auto& w : kept[0].wrong) wrong.push_back(w);
    for (auto& w : watch.Findings(static_cast<int>(unit), kept[0].rows)) wrong.push_back(w);
    for (const std::string& w : wrong) findings.emplace_back(serial).append(": ").append(w);
    if (observer) observer(session, report);
  }
  return findings;
}

// A run's record as every run of its unit on the same bench with the same answers writes it,
// alone or beside others: the times, the log lines' time stamps and the run's own id aside.
inline std::string RecordWithoutTimes(RunRecord record) {
  record.start = record.end = {};
  record.runId.clear();
  for (RecordRow& row : record.rows) row.firstStart = row.lastEnd = {};
  for (std::string& line : record.log) line.erase(0, std::min(line.size(), kLogPrefixLength));
  return RecordJsonText(record);
}

// One session with every unit started at once.
struct StationRun {
  std::vector<std::string> findings;         // "<serial>: <what is wrong>"
  std::map<std::string, RunRecord> records;  // by serial
  std::string savedLog;                      // "Test.log" as the last run saved it
};

// Starts every listed unit of one session of the bench at once ("Start all"), each run's boxes
// answered from the same draw of answerSeed as RunIteration's, checks each run's end as
// RunIteration does and the session's once all have been handled. A station that does not end
// within kVirtualLimitMs is printed with the runs still going, and the process ends at once
// with status 1.
inline StationRun RunStation(const std::string& benchText, const std::vector<std::string>& serials,
                             std::uint64_t answerSeed, Tally& tally) {
  StationRun station;
  std::mt19937_64 answerDraw(answerSeed);
  const ScratchFolder folder("station");  // as RunIteration's sessions
  SimSession session(benchText);
  ++tally.sessions;
  TForm1& form = session.Form();
  std::map<std::string, std::vector<int>> answers;  // by item
  std::map<int, std::string> items;                 // by bench unit
  for (std::size_t unit = 0; unit < serials.size(); ++unit) {
    std::vector<int> drawn = DrawAnswers(answerDraw);
    const int item = ItemOf(form.ItemNames(), serials[unit]);
    if (item < 0) {
      ++tally.notListed;
      continue;
    }
    items[static_cast<int>(unit)] = form.BaseItemText(item);
    answers[items[static_cast<int>(unit)]] = std::move(drawn);
  }
  if (!form.StartAllButton.Visible() || !form.StartAllButton.Enabled()) {
    station.findings.push_back("Start all is not there for " + std::to_string(items.size()) +
                               " units");
  }
  // GUI thread: each run from its start until its record is kept, then as it was kept.
  std::map<int, const RunContext*> going;
  std::map<int, KeptRun> ended;  // by bench unit
  auto unitOf = [&](const std::string& item) {
    for (const auto& [unit, name] : items) {
      if (name == item) return unit;
    }
    return -1;
  };
  DepartureWatch watch(session, items, [&going](int unit) {
    const auto it = going.find(unit);
    return it == going.end() ? nullptr : it->second;
  });
  form.onRunKept = [&](const UnitRun& socket) {
    const int unit = unitOf(socket.item);
    if (unit < 0 || !socket.last || ended.contains(unit)) {
      station.findings.push_back("a run nobody started was kept: " + socket.item);
      return;
    }
    going.erase(unit);
    ended[unit] = Kept(socket);
  };
  std::filesystem::remove(kLogFileName);
  const int dialogs = session.Toolkit().ModalShowings();
  const std::size_t prompts = session.Toolkit().Prompts().size();
  const std::uint64_t virtualStart = session.Sim().Clock().NowMs();
  const bool handled = session.RunAll(answers, kVirtualLimitMs, [&] {
    for (std::size_t i = 0; i < DeviceList.size(); ++i) {
      const UnitRun* socket = std::as_const(form).SocketOf(DeviceList[i].get());
      const int unit = unitOf(form.BaseItemText(static_cast<int>(i)));
      if (socket != nullptr && socket->running && unit >= 0) going[unit] = socket->Run();
    }
  });
  form.onRunKept = nullptr;
  if (!handled) {
    std::cout << "the station does not end; still going:";
    for (const auto& [unit, run] : going)
      std::cout << " " << serials[static_cast<std::size_t>(unit)];
    std::cout << std::endl;
    std::_Exit(1);
  }
  for (const auto& [unit, item] : items) {
    const std::string& serial = serials[static_cast<std::size_t>(unit)];
    if (!ended.contains(unit)) {
      station.findings.push_back(serial + ": Start all did not run it");
      continue;
    }
    const KeptRun& kept = ended[unit];
    station.records[serial] = kept.record;
    ++tally.runs;
    ++tally.results[kept.record.result];
    std::vector<std::string> wrong = kept.wrong;
    for (auto& w : watch.Findings(unit, kept.rows)) wrong.push_back(w);
    for (const std::string& w : wrong) station.findings.emplace_back(serial).append(": ").append(w);
  }
  tally.prompts += static_cast<int>(session.Toolkit().Prompts().size() - prompts);
  tally.virtualSeconds +=
      static_cast<double>(session.Sim().Clock().NowMs() - virtualStart) / 1000.0;
  std::vector<RunRecord> records;
  for (const auto& [serial, record] : station.records) records.push_back(record);
  for (std::string& wrong : CheckSessionEnd(session, dialogs)) {
    station.findings.push_back(std::move(wrong));
  }
  for (std::string& wrong : CheckDialogShows(session, records)) {
    station.findings.push_back(std::move(wrong));
  }
  station.savedLog = SavedLog();
  return station;
}

// Where two texts first differ: a little of each from there.
inline std::string FirstDifference(const std::string& a, const std::string& b) {
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  const std::size_t from = at < 40 ? 0 : at - 40;
  auto part = [from](const std::string& text) {
    std::string piece = text.substr(std::min(from, text.size()), 100);
    std::replace(piece.begin(), piece.end(), '\n', ' ');
    return "\"" + piece + "\"";
  };
  return part(a) + " against " + part(b);
}

// One iteration of the parallel soak: every unit alone on a session of its own (the only run
// of the program), then all at once on two sessions of the same bench and answers. Each run at
// once must end as it did alone, records and "Test.log" of the second session must repeat the
// first's byte for byte, and every check of RunIteration and RunStation holds. The runs alone
// count in `alone`, those of the first session at once in `atOnce`.
inline std::vector<std::string> RunParallelIteration(const std::string& benchText,
                                                     const std::vector<std::string>& serials,
                                                     std::uint64_t answerSeed, Tally& alone,
                                                     Tally& atOnce,
                                                     const RunObserver& observer = {}) {
  std::map<std::string, RunRecord> lone;  // by serial
  std::vector<std::string> findings = RunIteration(
      benchText, serials, answerSeed, alone,
      [&](SimSession& session, const RunReport& run) {
        lone[run.serial] = LastRunRecord();
        if (observer) observer(session, run);
      },
      true);
  Tally again;
  const StationRun first = RunStation(benchText, serials, answerSeed, atOnce);
  const StationRun second = RunStation(benchText, serials, answerSeed, again);
  atOnce.sessions += again.sessions;
  for (const std::string& wrong : first.findings) findings.push_back("at once: " + wrong);
  for (const auto& [serial, record] : first.records) {
    const auto it = lone.find(serial);
    const std::string expected = it == lone.end() ? "" : RecordWithoutTimes(it->second);
    const std::string got = RecordWithoutTimes(record);
    if (got != expected) {
      findings.push_back("at once: " + serial + ": the record differs from its run alone: " +
                         FirstDifference(expected, got));
    }
  }
  auto text = [](const StationRun& station) {
    std::string all;
    for (const auto& [serial, record] : station.records) all += RecordJsonText(record) + "\n";
    return all + station.savedLog;
  };
  if (text(first) != text(second)) {
    findings.push_back("at once: the same session again differs: " +
                       FirstDifference(text(first), text(second)));
  }
  return findings;
}

}  // namespace soak
