// The unit's cable pulled at every point of a run: for each unit of the demo bench, one run per
// command its healthy run exchanges, the unit (its links, printer and drives) leaving right after
// that command. Whatever the point, the run ends, "Start" comes back, "Test.log" is saved, the
// result dialog is shown, the device combo lists the other units, and no row passes and no box
// asks once the unit has gone. Then single departures at the awkward points: while a step that
// sends nothing asks, during a tray's settle time, right after a part's check has passed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "SessionLog.h"
#include "app/SimSession.h"
#include "app/SoakRun.h"
#include "device/Device.h"
#include "device/Drives.h"
#include "platform/sim/bench/DemoBench.h"
#include "report/RecordJson.h"
#include "report/RunRecord.h"
#include "report/TestLog.h"

namespace {

struct DemoUnit {
  int index = 0;
  std::string model;
  std::string serial;
  bool printer = false;
  std::vector<std::string> drives;  // letters
};

// Names the case in test listings and failures.
void PrintTo(const DemoUnit& unit, std::ostream* out) {
  *out << unit.model << " " << unit.serial;
}

std::vector<DemoUnit> DemoUnits() {
  const auto bench = nlohmann::json::parse(platform::sim::DemoBenchText());
  std::vector<DemoUnit> units;
  for (const auto& u : bench.at("units")) {
    DemoUnit unit{
        static_cast<int>(units.size()), u.at("model"), u.at("serial"), u.contains("printer"), {}};
    for (const auto& d : u.value("drives", nlohmann::json::array())) {
      unit.drives.push_back(d.at("letter"));
    }
    units.push_back(unit);
  }
  return units;
}

// When the cable is pulled: right after the unit's n-th command (counted from power-on,
// discovery's included), or at a bench time; and whether it goes back in a while later.
struct Pull {
  std::size_t afterCommand = 0;
  std::int64_t atMs = -1;      // >= 0: at this bench time instead
  std::int64_t backAtMs = -1;  // >= 0: every device arrives again then
};

// The demo bench with every device of the unit unplugged (and maybe plugged again) as `pull`
// says: the links, the printer and the drives, all at once.
std::string CablePulled(const DemoUnit& unit, const Pull& pull) {
  auto bench = nlohmann::json::parse(platform::sim::DemoBenchText());
  auto faults = nlohmann::json::array();
  std::vector<nlohmann::json> parts = {{}};
  if (unit.printer) parts.push_back({{"target", "printer"}});
  for (const std::string& letter : unit.drives) {
    parts.push_back({{"target", "drive"}, {"drive", letter}});
  }
  for (nlohmann::json part : parts) {
    part["kind"] = "unplug";
    if (pull.atMs >= 0) {
      part["at_ms"] = pull.atMs;
    } else {
      part["after_command"] = pull.afterCommand;
    }
    faults.push_back(part);
    if (pull.backAtMs < 0) continue;
    part.erase("after_command");
    part["kind"] = "plug";
    part["at_ms"] = pull.backAtMs;
    faults.push_back(part);
  }
  bench.at("units").at(static_cast<std::size_t>(unit.index))["faults"] = faults;
  return bench.dump();
}

std::string CablePulledAfter(const DemoUnit& unit, std::size_t n) {
  return CablePulled(unit, {.afterCommand = n});
}

// The combo items once item `gone` has left: the others, numbered again from 0.
std::vector<std::string> ItemsWithout(const std::vector<std::string>& items, int gone) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (static_cast<int>(i) == gone) continue;
    const std::string name = items[i].substr(items[i].find("] ") + 2);
    out.push_back("[" + std::to_string(out.size()) + "] " + name);
  }
  return out;
}

// The healthy run of a unit: the combo items, the unit's item and the commands it exchanged.
struct HealthyRun {
  std::vector<std::string> items;
  int item = -1;
  std::size_t commandsBefore = 0;  // discovery's
  std::vector<std::string> commands;
  std::vector<std::int64_t> times;  // bench ms of each of those commands
  std::string result;
};

HealthyRun RunHealthy(const DemoUnit& unit) {
  HealthyRun healthy;
  SimSession session(platform::sim::DemoBenchText());
  healthy.items = session.Form().ItemNames();
  healthy.item = soak::ItemOf(healthy.items, unit.serial);
  if (healthy.item < 0) return healthy;
  healthy.commandsBefore = session.Bench().CommandLog(unit.index).size();
  // The LQ40 asks for discs in its loading area; the operator answers OK.
  if (!session.Run(healthy.item, {ui::kIdOk}, soak::kVirtualLimitMs)) return healthy;
  const auto log = session.Bench().CommandLog(unit.index);
  healthy.commands.assign(log.begin() + static_cast<std::ptrdiff_t>(healthy.commandsBefore),
                          log.end());
  const auto times = session.Bench().CommandTimesMs(unit.index);
  healthy.times.assign(times.begin() + static_cast<std::ptrdiff_t>(healthy.commandsBefore),
                       times.end());
  healthy.result = session.Dialog().Label2.Caption();
  return healthy;
}

// Runs save "Test.log" in the current folder: each test has a folder of its own.
class UnplugSession : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = std::make_unique<soak::ScratchFolder>("unplug"); }
  void TearDown() override { folder_.reset(); }

 private:
  std::unique_ptr<soak::ScratchFolder> folder_;
};

class UnplugSweep : public UnplugSession, public ::testing::WithParamInterface<DemoUnit> {
 protected:
  // One run with the cable pulled after the run's n-th command, and what the operator sees.
  void RunPulledAfter(const HealthyRun& healthy, std::size_t n) {
    const DemoUnit& unit = GetParam();
    std::filesystem::remove(kLogFileName);
    SimSession session(CablePulledAfter(unit, healthy.commandsBefore + n));
    ASSERT_EQ(session.Form().ItemNames(), healthy.items);
    const int shown = session.Toolkit().ModalShowings();
    soak::DepartureWatch watch(session, unit.index);

    ASSERT_TRUE(session.Run(healthy.item, {ui::kIdOk}, soak::kVirtualLimitMs)) << "the run hangs";
    EXPECT_EQ(soak::CheckRunEnd(session, shown), std::vector<std::string>{});
    // Nothing passes and nothing asks once the unit has gone.
    EXPECT_EQ(watch.Findings(), std::vector<std::string>{});
    EXPECT_TRUE(session.Form().ComboBox1.Enabled());
    // The tested unit left during the run: its list went with it, whatever the combo shows now,
    // and no other unit's list is marked.
    EXPECT_EQ(session.Dialog().Label2.Caption(), "None");
    for (const auto& row : session.Form().ListView1.Items()) {
      EXPECT_EQ(row.imageIndex, kIconNone) << "another unit's row marked: " << row.caption;
    }
    EXPECT_FALSE(session.Dialog().Label6.Caption().empty()) << "the end time";
    EXPECT_EQ(session.Form().ItemNames(), ItemsWithout(healthy.items, healthy.item));
  }
};

TEST_P(UnplugSweep, EveryRunEndsCleanlyWhicheverCommandTheUnitLeftAfter) {
  const HealthyRun healthy = RunHealthy(GetParam());
  ASSERT_GE(healthy.item, 0) << "the unit is not in the combo";
  ASSERT_EQ(healthy.result, "Success") << "the healthy run";
  ASSERT_FALSE(healthy.commands.empty());

  const auto started = std::chrono::steady_clock::now();
  for (std::size_t n = 1; n <= healthy.commands.size(); ++n) {
    SCOPED_TRACE("unplugged after the run's command " + std::to_string(n) + " of " +
                 std::to_string(healthy.commands.size()) + ": " + healthy.commands[n - 1]);
    RunPulledAfter(healthy, n);
    if (HasFailure()) break;  // one faulty point tells enough
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("[  SWEEP   ] %s: %zu runs in %.2f s\n", GetParam().model.c_str(),
              healthy.commands.size(), seconds);
}

INSTANTIATE_TEST_SUITE_P(DemoBench, UnplugSweep, ::testing::ValuesIn(DemoUnits()),
                         [](const auto& info) {
                           return info.param.model + "_" + info.param.serial;
                         });

// --- A unit leaving while the others run ----------------------------------------------------

// Every unit of the demo bench alone, one after another: its record by combo item.
std::map<std::string, nlohmann::json> LoneDemoRecords() {
  SimSession session(platform::sim::DemoBenchText());
  bool ended = false;
  std::map<std::string, nlohmann::json> records;
  for (const auto& [item, record] :
       session.RunEachAlone([](const std::string&) { return std::vector<int>{ui::kIdOk}; },
                            soak::kVirtualLimitMs, &ended)) {
    records[item] = RecordJson(record);
  }
  EXPECT_TRUE(ended) << "a lone run hangs";
  return records;
}

class StationUnplugSweep : public UnplugSweep {};

// The unit's cable pulled after each of its commands while every other unit runs too: its run
// ends as a departure, and every other unit's record is that of its run alone. Every other
// point is a timed event, a millisecond past the command on the unit's own time line, and the
// cable goes back in two seconds later: the unit arrives again, and is identified, while the
// others still run.
TEST_P(StationUnplugSweep, TheOthersRecordsStayThoseOfTheirLoneRuns) {
  const DemoUnit& unit = GetParam();
  const HealthyRun healthy = RunHealthy(unit);
  ASSERT_GE(healthy.item, 0) << "the unit is not in the combo";
  ASSERT_FALSE(healthy.commands.empty());
  std::map<std::string, nlohmann::json> lone = LoneDemoRecords();
  for (auto& [item, record] : lone) record = session::WithoutTimes(record);
  const std::string gone = healthy.items[static_cast<std::size_t>(healthy.item)];
  int returns = 0;
  for (std::size_t n = 1; n <= healthy.commands.size(); ++n) {
    SCOPED_TRACE("unplugged after the run's command " + std::to_string(n) + " of " +
                 std::to_string(healthy.commands.size()) + ": " + healthy.commands[n - 1]);
    Pull pull{.afterCommand = healthy.commandsBefore + n};
    if (n % 2 == 0 && n < healthy.commands.size()) {  // after the last, the run has ended
      pull.atMs = healthy.times[n - 1] + 1;
      pull.backAtMs = pull.atMs + 2000;
    }
    SimSession session(CablePulled(unit, pull));
    bool ended = false;
    const auto records = session.RunAllRecords({ui::kIdOk}, {}, soak::kVirtualLimitMs, &ended);
    ASSERT_TRUE(ended) << "the station hangs";
    ASSERT_EQ(records.size(), lone.size());
    // Back before the station ended: listed again, last.
    if (const int again = soak::ItemOf(session.Form().ItemNames(), unit.serial); again >= 0) {
      ++returns;
      EXPECT_EQ(again, static_cast<int>(healthy.items.size()) - 1);
    }
    for (const auto& [item, record] : records) {
      if (item == gone) {
        EXPECT_EQ(record.result, "None");
        continue;
      }
      EXPECT_EQ(session::WithoutTimes(RecordJson(record)).dump(1), lone.at(item).dump(1)) << item;
    }
    if (HasFailure()) break;  // one faulty point tells enough
  }
  EXPECT_GT(returns, 0) << "the unit never came back while the others ran";
}

INSTANTIATE_TEST_SUITE_P(DemoBench, StationUnplugSweep, ::testing::ValuesIn(DemoUnits()),
                         [](const auto& info) {
                           return info.param.model + "_" + info.param.serial;
                         });

// A unit that leaves during its run after another unit's run has ended: the dialog that opens
// is the run's own ("None", its times), not the other unit's that the combo shows now.
TEST_F(UnplugSession, TheResultDialogIsTheRunsOwnWhenItsUnitLeavesAfterAnotherRan) {
  const auto units = DemoUnits();
  const HealthyRun healthy = RunHealthy(units[1]);
  ASSERT_GE(healthy.item, 0);
  SimSession session(CablePulledAfter(units[1], healthy.commandsBefore + 2));
  const int other = soak::ItemOf(session.Form().ItemNames(), units[0].serial);
  ASSERT_TRUE(session.Run(other, {ui::kIdOk}, soak::kVirtualLimitMs));
  ASSERT_EQ(session.Dialog().Label2.Caption(), "Success");
  const int shown = session.Toolkit().ModalShowings();

  ASSERT_TRUE(session.Run(healthy.item, {ui::kIdOk}, soak::kVirtualLimitMs));
  EXPECT_EQ(soak::CheckRunEnd(session, shown), std::vector<std::string>{});
  EXPECT_EQ(session.Dialog().Label2.Caption(), "None");
}

// The handles an entry holds: its pipes and its drives' handles.
std::vector<platform::Handle> HandlesOf(const DeviceEntry& entry) {
  std::vector<platform::Handle> handles = {entry.Link1Read.load(), entry.Link1Write.load(),
                                           entry.Link2Read.load(), entry.Link2Write.load()};
  for (const char letter : {entry.DriveLetter1.load(), entry.DriveLetter2.load()}) {
    if (letter >= 'A' && letter <= 'Z') {
      handles.push_back(DriveHandles[static_cast<std::size_t>(letter - 'A')].load());
    }
  }
  std::erase(handles, platform::kInvalidHandle);
  return handles;
}

// After Start all, a unit whose run has ended is unplugged (links, printer and drives): its item
// goes, the others keep theirs with their words, its pipes and drive handles are closed at once
// (not at the program's end), and the dialog on show and Result keep the runs' words as they
// ended. First the unit selected, whose run ended last; then one neither selected nor last.
TEST_F(UnplugSession, AUnitLeavingAfterItsRunIsLetGoAtOnceAndTheWordsStay) {
  const auto units = DemoUnits();
  for (const char* serial : {"ZP75A0001", "LQ40A0001"}) {
    SCOPED_TRACE(std::string(serial) + " leaves");
    const auto unit = std::ranges::find(units, serial, &DemoUnit::serial);
    ASSERT_NE(unit, units.end());
    SimSession session(platform::sim::DemoBenchText());
    TForm1& form = session.Form();
    const std::vector<std::string> items = form.ItemNames();
    const int gone = soak::ItemOf(items, serial);
    const int stays = soak::ItemOf(items, "TK36K0001");
    form.ComboBox1.PickItem(std::string(serial) == "ZP75A0001" ? gone : stays);
    // The LQ40's operator cancels: the units end with different words.
    const std::string lq40 = items[static_cast<std::size_t>(soak::ItemOf(items, "LQ40A0001"))];
    bool ended = false;
    const auto records =
        session.RunAllRecords({}, {{lq40, {ui::kIdCancel}}}, soak::kVirtualLimitMs, &ended);
    ASSERT_TRUE(ended);
    ASSERT_EQ(records.at(lq40).result, "Error");
    const std::vector<platform::Handle> handles =
        HandlesOf(*DeviceList[static_cast<std::size_t>(gone)]);
    const std::vector<platform::Handle> others =
        HandlesOf(*DeviceList[static_cast<std::size_t>(stays)]);
    ASSERT_GE(handles.size(), 3u) << "its pipes and its drive";
    for (const platform::Handle h : handles) ASSERT_TRUE(session.Sim().HandleOpen(h));
    const std::string shownWord = session.Dialog().Label2.Caption();
    const std::vector<std::string> shownMemo = session.Dialog().Memo1.Lines();

    for (std::size_t d = 0; d < session.Bench().Model().devices.size(); ++d) {
      if (session.Bench().Model().devices[d].unit == unit->index) {
        session.Bench().Unplug(static_cast<int>(d));
      }
    }
    while (session.Toolkit().RunPending()) {
    }

    for (const platform::Handle h : handles) EXPECT_FALSE(session.Sim().HandleOpen(h)) << h;
    for (const platform::Handle h : others) EXPECT_TRUE(session.Sim().HandleOpen(h)) << h;
    const std::vector<std::string> left = ItemsWithout(items, gone);
    ASSERT_EQ(form.ItemNames(), left);
    for (std::size_t i = 0; i < left.size(); ++i) {
      const std::size_t was = i < static_cast<std::size_t>(gone) ? i : i + 1;
      EXPECT_EQ(form.ComboBox1.Items()[i], left[i] + " - " + records.at(items[was]).result);
    }
    EXPECT_EQ(session.Dialog().Label2.Caption(), shownWord);
    EXPECT_EQ(session.Dialog().Memo1.Lines(), shownMemo);
    // Result shows the selected unit's own run: the unit left selected, or the first one.
    const std::string selected = items[static_cast<std::size_t>(stays)];
    EXPECT_EQ(form.ComboBox1.Text(),
              form.ComboBox1.Items()[static_cast<std::size_t>(soak::ItemOf(left, "TK36K0001"))]);
    EXPECT_STREQ(form.RunResultWord(), records.at(selected).result.c_str());
    const auto& rows = form.ListView1.Items();
    ASSERT_EQ(rows.size(), records.at(selected).rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      EXPECT_EQ(IconWord(rows[r].imageIndex), records.at(selected).rows[r].icon) << "row " << r;
    }
    form.Button2.Click();
    EXPECT_EQ(session.Dialog().Label2.Caption(), records.at(selected).result);
    EXPECT_EQ(session.Dialog().Memo1.Lines(), records.at(selected).memo);
  }
}

// --- Single departures at the awkward points --------------------------------------------------

// The demo bench with these faults on one unit; `healthy` is that unit's healthy run, whose
// commands (and their times) place the faults.
using FaultsFor = std::function<nlohmann::json(const HealthyRun& healthy)>;

nlohmann::json Unplug(const char* target, const char* drive = nullptr) {
  nlohmann::json fault = {{"kind", "unplug"}, {"target", target}};
  if (drive != nullptr) fault["drive"] = drive;
  return fault;
}
nlohmann::json After(nlohmann::json fault, std::size_t command) {
  fault["after_command"] = command;
  return fault;
}
nlohmann::json AtMs(nlohmann::json fault, std::int64_t ms) {
  fault["at_ms"] = ms;
  return fault;
}
nlohmann::json AtPrompt(nlohmann::json fault, const char* text) {
  fault["prompt_text"] = text;
  return fault;
}
// The n-th (1-based) of the run's commands named `name`, counted from power-on.
std::size_t NthCommand(const HealthyRun& healthy, const std::string& name, int n = 1) {
  for (std::size_t i = 0; i < healthy.commands.size(); ++i) {
    if (healthy.commands[i] == name && --n == 0) return healthy.commandsBefore + i + 1;
  }
  ADD_FAILURE() << "no " << name << " in the healthy run";
  return 0;
}

struct Departure {
  const char* name;
  const char* serial;
  FaultsFor faults;
  std::vector<int> answers;
  const char* result;
  std::size_t prompts;  // boxes shown in the whole run
  int failedRow;        // 0-based; the rows before it passed (or warned), none after it ran
  const char* failure;  // its memo's error line
};

void PrintTo(const Departure& d, std::ostream* out) {
  *out << d.name;
}

class DepartureAt : public UnplugSession, public ::testing::WithParamInterface<Departure> {};

TEST_P(DepartureAt, NoRowPassesAndNoBoxAsksOnceThePartIsGone) {
  const Departure& c = GetParam();
  const auto units = DemoUnits();
  const auto unit = std::find_if(units.begin(), units.end(),
                                 [&](const DemoUnit& u) { return u.serial == c.serial; });
  ASSERT_NE(unit, units.end());
  const HealthyRun healthy = RunHealthy(*unit);
  ASSERT_GE(healthy.item, 0);
  auto bench = nlohmann::json::parse(platform::sim::DemoBenchText());
  bench.at("units").at(static_cast<std::size_t>(unit->index))["faults"] = c.faults(healthy);
  std::filesystem::remove(kLogFileName);
  SimSession session(bench.dump());
  const int shown = session.Toolkit().ModalShowings();
  soak::DepartureWatch watch(session, unit->index);
  ASSERT_TRUE(session.Run(healthy.item, c.answers, soak::kVirtualLimitMs)) << "the run hangs";

  EXPECT_EQ(soak::CheckRunEnd(session, shown), std::vector<std::string>{});
  EXPECT_EQ(watch.Findings(), std::vector<std::string>{});
  EXPECT_EQ(session.Dialog().Label2.Caption(), c.result);
  EXPECT_EQ(session.Toolkit().Prompts().size(), c.prompts);
  const RunContext* run = session.Form().CurrentRun();
  ASSERT_NE(run, nullptr);
  for (std::size_t r = 0; r < run->Rows.size(); ++r) {
    const int icon = run->Rows[r].icon;
    const int row = static_cast<int>(r);
    const int expected = row < c.failedRow    ? kIconPassed
                         : row == c.failedRow ? kIconFailed
                                              : kIconNone;
    EXPECT_EQ(icon == kIconWarned ? kIconPassed : icon, expected) << "row " << r;
  }
  const auto memo = session.Dialog().Memo1.Lines();
  ASSERT_FALSE(memo.empty());
  EXPECT_EQ(memo.back(), std::string("    [ERROR] ") + c.failure);
  // Each row's heading once: a row that passed keeps its mark and its one heading.
  for (std::size_t r = 0; r < run->Rows.size(); ++r) {
    char heading[160];
    std::snprintf(heading, sizeof heading, "%2d. %s", static_cast<int>(r) + 1,
                  run->Rows[r].caption.c_str());
    EXPECT_LE(std::count(memo.begin(), memo.end(), heading), 1) << heading;
  }
}

constexpr const char* kDriveOffline = "RW drive is not online.";
constexpr const char* kStopped = "The autoloader stopped answering.";
// An HV22's tray steps say their own words when the drive is gone.
constexpr const char* kTrayOpens = "An error occurs when the tray opens.";
constexpr const char* kTrayClosesUp = "An error occurs when the tray closes up.";

// clang-format off
INSTANTIATE_TEST_SUITE_P(DemoBench, DepartureAt, ::testing::Values(
    // The LQ40 and its drive leave while the tray settles after closing on the disc, or before
    // the tray opens to give it back: the row under way says the unit stopped answering.
    Departure{"Lq40LeavesWhileTheLoadedTraySettles", "LQ40A0001",
              [](const HealthyRun& h) {
                const std::int64_t at = h.times.at(NthCommand(h, "LQ40_CMD[5]") -
                                                   h.commandsBefore - 1) + 1000;
                return nlohmann::json{AtMs(Unplug("unit"), at), AtMs(Unplug("drive", "H"), at)};
              },
              {ui::kIdOk}, "None", 1, 6, kStopped},
    Departure{"Lq40LeavesWhileTheTrayOpensToGiveTheDiscBack", "LQ40A0001",
              [](const HealthyRun& h) {
                const std::int64_t at = h.times.at(NthCommand(h, "LQ40_CMD[5]") -
                                                   h.commandsBefore - 1) + 3500;
                return nlohmann::json{AtMs(Unplug("unit"), at), AtMs(Unplug("drive", "H"), at)};
              },
              {ui::kIdOk}, "None", 1, 7, kStopped},
    // Only the drive leaves once the disc is on its tray: the tray steps cannot be done, and
    // say so as the drive check would; Retry looks again.
    Departure{"Lq40DriveLeavesWithTheDiscOnItsTray", "LQ40A0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("drive", "H"), NthCommand(h, "LQ40_CMD[5]"))};
              },
              {ui::kIdOk, ui::kIdRetry, ui::kIdCancel}, "Error", 3, 6, "RW drive is not online"},
    // The unit leaves while a step that sends nothing asks: Retry ends the run, no box again.
    Departure{"Hv22LeavesWhileItsDriveCheckAsks", "HV22A0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("drive", "F"), NthCommand(h, "AT+?")),
                                      AtPrompt(Unplug("unit"), kDriveOffline)};
              },
              {ui::kIdRetry, ui::kIdRetry}, "None", 1, 1, kDriveOffline},
    Departure{"Hv22LeavesWhileATrayStepWithoutDriveAsks", "HV22A0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("drive", "F"), NthCommand(h, "AT+C00", 3)),
                                      AtPrompt(Unplug("unit"), kTrayOpens)};
              },
              {ui::kIdRetry, ui::kIdRetry}, "None", 1, 3, kTrayOpens},
    // Only the drive leaves, and stays away: a step that needs it fails and Retry looks again,
    // whether the entry's drive was on the unit's hub or found by letter (a 0945's on a USB 3.0
    // root hub), and whether or not the unit's tray sensor can still confirm the tray. The drive
    // check says "not online"; an HV22's tray step says its own words.
    Departure{"Hv22UsbThreeDriveLeavesBeforeItsCheck", "HV22B0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("drive", "G"), NthCommand(h, "AT+?"))};
              },
              {ui::kIdRetry, ui::kIdCancel}, "Error", 2, 1, kDriveOffline},
    Departure{"Hv22DriveLeavesWhileTheSensorConfirmsTheTray", "HV22A0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("drive", "F"), NthCommand(h, "AT+R01") + 1)};
              },
              {ui::kIdRetry, ui::kIdCancel}, "Error", 2, 5, kTrayClosesUp},
    Departure{"Zp61UpperDriveLeavesWithTheDiscOnItsTray", "ZP61A0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("drive", "I"), NthCommand(h, "AT+R01") + 1)};
              },
              {ui::kIdRetry, ui::kIdCancel}, "Error", 2, 7, "One of the dual drives is not online."},
    Departure{"Tm36kLeavesWhileItsPrinterCheckAsks", "TK36K0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("printer"), NthCommand(h, "AT+?")),
                                      AtPrompt(Unplug("unit"), "Printer is not connected.")};
              },
              {ui::kIdRetry, ui::kIdRetry}, "None", 1, 1, "Printer is not connected."},
    // The HV22 part's link goes right after its check passed (its first command gets no
    // reply): that row keeps its mark, the next one says the unit stopped answering.
    Departure{"Tm36pHv22LeavesRightAfterItsCheckPassed", "TP36P0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("hv22"), NthCommand(h, "2:AT+C00"))};
              },
              {}, "Error", 0, 3, kStopped},
    Departure{"Tm36pDriveLeavesWhileTheSensorConfirmsTheTray", "TP36P0001",
              [](const HealthyRun& h) {
                return nlohmann::json{After(Unplug("drive", "E"), NthCommand(h, "2:AT+C00", 3))};
              },
              {ui::kIdRetry, ui::kIdCancel}, "Error", 2, 7, kDriveOffline}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The window handles a removal before the worker's next pause, as it does on Windows long before
// a 100 ms pause ends: a run cut by a departing unit plays out the same way, to the virtual
// millisecond, every time.
TEST_F(UnplugSession, ARunCutByADepartingUnitPlaysOutTheSameEveryTime) {
  const auto units = DemoUnits();
  const auto unit =
      std::find_if(units.begin(), units.end(), [](const DemoUnit& u) { return u.model == "ZP61"; });
  ASSERT_NE(unit, units.end());
  const HealthyRun healthy = RunHealthy(*unit);
  ASSERT_GE(healthy.item, 0);
  ASSERT_GT(healthy.commands.size(), 10u);
  struct Outcome {
    std::uint64_t virtualMs;
    std::vector<std::string> log;
    bool operator==(const Outcome&) const = default;
  };
  std::vector<Outcome> outcomes;
  for (int i = 0; i < 5; ++i) {
    SimSession session(CablePulledAfter(*unit, healthy.commandsBefore + 10));
    const std::uint64_t start = session.Sim().Clock().NowMs();
    const std::size_t logStart = LogLineCount();
    ASSERT_TRUE(session.Run(healthy.item, {}, soak::kVirtualLimitMs));
    const auto log = LogLinesSnapshot();
    outcomes.push_back(
        {session.Sim().Clock().NowMs() - start, {log.begin() + logStart, log.end()}});
  }
  for (std::size_t i = 1; i < outcomes.size(); ++i) {
    EXPECT_EQ(outcomes[i].virtualMs, outcomes[0].virtualMs) << "session " << i;
    EXPECT_EQ(outcomes[i].log, outcomes[0].log) << "session " << i;
  }
}

// veltrane-bench likewise: the same bench file gives the same record every time.
TEST_F(UnplugSession, VeltraneBenchRunsACutRunTheSameEveryTime) {
  const auto units = DemoUnits();
  const auto unit =
      std::find_if(units.begin(), units.end(), [](const DemoUnit& u) { return u.model == "ZP71"; });
  ASSERT_NE(unit, units.end());
  const HealthyRun healthy = RunHealthy(*unit);
  ASSERT_GT(healthy.commands.size(), 10u);
  std::ofstream("cut.json", std::ios::binary)
      << CablePulledAfter(*unit, healthy.commandsBefore + 10);
  std::vector<nlohmann::json> records;
  for (int i = 0; i < 5; ++i) {
    std::string command = std::string("\"") + VELTRANE_BENCH_TOOL +
                          "\" --bench cut.json --device " + std::to_string(healthy.item) +
                          " --json run.json";
#ifdef _WIN32
    command = "\"" + command + " >NUL\"";  // cmd /c strips one pair of outer quotes
#else
    command += " >/dev/null";
#endif
    std::filesystem::remove("run.json");
    std::system(command.c_str());
    auto record = nlohmann::json::parse(soak::FileText("run.json")).at(0);
    ASSERT_TRUE(record.at("started").get<bool>());
    record.erase("wall_seconds");
    records.push_back(record);
  }
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_EQ(records[i].at("virtual_seconds"), records[0].at("virtual_seconds")) << "run " << i;
    EXPECT_EQ(records[i], records[0]) << "run " << i;
  }
}

}  // namespace
