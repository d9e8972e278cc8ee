// One iteration of a soak and the checks of a run's end (app/SoakRun.h).
#include "app/SoakRun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <utility>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "device/Device.h"
#include "platform/sim/bench/DemoBench.h"
#include "report/RecordReport.h"
#include "report/RunRecord.h"
#include "report/StepList.h"
#include "report/TestLog.h"

namespace soak {

ScratchFolder::ScratchFolder(const std::string& what) : old_(std::filesystem::current_path()) {
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

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::current_path(old_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

namespace {

// Up to six prompt answers of any kind; boxes beyond them get their safe default.
std::vector<int> DrawAnswers(std::mt19937_64& draw) {
  static const int kAnswers[] = {ui::kIdOk, ui::kIdCancel, ui::kIdRetry, ui::kIdTryAgain,
                                 ui::kIdContinue};
  std::vector<int> answers(static_cast<std::size_t>(draw() % 7));
  for (int& a : answers) a = kAnswers[draw() % std::size(kAnswers)];
  return answers;
}

// LogLines as FinishRun saves them.
std::string SavedLog() {
  std::string text;
  for (const std::string& line : LogLinesSnapshot()) text += line + "\r\n";
  return text;
}

// What is wrong with how a run ended, whatever else ran beside it: a run that did not reach its
// last step never reads as passed, one whose unit left reads "None" (whatever unit the combo
// shows afterwards), and no move goes outside the state table.
std::vector<std::string> CheckRunWord(const std::string& word, const RunContext* run,
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
std::vector<std::string> CheckSessionEnd(SimSession& session, int dialogsBefore) {
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
std::vector<std::string> CheckDialogShows(SimSession& session, const std::vector<RunRecord>& runs) {
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

// A run as its socket held it when its record was kept, and what is wrong with how it ended.
struct KeptRun {
  RunRecord record;
  std::vector<RunRow> rows;
  std::vector<std::string> wrong;
};
// GUI thread, from TForm1::onRunKept. The run is read there, not later through the window: a
// unit that left takes the combo's selection elsewhere, and its socket may go.
KeptRun Kept(const UnitRun& socket) {
  KeptRun kept{RecordOf(*socket.last), socket.last->Rows, {}};
  kept.wrong = CheckRunWord(kept.record.result, socket.last.get(), socket.entryLeft);
  return kept;
}

// A run's record as every run of its unit on the same bench with the same answers writes it,
// alone or beside others: the times, the log lines' time stamps and the run's own id aside.
std::string RecordWithoutTimes(RunRecord record) {
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

// The units of a station: each listed bench unit's item and its run's answers, drawn in the
// bench's unit order as RunIteration draws them (a unit missing from the combo still draws).
struct StationUnits {
  std::map<std::string, std::vector<int>> answers;  // by item
  std::map<int, std::string> items;                 // by bench unit
};

StationUnits ListStationUnits(TForm1& form, const std::vector<std::string>& serials,
                              std::uint64_t answerSeed, Tally& tally) {
  StationUnits units;
  std::mt19937_64 answerDraw(answerSeed);
  for (std::size_t unit = 0; unit < serials.size(); ++unit) {
    std::vector<int> drawn = DrawAnswers(answerDraw);
    const int item = ItemOf(form.ItemNames(), serials[unit]);
    if (item < 0) {
      ++tally.notListed;
      continue;
    }
    units.items[static_cast<int>(unit)] = form.BaseItemText(item);
    units.answers[units.items[static_cast<int>(unit)]] = std::move(drawn);
  }
  return units;
}

// A station that does not end leaves workers nobody can stop: the runs still going are printed
// and the process ends at once with status 1.
[[noreturn]] void EndStuckStation(const std::map<int, const RunContext*>& going,
                                  const std::vector<std::string>& serials) {
  std::cout << "the station does not end; still going:";
  for (const auto& [unit, run] : going) std::cout << " " << serials[static_cast<std::size_t>(unit)];
  std::cout << std::endl;
  std::_Exit(1);
}

// Each started unit's run as it was kept, into the station's records, tally and findings.
void CollectStationRuns(const std::map<int, std::string>& items,
                        const std::vector<std::string>& serials, std::map<int, KeptRun>& ended,
                        DepartureWatch& watch, Tally& tally, StationRun& station) {
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
}

// What is wrong with the session once all its runs have been handled, and its saved log.
void CheckStationEnd(SimSession& session, int dialogsBefore, StationRun& station) {
  std::vector<RunRecord> records;
  for (const auto& [serial, record] : station.records) records.push_back(record);
  for (std::string& wrong : CheckSessionEnd(session, dialogsBefore)) {
    station.findings.push_back(std::move(wrong));
  }
  for (std::string& wrong : CheckDialogShows(session, records)) {
    station.findings.push_back(std::move(wrong));
  }
  station.savedLog = SavedLog();
}

// Starts every listed unit of one session of the bench at once ("Start all"), each run's boxes
// answered from the same draw of answerSeed as RunIteration's, checks each run's end as
// RunIteration does and the session's once all have been handled. A station that does not end
// within kVirtualLimitMs is printed with the runs still going, and the process ends at once
// with status 1.
StationRun RunStation(const std::string& benchText, const std::vector<std::string>& serials,
                      std::uint64_t answerSeed, Tally& tally) {
  StationRun station;
  const ScratchFolder folder("station");  // as RunIteration's sessions
  SimSession session(benchText);
  ++tally.sessions;
  TForm1& form = session.Form();
  const StationUnits units = ListStationUnits(form, serials, answerSeed, tally);
  const std::map<int, std::string>& items = units.items;
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
  const bool handled = session.RunAll(units.answers, kVirtualLimitMs, [&] {
    for (std::size_t i = 0; i < DeviceList.size(); ++i) {
      const UnitRun* socket = std::as_const(form).SocketOf(DeviceList[i].get());
      const int unit = unitOf(form.BaseItemText(static_cast<int>(i)));
      if (socket != nullptr && socket->running && unit >= 0) going[unit] = socket->Run();
    }
  });
  form.onRunKept = nullptr;
  if (!handled) EndStuckStation(going, serials);
  CollectStationRuns(items, serials, ended, watch, tally, station);
  tally.prompts += static_cast<int>(session.Toolkit().Prompts().size() - prompts);
  tally.virtualSeconds +=
      static_cast<double>(session.Sim().Clock().NowMs() - virtualStart) / 1000.0;
  CheckStationEnd(session, dialogs, station);
  return station;
}

// Where two texts first differ: a little of each from there.
std::string FirstDifference(const std::string& a, const std::string& b) {
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

// Unit `unit`'s run (by serial) on the session with these answers: counted in the tally, what is
// wrong with its end appended to the findings ("<serial>: <what is wrong>"), shown to the
// observer. A run that does not end is printed and the process ends at once with status 1.
void RunUnit(SimSession& session, std::size_t unit, const std::string& serial,
             const std::vector<int>& answers, Tally& tally, const RunObserver& observer,
             std::vector<std::string>& findings) {
  const int item = ItemOf(session.Form().ItemNames(), serial);
  if (item < 0) {
    ++tally.notListed;
    return;
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
    return;
  }
  ++tally.results[kept[0].record.result];
  std::vector<std::string> wrong = CheckSessionEnd(session, dialogs);
  for (auto& w : CheckDialogShows(session, {kept[0].record})) wrong.push_back(w);
  for (auto& w : kept[0].wrong) wrong.push_back(w);
  for (auto& w : watch.Findings(static_cast<int>(unit), kept[0].rows)) wrong.push_back(w);
  for (const std::string& w : wrong) findings.emplace_back(serial).append(": ").append(w);
  if (observer) observer(session, report);
}
}  // namespace

std::vector<std::string> DemoSerials() {
  const auto bench = nlohmann::json::parse(platform::sim::DemoBenchText());
  std::vector<std::string> serials;
  for (const auto& unit : bench.at("units"))
    serials.push_back(unit.at("serial").get<std::string>());
  return serials;
}

int ItemOf(const std::vector<std::string>& items, const std::string& serial) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].find("(" + serial + ")") != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

std::vector<platform::sim::FaultTargets> HealthyTargets(const std::vector<std::string>& serials,
                                                        std::string& failed) {
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

std::string FileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> CheckRunEnd(SimSession& session, int dialogsBefore) {
  std::vector<std::string> wrong = CheckSessionEnd(session, dialogsBefore);
  for (const std::string& w : CheckDialogShows(session, {LastRunRecord()})) wrong.push_back(w);
  const std::vector<std::string> run =
      CheckRunWord(session.Dialog().Label2.Caption(), session.Form().CurrentRun(),
                   session.Form().RunEntryLeft());
  wrong.insert(wrong.end(), run.begin(), run.end());
  return wrong;
}

DepartureWatch::DepartureWatch(SimSession& session, int unit)
    : DepartureWatch(session, {{unit, ""}},
                     [&session](int) { return session.Form().CurrentRun(); }) {}

DepartureWatch::DepartureWatch(SimSession& session, const std::map<int, std::string>& items,
                               RunOf runOf)
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

DepartureWatch::~DepartureWatch() {
  session_.Bench().SetOnPresenceChange(nullptr);
  session_.Toolkit().SetPromptHook([&bench = session_.Bench()](const std::string& text) {
    bench.NotePrompt(text, ui::BoxOrigin());
  });
}

std::vector<std::string> DepartureWatch::Findings() {
  const RunContext* run = session_.Form().CurrentRun();
  if (run == nullptr || units_.empty()) return {};
  return Findings(units_.begin()->first, run->Rows);
}

std::vector<std::string> DepartureWatch::Findings(int unit, const std::vector<RunRow>& rows) {
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

bool DepartureWatch::Closed(int icon) {
  return icon == kIconPassed || icon == kIconWarned;
}

std::size_t DepartureWatch::CountedAt(const std::vector<RunRow>& rows,
                                      const std::vector<int>& left) {
  for (std::size_t r = 0; r < rows.size() && r < left.size(); ++r) {
    if (rows[r].caption.starts_with("Check if trays open")) {
      return left[r] == kIconNone ? r : rows.size();
    }
  }
  return rows.size();
}

bool DepartureWatch::DriveStep(std::string caption) {
  while (!caption.empty() && caption.back() == ' ') caption.pop_back();
  for (const char* end : {"ray open", "ray close", "rays open", "rays close"}) {
    if (caption.ends_with(end)) return true;
  }
  return caption.find("drive") != std::string::npos;
}

std::vector<ui::headless::PromptRecord> DepartureWatch::PromptsOf(const std::string& origin) {
  auto prompts = session_.Toolkit().Prompts();
  if (!origin.empty()) {
    std::erase_if(prompts, [&](const auto& p) { return p.origin != origin; });
  }
  return prompts;
}

void DepartureWatch::SetPromptUp(bool up) {
  std::lock_guard lock(mutex_);
  promptUp_ = up;
  promptOrigin_ = up ? ui::BoxOrigin() : std::string();
}

std::vector<int> DepartureWatch::Icons(int unit) {
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

void DepartureWatch::Changed(const platform::sim::SimDeviceChange& change) {
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

std::vector<std::string> RunIteration(const std::string& benchText,
                                      const std::vector<std::string>& serials,
                                      std::uint64_t answerSeed, Tally& tally,
                                      const RunObserver& observer, bool eachAlone) {
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
    const std::vector<int> answers = DrawAnswers(answerDraw);
    RunUnit(session, unit, serials[unit], answers, tally, observer, findings);
  }
  return findings;
}

std::vector<std::string> RunParallelIteration(const std::string& benchText,
                                              const std::vector<std::string>& serials,
                                              std::uint64_t answerSeed, Tally& alone, Tally& atOnce,
                                              const RunObserver& observer) {
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
