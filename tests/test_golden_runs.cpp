// Golden runs: whole sessions on fixed benches, every run's record (as veltrane-bench --json
// writes it) and the saved "Test.log" in clear, compared with files kept in tests/golden/.
// A change of structure must not change a single log line, memo line or prompt: this is the
// test that says so. A change of behaviour that is meant shows here as a diff of the golden
// file; rewrite the files with VELTRANE_UPDATE_GOLDEN=1 (e.g.
// `VELTRANE_UPDATE_GOLDEN=1 ctest --preset linux-debug -R Golden`) and commit them with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SessionLog.h"
#include "app/SimSession.h"
#include "app/SoakRun.h"
#include "device/Device.h"
#include "platform/sim/HostFacts.h"
#include "platform/sim/bench/DemoBench.h"
#include "report/LogReader.h"
#include "report/RecordFiles.h"
#include "report/RecordJson.h"
#include "report/RecordReport.h"
#include "report/RunRecord.h"
#include "report/StepList.h"
#include "report/TestLog.h"

namespace {

// One golden session: a bench and, per combo item tested in turn, the answers its prompts get.
struct GoldenCase {
  const char* name;  // tests/golden/<name>.txt
  std::string bench;
  std::map<std::string, std::vector<int>> answers;  // by the serial of the unit run
  bool stationLogKept = false;  // the station's Test.log, in tests/golden/station_<name>.txt
};

// The demo bench with these faults on its unit of this serial.
std::string DemoWithFaults(const std::string& serial, const nlohmann::json& faults) {
  auto bench = nlohmann::json::parse(platform::sim::DemoBenchText());
  for (auto& unit : bench.at("units")) {
    if (unit.at("serial") == serial) unit["faults"] = faults;
  }
  return bench.dump();
}

// The host as the golden files know it (set below): its live name, processors, system and
// memory would differ from one machine to the next.
platform::sim::SimOptions FixedHost() {
  platform::sim::SimOptions options;
  options.hostFacts = false;
  return options;
}

// The rest of the host as the golden files know it: its name, memory and processors.
void FixHostFacts(SimSession& session) {
  session.Sim().SetComputerName("BENCH-PC");
  session.Sim().SetMemoryStatus(platform::MemoryStatus{0x20000000u, 0x10000000u});
  platform::sim::HostFacts host;
  host.processorNames = {"Bench CPU @ 2.40GHz", "Bench CPU @ 2.40GHz"};
  host.productName = "Bench OS";
  host.currentVersion = "6.1";
  host.currentBuild = "6.1.0-bench";
  host.currentBuildNumber = "#1 SMP";
  platform::sim::AddHostKeys(session.Sim().Registry(), host);
}

// A saved "Test.log" in clear, as veltrane-log prints it, with its exit status and errors.
void AppendLogInClear(std::istream& log, std::ostringstream& out) {
  std::ostringstream errors;
  out << "=== Test.log ===\n";
  const int status = ReadLogStream(log, out, errors);
  out << "=== veltrane-log: " << status << " ===\n" << errors.str();
}

// Runs every combo item of the case's bench in one session and writes down what an operator
// and a reader of the files would see: each run's record (wall-clock time left out: it is the
// only field the host's speed changes) and, last, "Test.log" in clear.
std::string RunGoldenSession(const GoldenCase& c) {
  soak::ScratchFolder folder("golden");
  SimSession session(c.bench, FixedHost());
  FixHostFacts(session);
  std::ostringstream out;
  const std::size_t items = session.Form().ComboBox1.Items().size();
  for (std::size_t i = 0; i < items; ++i) {
    const std::string item = session.Form().BaseItemText(static_cast<int>(i));
    std::vector<int> answers;
    for (const auto& [serial, given] : c.answers) {
      if (item.find("(" + serial + ")") != std::string::npos) answers = given;
    }
    const auto virtualStart = session.Sim().Clock().NowMs();
    const auto waitedStart = session.Sim().Clock().WaitedMs();
    const bool ended = session.Run(static_cast<int>(i), answers, soak::kVirtualLimitMs);
    nlohmann::json record = RecordJson(LastRunRecord());
    record["ended"] = ended;
    record["virtual_ms"] = session.Sim().Clock().NowMs() - virtualStart;
    record["pause_ms"] = session.Sim().Clock().WaitedMs() - waitedStart;
    out << "=== " << item << " ===\n" << record.dump(1) << "\n";
  }
  // Each record file is the golden record's value laid out as the JSON library lays it out,
  // which is how record files were written before the program had its own writer.
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator("TestRecords")) {
    if (e.path().extension() != ".json") continue;
    ++files;
    const std::string text = soak::FileText(e.path());
    EXPECT_EQ(text, nlohmann::json::parse(text).dump(2, ' ', false,
                                                     nlohmann::json::error_handler_t::replace) +
                        "\n")
        << e.path();
  }
  EXPECT_EQ(files, items);
  std::ifstream log("Test.log", std::ios::binary);
  AppendLogInClear(log, out);
  return out.str();
}

std::filesystem::path GoldenPath(const std::string& name) {
  return std::filesystem::path(VELTRANE_SOURCE_DIR) / "tests" / "golden" / (name + ".txt");
}

// Compares `actual` with tests/golden/<name>.txt line by line, so that a failure names the
// first line that differs; with VELTRANE_UPDATE_GOLDEN set, rewrites the file instead and
// returns true.
bool ExpectAsKept(const std::string& name, const std::string& actual) {
  const auto path = GoldenPath(name);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read on the test thread; nothing sets the environment
  if (std::getenv("VELTRANE_UPDATE_GOLDEN") != nullptr) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << actual;
    return true;
  }
  const std::string expected = soak::FileText(path);
  if (expected.empty()) {
    ADD_FAILURE() << path << " is missing: run with VELTRANE_UPDATE_GOLDEN=1";
    return false;
  }
  std::istringstream a(actual), e(expected);
  std::string al, el;
  for (int line = 1;; ++line) {
    const bool moreA = static_cast<bool>(std::getline(a, al));
    const bool moreE = static_cast<bool>(std::getline(e, el));
    if (!moreA && !moreE) break;
    if ((moreA ? al : "<end>") != (moreE ? el : "<end>")) {
      ADD_FAILURE() << path << ":" << line << "\n  actual: " << (moreA ? al : "<end>")
                    << "\n    kept: " << (moreE ? el : "<end>");
      break;
    }
  }
  return false;
}

std::vector<GoldenCase> GoldenCases() {
  // The demo as scripts/run.sh runs it: every unit; the LQ40 is the first to ask anything, and
  // its operator answers OK.
  std::vector<GoldenCase> cases;
  cases.push_back({"demo", platform::sim::DemoBenchText(), {{"LQ40A0001", {ui::kIdOk}}}, true});
  // The TM36K's second sensor query answers "error": the operator retries.
  cases.push_back({"tm36k_retry",
                   DemoWithFaults("TK36K0001", nlohmann::json::array({{{"kind", "reply"},
                                                                       {"command", "AT+C00"},
                                                                       {"occurrence", 2},
                                                                       {"answer", "error"}}})),
                   {{"TK36K0001", {ui::kIdRetry}}, {"LQ40A0001", {ui::kIdOk}}}});
  // The LQ40's operator cancels at the supply prompt.
  cases.push_back(
      {"lq40_cancel", platform::sim::DemoBenchText(), {{"LQ40A0001", {ui::kIdCancel}}}});
  return cases;
}

class GoldenRun : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenRun, RecordsAndLogAreAsKept) {
  const GoldenCase& c = GetParam();
  if (ExpectAsKept(c.name, RunGoldenSession(c))) GTEST_SKIP() << "rewrote " << c.name;
}

INSTANTIATE_TEST_SUITE_P(Benches, GoldenRun, ::testing::ValuesIn(GoldenCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The same benches as a station: every unit at once --------------------------------------

// The answers the case gives the unit of this combo item.
std::vector<int> AnswersOf(const GoldenCase& c, const std::string& item) {
  for (const auto& [serial, given] : c.answers) {
    if (item.find("(" + serial + ")") != std::string::npos) return given;
  }
  return {};
}

// Each run of the case alone, in a session of its own and as its first run, as every run of a
// station starts: its record by combo item.
std::map<std::string, nlohmann::json> LoneRecords(const GoldenCase& c) {
  std::map<std::string, nlohmann::json> records;
  for (std::size_t i = 0, items = 1; i < items; ++i) {
    SimSession session(c.bench, FixedHost());
    FixHostFacts(session);
    const std::vector<std::string> names = session.Form().ItemNames();
    items = names.size();
    EXPECT_TRUE(session.Run(static_cast<int>(i), AnswersOf(c, names[i]), soak::kVirtualLimitMs))
        << names[i] << ": a lone run hangs";
    records[names[i]] = RecordJson(LastRunRecord());
  }
  return records;
}

// Every run of the case at once (Start all): records by combo item, and "Test.log" as saved.
std::map<std::string, nlohmann::json> StationRecords(const GoldenCase& c, std::string& log) {
  SimSession session(c.bench, FixedHost());
  FixHostFacts(session);
  std::map<std::string, std::vector<int>> own;
  for (const std::string& item : session.Form().ItemNames()) own[item] = AnswersOf(c, item);
  bool ended = false;
  std::map<std::string, nlohmann::json> records;
  for (const auto& [item, record] : session.RunAllRecords({}, own, soak::kVirtualLimitMs, &ended)) {
    records[item] = RecordJson(record);
  }
  EXPECT_TRUE(ended) << "the station hangs";
  // On a station every box names the unit that asks, and got the answer meant for that unit.
  for (const auto& prompt : session.Toolkit().Prompts()) {
    const std::string unit = prompt.origin.substr(prompt.origin.find("] ") + 2);
    EXPECT_TRUE(prompt.caption.ends_with(" - " + unit)) << prompt.caption << " of " << unit;
    const std::vector<int> meant = AnswersOf(c, prompt.origin);
    if (!meant.empty()) {
      EXPECT_EQ(prompt.answer, meant.front()) << prompt.text;
    }
  }
  log = soak::FileText("Test.log");
  return records;
}

class StationRun : public ::testing::TestWithParam<GoldenCase> {};

// Every unit's record from the station equals its record from a run alone on the same bench,
// as the first run of a session of its own, faults, retries and cancels included, and times
// included: each run of the station lives on its own time line from Start all's act, so its
// start and end, its rows' times and its log lines' are those of its lone run to the
// hundredth. Two stations agree to the byte, and the demo station's Test.log is as kept: the
// order in which the workers take their turns (on a tie, the one started first) shows in it.
TEST_P(StationRun, EveryRecordIsItsLoneRunsAndTwoStationsAgree) {
  const GoldenCase& c = GetParam();
  soak::ScratchFolder folder("station");
  const auto lone = LoneRecords(c);
  std::string firstLog, secondLog;
  const auto first = StationRecords(c, firstLog);
  const auto second = StationRecords(c, secondLog);
  ASSERT_EQ(first.size(), lone.size());
  std::set<std::string> runIds;
  for (const auto& [item, record] : lone) {
    ASSERT_TRUE(first.contains(item)) << item;
    // Everything but the run's identity: each run of the station draws its own.
    nlohmann::json station = first.at(item);
    EXPECT_TRUE(runIds.insert(station.at("run_id").get<std::string>()).second) << item;
    station["run_id"] = record.at("run_id");
    EXPECT_EQ(nlohmann::json::diff(record, station).dump(), "[]")
        << item << ": the station's record against its lone run's";
  }
  EXPECT_EQ(nlohmann::json(first).dump(), nlohmann::json(second).dump());
  EXPECT_EQ(firstLog, secondLog);
  if (c.stationLogKept) {
    std::ostringstream clear;
    std::istringstream log(firstLog);
    AppendLogInClear(log, clear);
    ExpectAsKept(std::string("station_") + c.name, clear.str());
  }
  // Every unit that is not cancelled passes.
  for (const auto& [item, record] : first) {
    if (AnswersOf(c, item) != std::vector<int>{ui::kIdCancel}) {
      EXPECT_EQ(record.at("result"), "Success") << item;
    }
  }
  // The station's log tells its runs apart: each unit's lines carry its tag while another run
  // is under way (a run left alone at the end writes as a lone run does), the first run's
  // opening lines included: Start all started them all in one act.
  std::map<std::string, std::size_t> tagged;
  std::istringstream lines(firstLog);
  bool firstHostReport = true;
  for (std::string line; std::getline(lines, line);) {
    const std::string clear = ClearLogText(line);
    if (firstHostReport && clear.find("=======Get CPU Information") != std::string::npos) {
      firstHostReport = false;
      EXPECT_EQ(clear.compare(kLogPrefixLength, 1, "<"), 0) << "the first run's opening: " << clear;
    }
    const std::size_t close = clear.find("> ", kLogPrefixLength);
    if (clear.compare(kLogPrefixLength, 1, "<") == 0 && close != std::string::npos) {
      ++tagged[clear.substr(kLogPrefixLength + 1, close - kLogPrefixLength - 1)];
    }
  }
  for (const auto& [item, record] : first) {
    const std::string serial = record.at("unit").at("serial");
    EXPECT_LE(tagged[serial], record.at("log").size()) << serial;
    EXPECT_GE(tagged[serial], record.at("log").size() / 2) << serial;
  }
  // veltrane-log rebuilds one record per run from the station's log: each with its own unit,
  // lines, rows and result, a failing unit's Error included.
  std::istringstream saved(firstLog);
  const std::vector<RunRecord> rebuilt = RecordsFromLog(saved);
  ASSERT_EQ(rebuilt.size(), first.size());
  for (const RunRecord& run : rebuilt) {
    const auto kept = std::find_if(first.begin(), first.end(), [&](const auto& entry) {
      return entry.second.at("unit").at("serial") == run.unit.serial;
    });
    ASSERT_NE(kept, first.end()) << run.unit.serial;
    const nlohmann::json json = RecordJson(run);
    EXPECT_EQ(json.at("log"), kept->second.at("log")) << run.unit.serial;
    // The rows the run reached, each under its own number.
    ASSERT_FALSE(run.rows.empty()) << run.unit.serial;
    for (const RecordRow& row : run.rows) {
      EXPECT_EQ(row.caption, kept->second.at("rows").at(row.number - 1).at("caption"));
    }
    // A row that failed once and passed on a retry reads as failed: the log keeps no retry.
    if (kept->second.at("result") == "Error") {
      EXPECT_EQ(run.result, "Error") << run.unit.serial;
    }
  }
}

// What the operator sees of a station: each item's state as the runs go, no dialog until the
// last run has ended, then one, and Result showing each unit's own last dialog.
TEST(Station, ItemsTellStatesAndResultsWaitForTheLastRun) {
  const GoldenCase c = GoldenCases().back();  // the LQ40's operator cancels
  soak::ScratchFolder folder("station-window");
  SimSession session(c.bench, FixedHost());
  TForm1& form = session.Form();
  const std::size_t units = form.ItemNames().size();
  std::set<std::string> states;
  int dialogsWhileRunning = 0;
  std::vector<std::string> misread;
  std::map<std::string, std::vector<int>> icons;  // each unit's marks at its last line
  std::vector<std::string> cut;  // items the closed box cuts off, or a box under the step list
  form.onResultLine = [&](const UnitRun& socket, const std::string&) {
    const ui::Rect combo = form.ComboBox1.Bounds();
    const ui::Rect list = form.ListView1.Bounds();
    for (const std::string& item : form.ComboBox1.Items()) {
      states.insert(item.substr(item.find(" - ") + 3, 7));
      // The drop-down button takes 17 pixels of the closed box.
      const int room = combo.width - 17;
      if (session.Toolkit().TextWidth(form.ComboBox1.GetFont(), item) > room) cut.push_back(item);
    }
    if (combo.left + combo.width > list.left || list.left + list.width > form.ClientWidth()) {
      cut.push_back("the box reaches the step list, or the list leaves the window");
    }
    if (form.RunsUnderWay() > 0) dialogsWhileRunning = session.Toolkit().ModalShowings();
    // The item of the unit that just marked a row names that row (counted from 1) of its list.
    const RunContext& run = *socket.Run();
    std::vector<int>& seen = icons[socket.item];
    seen.resize(run.Rows.size(), kIconNone);
    std::size_t marked = 0;
    for (std::size_t r = 0; r < run.Rows.size(); ++r) {
      if (run.Rows[r].icon != seen[r]) marked = r + 1;
      seen[r] = run.Rows[r].icon;
    }
    if (marked == 0) return;
    const auto names = form.ItemNames();
    const auto at = std::find(names.begin(), names.end(), socket.item);
    const std::string shown = form.ComboBox1.Items()[static_cast<std::size_t>(at - names.begin())];
    const std::string meant = socket.item + " - running, row " + std::to_string(marked) + " of " +
                              std::to_string(run.Rows.size());
    if (at != names.end() && shown != meant) misread.push_back(shown + " for " + meant);
  };
  EXPECT_TRUE(form.StartAllButton.Visible());
  const int before = session.Toolkit().ModalShowings();
  std::map<std::string, std::vector<int>> own;
  for (const std::string& item : form.ItemNames()) own[item] = AnswersOf(c, item);
  bool ended = false;
  const auto records = session.RunAllRecords({}, own, soak::kVirtualLimitMs, &ended);
  form.onResultLine = nullptr;
  ASSERT_TRUE(ended);
  EXPECT_TRUE(states.contains("running")) << "no item showed its run";
  EXPECT_TRUE(misread.empty()) << (misread.empty() ? "" : misread.front());
  EXPECT_TRUE(cut.empty()) << (cut.empty() ? "" : cut.front());
  EXPECT_TRUE(states.contains("Success")) << "no item showed a result while others ran";
  EXPECT_EQ(dialogsWhileRunning, before) << "a dialog opened while runs went on";
  EXPECT_EQ(session.Toolkit().ModalShowings(), before + 1);
  ASSERT_EQ(records.size(), units);
  // The dialog that closes the session is the last run's (Station.TheOneDialogIsTheRunThatEndedLast
  // pins which), names its unit, and says first how the other runs ended, the failure first: a
  // station's "Success" is never its only word.
  std::string closing;
  for (const std::string& item : form.ItemNames()) {
    if (session.Dialog().Caption() == "Test Report - " + item.substr(item.find("] ") + 2)) {
      closing = item;
    }
  }
  ASSERT_FALSE(closing.empty()) << session.Dialog().Caption();
  for (const auto& [item, record] : records) {
    EXPECT_LE(FormatDateTime(record.end), FormatDateTime(records.at(closing).end)) << item;
  }
  std::vector<std::string> others = records.at(closing).memo;
  others.push_back(kResultSeparator);
  others.emplace_back("Other units tested with this one:");
  for (const std::string& item : form.ItemNames()) {
    if (item != closing && records.at(item).result != "Success") {
      others.push_back("  " + item + " - " + records.at(item).result);
    }
  }
  ASSERT_EQ(others.size(), records.at(closing).memo.size() + 3) << "the LQ40's run failed";
  for (const std::string& item : form.ItemNames()) {
    if (item != closing && records.at(item).result == "Success") {
      others.push_back("  " + item + " - Success");
    }
  }
  const std::vector<std::string> closingMemo = session.Dialog().Memo1.Lines();
  EXPECT_EQ(closingMemo, others);
  for (std::size_t i = 0; i < units; ++i) {
    const std::string item = form.ItemNames()[i];
    form.ComboBox1.PickItem(static_cast<int>(i));
    EXPECT_EQ(form.ComboBox1.Text(), item + " - " + records.at(item).result);
    EXPECT_TRUE(form.Button1.Enabled()) << item;
    form.Button2.Click();
    EXPECT_EQ(session.Dialog().Caption(), "Test Report - " + item.substr(item.find("] ") + 2));
    EXPECT_EQ(session.Dialog().Label2.Caption(), records.at(item).result) << item;
    EXPECT_EQ(session.Dialog().Memo1.Lines(), item == closing ? closingMemo : records.at(item).memo)
        << item;
    // The list shows the unit's own run, marked as its record says.
    const auto& rows = form.ListView1.Items();
    ASSERT_EQ(rows.size(), records.at(item).rows.size()) << item;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      EXPECT_EQ(IconWord(rows[r].imageIndex), records.at(item).rows[r].icon)
          << item << " row " << r;
    }
  }
}

// The operator moves to an idle unit while another runs: when that run ends, its own dialog
// opens, not the idle unit's older one.
TEST(Station, TheLastRunsDialogIsItsOwnWhenTheSelectedUnitDidNotRunWithIt) {
  soak::ScratchFolder folder("station-dialog");
  SimSession session(platform::sim::DemoBenchText(), FixedHost());
  TForm1& form = session.Form();
  ASSERT_TRUE(session.Run(0, {}, soak::kVirtualLimitMs));
  const std::vector<std::string> olderMemo = session.Dialog().Memo1.Lines();
  session.Toolkit().RunAsWindowWork([&] {
    form.ComboBox1.PickItem(2);
    form.Button1.Click();
    form.ComboBox1.PickItem(0);
  });
  RunRecord last;
  form.onRunKept = [&](const UnitRun& socket) { last = RecordOf(*socket.last); };
  session.Toolkit().RunUntil([&] { return form.AllRunsHandled(); });
  form.onRunKept = nullptr;
  EXPECT_EQ(last.item, form.ItemNames()[2]);
  EXPECT_EQ(session.Dialog().Memo1.Lines(), last.memo);
  EXPECT_NE(session.Dialog().Memo1.Lines(), olderMemo);
}

// Start all with the selected unit ending before the last run does (first, cancelled; or
// between others): the one dialog that opens is the last run's own, as its record keeps it: its
// word, its times and its memo, never the selected unit's.
TEST(Station, TheOneDialogIsTheRunThatEndedLast) {
  struct Case {
    std::size_t bench;       // in GoldenCases()
    const char* selected;    // the serial of the unit selected as Start all is pressed
    bool selectedEndsFirst;  // else it ends between others
  };
  for (const Case& t : {Case{2, "LQ40A0001", true}, Case{0, "TP36P0001", false}}) {
    const GoldenCase c = GoldenCases()[t.bench];
    SCOPED_TRACE(std::string(c.name) + ", " + t.selected + " selected");
    soak::ScratchFolder folder("station-last");
    SimSession session(c.bench, FixedHost());
    TForm1& form = session.Form();
    const std::vector<std::string> items = form.ItemNames();
    form.ComboBox1.PickItem(soak::ItemOf(items, t.selected));
    std::vector<RunRecord> kept;  // in the order the runs ended
    form.onRunKept = [&](const UnitRun& socket) { kept.push_back(RecordOf(*socket.last)); };
    std::vector<std::vector<std::string>> shown;  // each dialog as it opened
    session.Toolkit().SetModalObserver([&](ui::Form&) {
      const TForm2& d = session.Dialog();
      std::vector<std::string> texts = {d.Label2.Caption(), d.Label4.Caption(), d.Label6.Caption()};
      texts.insert(texts.end(), d.Memo1.Lines().begin(), d.Memo1.Lines().end());
      shown.push_back(texts);
    });
    std::map<std::string, std::vector<int>> own;
    for (const std::string& item : items) own[item] = AnswersOf(c, item);
    ASSERT_TRUE(session.RunAll(own, soak::kVirtualLimitMs));
    form.onRunKept = nullptr;
    session.Toolkit().SetModalObserver(nullptr);
    ASSERT_EQ(kept.size(), items.size());
    ASSERT_NE(kept.back().unit.serial, t.selected) << "the selected unit must not end last";
    EXPECT_EQ(kept.front().unit.serial == t.selected, t.selectedEndsFirst);
    const RunRecord& last = kept.back();
    std::vector<std::string> expected = {last.result, FormatDateTime(last.start),
                                         FormatDateTime(last.end)};
    // The run's own memo, then how the other runs ended, failures first.
    expected.insert(expected.end(), last.memo.begin(), last.memo.end());
    expected.emplace_back(kResultSeparator);
    expected.emplace_back("Other units tested with this one:");
    for (const char* word : {"Error", "None", "Warning", "Success"}) {
      for (const std::string& item : items) {
        const auto other = std::find_if(kept.begin(), kept.end(),
                                        [&](const RunRecord& r) { return r.item == item; });
        if (item != last.item && other->result == word)
          expected.push_back("  " + item + " - " + word);
      }
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown.front(), expected) << "the dialog of " << last.item;
  }
}

// Two TM36Ks without their printers, each asking Retry/Cancel at its second row in real time:
// one box at a time, though the window keeps serving the other run while a box is up (as a
// box's modal loop does, here while its operator reads it), and each answer goes to the run
// that asked: the first unit's operator cancels at once, the second's retries (and cancels
// when it fails again). What is asserted holds however the threads are timed.
TEST(Station, BoxesAskedAtOnceInRealTimeOpenOneAtATimeEachAnswerToItsRun) {
  auto unit = [](int n) {
    return nlohmann::json{{"model", "TM36K"},
                          {"serial", "TK36K000" + std::to_string(n)},
                          {"firmware", "RM82C V1.20"},
                          {"hub", "box" + std::to_string(n)},
                          {"port", 1},
                          {"discs", {{"input", 5}}}};
  };
  const nlohmann::json bench = {
      {"hubs", nlohmann::json::array({{{"id", "pc"}, {"kind", "root_hub"}, {"ports", 2}},
                                      {{"id", "box1"}, {"parent", "pc"}, {"port", 1}},
                                      {{"id", "box2"}, {"parent", "pc"}, {"port", 2}}})},
      {"units", nlohmann::json::array({unit(1), unit(2)})}};
  soak::ScratchFolder folder("station-boxes");
  platform::sim::SimOptions options = FixedHost();
  options.clockMode = platform::sim::SimClock::Mode::kReal;
  SimSession session(bench.dump(), options);
  ui::headless::HeadlessToolkit& toolkit = session.Toolkit();
  std::atomic<int> open{0};
  std::atomic<int> most{0};
  toolkit.SetPromptHook([&, onBench = &session.Bench()](const std::string& text) {
    onBench->NotePrompt(text, ui::BoxOrigin());
    const int now = ++open;
    if (now > most) most = now;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (most < 2 && std::chrono::steady_clock::now() < until) {
      if (!toolkit.RunPending()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  toolkit.SetPromptObserver([&](const ui::headless::PromptRecord&) { --open; });
  const std::vector<std::string> items = session.Form().ItemNames();
  ASSERT_EQ(items.size(), 2u);
  std::map<std::string, RunRecord> records;
  session.Form().onRunKept = [&](const UnitRun& socket) {
    records[socket.item] = RecordOf(*socket.last);
  };
  const bool ended =
      session.RunAll({{items[0], {ui::kIdCancel}}, {items[1], {ui::kIdRetry}}}, 20'000);
  session.Form().onRunKept = nullptr;
  toolkit.SetPromptObserver(nullptr);
  toolkit.SetPromptHook(nullptr);
  ASSERT_TRUE(ended) << "the station hangs";
  EXPECT_EQ(most.load(), 1) << "boxes open at once";
  const std::map<std::string, std::vector<std::string>> answered = {
      {items[0], {"Cancel"}}, {items[1], {"Retry", "Cancel"}}};
  for (const auto& [item, answers] : answered) {
    const RunRecord& record = records[item];
    std::vector<std::string> given;
    for (const RecordRow& row : record.rows) {
      for (const RecordPrompt& p : row.prompts) given.push_back(p.answer);
    }
    EXPECT_EQ(given, answers) << item;
    EXPECT_EQ(record.result, "Error") << item;
  }
  EXPECT_EQ(toolkit.Prompts().size(), 3u);
}

// Two HV22 (0945) wait for their drives while other units run; their drives arrive meanwhile (one
// while the LQ40's box is up, handled in the box's loop), and drive association polls the
// waiting units' tray sensors. Those polls are the station's lines:
// in Test.log without a tag, in no run's record. Each record equals the one its run keeps when
// no drive arrives, times apart; a run alone is no exception while other units are attached.
TEST(Station, AWaitingUnitsPollsAreTheStationsAndInNoRunsRecord) {
  const auto bench = [](bool arrives) {
    return std::string(R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 8},
        {"id": "pc3", "kind": "root_hub30", "ports": 4}, {"id": "a", "parent": "pc", "port": 1},
        {"id": "b", "parent": "pc3", "port": 1}, {"id": "c", "parent": "pc3", "port": 2},
        {"id": "d", "parent": "pc", "port": 2}],
      "units": [
        {"model": "LQ40", "serial": "LQ40A0001", "hub": "a", "port": 1,
         "drives": [{"letter": "H", "port": 2}], "discs": {"input": 5}},
        {"model": "HV22", "product": "0x0923", "serial": "HV22A0001", "hub": "d", "port": 1,
         "drives": [{"letter": "E", "port": 2}], "discs": {"input": 5}},
        {"model": "HV22", "product": "0x0945", "serial": "HV22B0001", "hub": "b", "port": 1,
         "drives": [{"letter": "F", "hub": "pc3", "port": 3, "present": false}],
         "discs": {"input": 5}, "faults": [)") +
           (arrives ? R"({"kind": "plug", "target": "drive", "drive": "F", "at_ms": 5000})" : "") +
           R"(]},
        {"model": "HV22", "product": "0x0945", "serial": "HV22C0001", "hub": "c", "port": 1,
         "drives": [{"letter": "G", "hub": "pc3", "port": 4, "present": false}],
         "discs": {"input": 5}, "faults": [)" +
           (arrives ? R"({"kind": "plug", "target": "drive", "drive": "G",
                         "prompt_text": "Supply the loading area with discs."})"
                    : "") +
           R"(]}]})";
  };
  soak::ScratchFolder folder("station-polls");
  const std::map<std::string, std::vector<int>> answers = {{"[0] LQ40 (LQ40A0001)", {ui::kIdOk}}};
  for (const bool together : {false, true}) {
    std::map<std::string, nlohmann::json> records[2];
    std::string log;
    for (const bool arrives : {false, true}) {
      SimSession session(bench(arrives), FixedHost());
      TForm1& form = session.Form();
      // The LQ40, and with it (or not) the HV22 that has its drive; the waiting units stay idle.
      session.Toolkit().SetAnswersPerRun({}, answers);
      form.onRunKept = [&](const UnitRun& socket) {
        records[arrives][socket.item] = session::WithoutTimes(RecordJson(RecordOf(*socket.last)));
      };
      session.Toolkit().RunAsWindowWork([&] {
        const std::vector<std::string> items = form.ItemNames();
        for (int i = 0; i < static_cast<int>(items.size()); ++i) {
          if (items[i].ends_with("(LQ40A0001)") ||
              (together && items[i].ends_with("(HV22A0001)"))) {
            form.ComboBox1.PickItem(i);
            form.Button1.Click();
          }
        }
      });
      const auto limit = session.Sim().Clock().NowMs() + soak::kVirtualLimitMs;
      session.Toolkit().RunUntil(
          [&] { return form.AllRunsHandled() || session.Sim().Clock().NowMs() > limit; });
      form.onRunKept = nullptr;
      ASSERT_TRUE(form.AllRunsHandled()) << "a run hangs";
      log = soak::FileText("Test.log");
    }
    EXPECT_EQ(records[0].size(), together ? 2u : 1u);
    EXPECT_EQ(nlohmann::json(records[1]).dump(1), nlohmann::json(records[0]).dump(1)) << together;
    // The polls are in the log, as the station's.
    std::size_t polls = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
      const std::string message = ClearLogText(line).substr(kLogPrefixLength);
      if (!message.starts_with("AT+C00 = ")) continue;
      ++polls;
      EXPECT_FALSE(LogTagOf(message)) << message;
    }
    EXPECT_GT(polls, 0u) << together;
  }
}

// Two units with one serial and two with none: each box's caption and each log tag name the
// unit's item, so the operator and veltrane-log tell them apart; a unit whose serial is its own
// keeps its serial in both.
TEST(Station, UnitsThatLookAlikeAreToldApartByTheirItems) {
  std::string hubs = R"({"id": "pc", "kind": "root_hub", "ports": 5})";
  std::string units;
  const char* const serials[] = {R"("LQ40A0001")", R"("LQ40A0001")", "null", "null",
                                 R"("LQ40B0001")"};
  for (int i = 0; i < 5; ++i) {
    const std::string box = "box" + std::to_string(i);
    hubs += R"(, {"id": ")" + box + R"(", "parent": "pc", "port": )" + std::to_string(i + 1) + "}";
    units += std::string(i == 0 ? "" : ",") + R"({"model": "LQ40", "serial": )" + serials[i] +
             R"(, "hub": ")" + box + R"(", "port": 1, "drives": [{"letter": ")" +
             static_cast<char>('H' + i) + R"(", "port": 2}], "discs": {"input": 5}})";
  }
  soak::ScratchFolder folder("station-lookalikes");
  SimSession session(R"({"hubs": [)" + hubs + R"(], "units": [)" + units + "]}", FixedHost());
  const std::vector<std::string> items = session.Form().ItemNames();
  ASSERT_EQ(items.size(), 5u);
  std::map<std::string, std::vector<int>> answers;
  for (const std::string& item : items) answers[item] = {ui::kIdOk};
  bool ended = false;
  const auto records = session.RunAllRecords({}, answers, soak::kVirtualLimitMs, &ended);
  ASSERT_TRUE(ended);
  ASSERT_EQ(records.size(), 5u);
  // The name each unit goes by: its item, unless its serial is its own.
  std::map<std::string, std::string> names;
  for (const std::string& item : items) {
    names[item] = item.ends_with("(LQ40B0001)") ? "LQ40B0001" : item;
  }
  ASSERT_EQ(session.Toolkit().Prompts().size(), 5u);
  for (const auto& prompt : session.Toolkit().Prompts()) {
    const std::string& name = names.at(prompt.origin);
    EXPECT_EQ(prompt.caption,
              std::string("Information - ") + (name == prompt.origin ? name : "LQ40 (LQ40B0001)"));
  }
  // Every line of a run carries its name, and the tag's lines are the run's record.
  std::map<std::string, std::size_t> tagged;
  std::istringstream lines(soak::FileText("Test.log"));
  for (std::string line; std::getline(lines, line);) {
    if (const auto tag = LogTagOf(ClearLogText(line).substr(kLogPrefixLength))) ++tagged[tag->tag];
  }
  ASSERT_EQ(tagged.size(), 5u);
  for (const auto& [item, record] : records) {
    EXPECT_EQ(tagged[names.at(item)], record.log.size()) << item;
  }
}

// A station whose TestRecords cannot be written says so as a lone run does: each record once,
// in the log of the next run that starts.
TEST(Station, EachRecordThatCouldNotBeWrittenIsNamedOnceInTheNextRunsLog) {
  soak::ScratchFolder folder("station-unwritten");
  SimSession session(platform::sim::DemoBenchText(), FixedHost());
  const std::size_t units = session.Form().ItemNames().size();
  std::ofstream(kRecordFolder) << "a file where the folder should be";
  ASSERT_TRUE(session.RunAll({}, soak::kVirtualLimitMs));
  std::filesystem::remove(kRecordFolder);
  ASSERT_TRUE(session.RunAll({}, soak::kVirtualLimitMs));
  std::set<std::string> named;
  std::istringstream lines(soak::FileText(kLogFileName));
  for (std::string line; std::getline(lines, line);) {
    const std::string clear = ClearLogText(line);
    const std::size_t at = clear.find("Could not write TestRecords/");
    if (at != std::string::npos) {
      EXPECT_TRUE(named.insert(clear.substr(at)).second) << clear;
    }
  }
  EXPECT_EQ(named.size(), units);
  EXPECT_EQ(RecordFailureLines().size(), units);
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(kRecordFolder)) {
    files += e.path().extension() == ".json" ? 1 : 0;
  }
  EXPECT_EQ(files, 2 * units) << "the first session's records are written by the second";
}

// Two units under test: while either run goes the station is kept awake and a shutdown waits
// (held once, given back once the last run's log is saved). A session that ends all the same,
// or the window closed, cuts both runs where they stand: each is kept at once as a cancelled
// run, its record, history line and Test.log lines on disk before the program goes.
TEST(Station, RunsUnderWayHoldTheSessionAndAreKeptWhenItEndsOrTheWindowCloses) {
  enum class End { kOwn, kSession, kClose };
  const std::vector<std::string> serials = {"TK36K0001", "HV22A0001"};
  const std::vector<std::string> held = {
      std::string("ShutdownBlockReasonCreate(") + kRunsUnderWayReason + ")",
      "SetThreadExecutionState(0x80000001)"};
  std::vector<std::string> released = held;
  released.emplace_back("ShutdownBlockReasonDestroy");
  released.emplace_back("SetThreadExecutionState(0x80000000)");
  for (const End end : {End::kOwn, End::kSession, End::kClose}) {
    SCOPED_TRACE(end == End::kOwn ? "runs end" : end == End::kSession ? "session ends" : "closed");
    soak::ScratchFolder folder("station-cut");
    SimSession session(platform::sim::DemoBenchText(), FixedHost());
    TForm1& form = session.Form();
    EXPECT_EQ(form.Dispatch(ui::kWmQueryEndSession, 0, 0), 1) << "nothing under way";
    std::vector<int> indexes;
    for (const std::string& serial : serials) {
      indexes.push_back(soak::ItemOf(form.ItemNames(), serial));
    }
    std::vector<std::size_t> callsAtKeep;
    form.onRunKept = [&](const UnitRun&) {
      callsAtKeep.push_back(session.Sim().SessionCalls().size());
    };
    EXPECT_TRUE(session.Sim().SessionCalls().empty());
    session.Toolkit().RunAsWindowWork([&] { form.StartUnits(indexes); });
    EXPECT_EQ(session.Sim().SessionCalls(), held);
    if (end == End::kOwn) {
      session.Toolkit().RunUntil([&] { return form.AllRunsHandled(); });
    } else {
      // Both runs past their first row.
      session.Toolkit().RunUntil([&] {
        for (const int i : indexes) {
          const UnitRun* socket =
              std::as_const(form).SocketOf(DeviceList[static_cast<std::size_t>(i)].get());
          if (socket->Run()->CurrentRow.load() < 1) return false;
        }
        return true;
      });
      EXPECT_EQ(session.Sim().SessionCalls(), held);
      EXPECT_EQ(form.Dispatch(ui::kWmQueryEndSession, 0, 0), 0) << "the session is asked to wait";
      if (end == End::kSession) {
        EXPECT_EQ(form.Dispatch(ui::kWmEndSession, 1, 0), 0);
        EXPECT_EQ(form.Dispatch(ui::kWmQueryEndSession, 0, 0), 1);
      } else {
        form.FormClose();
      }
      EXPECT_EQ(form.RunsUnderWay(), 0);
    }
    form.onRunKept = nullptr;
    EXPECT_EQ(callsAtKeep, (std::vector<std::size_t>{2, 2})) << "held until the last is saved";
    EXPECT_EQ(session.Sim().SessionCalls(), released);
    // What is on disk now is what the program leaves if it is ended now.
    std::vector<nlohmann::json> records;
    for (const auto& e : std::filesystem::directory_iterator(kRecordFolder)) {
      if (e.path().extension() == ".json") {
        records.push_back(nlohmann::json::parse(soak::FileText(e.path().string())));
      }
    }
    ASSERT_EQ(records.size(), serials.size());
    std::istringstream history(soak::FileText(std::string(kRecordFolder) + "/" + kHistoryFile));
    std::size_t historyLines = 0;
    for (std::string line; std::getline(history, line);) ++historyLines;
    EXPECT_EQ(historyLines, 1 + serials.size());
    if (end == End::kOwn) continue;
    const std::string cancelled = session::ErrorLine(kTestCancelled);
    for (const nlohmann::json& record : records) {
      SCOPED_TRACE(record.at("item").get<std::string>());
      EXPECT_EQ(record.at("result"), "Error");
      const auto& memo = record.at("memo");
      EXPECT_EQ(std::count(memo.begin(), memo.end(), cancelled), 1);
    }
    std::istringstream log(soak::FileText(kLogFileName));
    std::map<std::string, int> cutLines;
    for (std::string line; std::getline(log, line);) {
      for (const std::string& serial : serials) {
        const std::string clear = ClearLogText(line);
        if (IsLineOfUnit(line, serial) && clear.find(kTestCancelled) != std::string::npos) {
          ++cutLines[serial];
        }
      }
    }
    EXPECT_EQ(cutLines, (std::map<std::string, int>{{serials[0], 1}, {serials[1], 1}}));
  }
}

INSTANTIATE_TEST_SUITE_P(Benches, StationRun, ::testing::ValuesIn(GoldenCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Stations whose bench says more than the demo: each unit's run at once is still its run alone.
std::vector<GoldenCase> StationCases() {
  std::vector<GoldenCase> cases;
  // The TM36K's input bin is empty and the operator fills it at the TM36K's own first box, not
  // at the first box of the station (the LQ40 asks too).
  auto bench = nlohmann::json::parse(platform::sim::DemoBenchText());
  for (auto& unit : bench.at("units")) {
    if (unit.at("serial") != "TK36K0001") continue;
    unit["discs"] = {{"input", 0}};
    unit["faults"] =
        nlohmann::json::array({{{"kind", "add_discs"}, {"count", 3}, {"at_prompt", 1}}});
  }
  cases.push_back(
      {"own_boxes", bench.dump(), {{"TK36K0001", {ui::kIdRetry}}, {"LQ40A0001", {ui::kIdOk}}}});
  // Two TM36Ks whose printers' queues have one name: the system knows the second as
  // "... (Copy 1)", and each unit's print jobs reach its own printer.
  cases.push_back({"queues_of_one_name",
                   R"({"hubs": [{"id": "pc"}, {"id": "a", "parent": "pc", "port": 1},
                                {"id": "b", "parent": "pc", "port": 2}],
                       "units": [
                         {"model": "TM36K", "serial": "TK36K0001", "hub": "a", "port": 1,
                          "printer": {"port": 3, "queue": "Disc Printer"}, "discs": {"input": 5}},
                         {"model": "TM36K", "serial": "TK36K0002", "hub": "b", "port": 1,
                          "printer": {"port": 3, "queue": "Disc Printer"}, "discs": {"input": 5}}]})",
                   {}});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Stations, StationRun, ::testing::ValuesIn(StationCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
