// The operator's view of the console: the device combo, the model table, runs and their end,
// device removal, the result dialog and the log file.
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "CaseNames.h"
#include "ConsoleFixture.h"
#include "platform/NullPlatform.h"

namespace {

// Handlers that mark one row and move on; the last one ends the run.
ScriptedWorker::Handler Pass(int row, int next) {
  return [row, next](ScriptedWorker& w) {
    w.StepBegin(row);
    w.StepPassed(row, nullptr);
    w.StepState = next;
  };
}
ScriptedWorker::Handler Warn(int row, int next) {
  return [row, next](ScriptedWorker& w) {
    w.StepBegin(row);
    WriteLogText("warning text");
    w.StepWarned(row, "a warning");
    w.StepState = next;
  };
}
ScriptedWorker::Handler Fail(int row) {
  return [row](ScriptedWorker& w) {
    w.StepBegin(row);
    w.StepFailed(row, "a failure");
    if (w.Prompt("a failure", ui::kMbIconError | ui::kMbRetryCancel) != ui::kIdRetry) {
      w.RunActive = false;
    }
  };
}
ScriptedWorker::Handler End() {
  return [](ScriptedWorker& w) { w.RunActive = false; };
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

using ConsoleTest = ConsoleFixture;

TEST_F(ConsoleTest, StartUpWithTwoEntriesSelectsTheFirst) {
  AddEntry("ZP61 drive", "VID_1723&PID_0903");
  AddEntry("HV22 unit", "VID_1723&PID_0923");
  StartProgram();
  // A station of two: each item says where its unit stands.
  EXPECT_EQ(form().ComboBox1.Items(),
            (std::vector<std::string>{"[0] ZP61 drive - idle", "[1] HV22 unit - idle"}));
  EXPECT_EQ(form().ComboBox1.ItemIndex(), 0);
  EXPECT_EQ(SelectedDevice, DeviceList[0].get());
  ASSERT_EQ(Captions().size(), 14u);
  EXPECT_EQ(Captions()[9], "Lower tray close ");
  EXPECT_TRUE(form().Image5.Visible());
  EXPECT_FALSE(form().Image4.Visible());
  EXPECT_TRUE(form().Button1.Enabled());
  EXPECT_FALSE(form().Button2.Enabled());
  EXPECT_TRUE(form().StartAllButton.Visible()) << "Start all belongs to a station";
  EXPECT_EQ(form().Caption(), "Veltrane");
  EXPECT_EQ(ApplicationTitle, "Veltrane");
  ASSERT_EQ(form().ListView1.ColumnWidths().size(), 1u);
  EXPECT_EQ(form().ListView1.ColumnWidths()[0], form().ListView1.ClientWidth());
}

TEST_F(ConsoleTest, NoDevicesFound) {
  StartProgram();
  EXPECT_EQ(form().ComboBox1.Items(), std::vector<std::string>{"[No devices found]"});
  EXPECT_EQ(form().ComboBox1.ItemIndex(), 0);
  EXPECT_FALSE(form().Button1.Enabled());
  EXPECT_EQ(form().ListView1.Count(), 0);
  form().Button1.Click();  // disabled: nothing happens
  EXPECT_EQ(form().CurrentRun(), nullptr);
  EXPECT_TRUE(startedClasses.empty());
}

struct ModelCase {
  const char* model;
  const char* vidPid;
  const char* stepList;  // null: no row matches
  int picture;
  WorkerClass worker;
};

class ModelTableTest : public ConsoleFixture, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelTableTest, EntryGetsItsStepListPictureAndWorker) {
  const ModelCase& c = GetParam();
  AddEntry(c.model, c.vidPid);
  StartProgram();
  EXPECT_FALSE(form().StartAllButton.Visible());
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(form().Picture(i)->Visible(), i == c.picture) << "picture " << i;
  }
  if (c.stepList == nullptr) {
    EXPECT_EQ(form().ListView1.Count(), 0);
    EXPECT_FALSE(form().Button1.Enabled());
    return;
  }
  const auto resource = sim_.LoadItemResource(c.stepList);
  EXPECT_EQ(Captions(),
            SplitStepList(reinterpret_cast<const char*>(resource.data()), resource.size()));
  ASSERT_TRUE(form().Button1.Enabled());
  handlers = {{0, End()}};
  RunToEnd();
  ASSERT_EQ(startedClasses.size(), 1u);
  EXPECT_EQ(startedClasses[0], c.worker);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelTableTest,
    ::testing::Values(ModelCase{"TM36K", "VID_1723&PID_0935", "LIST_TM36K", 0, WorkerClass::kTM36K},
                      // The model name wins over any product number.
                      ModelCase{"TM36K (SN1)", "VID_1723&PID_0903", "LIST_TM36K", 0,
                                WorkerClass::kTM36K},
                      ModelCase{"TM36P", "VID_1723&PID_0935", "LIST_TM36P", 1, WorkerClass::kTM36P},
                      ModelCase{"LQ40", "VID_1717&PID_0101", "LIST_LQ40", 2, WorkerClass::kLQ40},
                      ModelCase{"HV22", "VID_1723&PID_0923", "LIST_HV22", 3, WorkerClass::kHV},
                      ModelCase{"HV22", "VID_1723&PID_0945", "LIST_HV22", 3, WorkerClass::kHV},
                      ModelCase{"ZP", "VID_1723&PID_0903", "LIST_ZP61", 4, WorkerClass::kZP},
                      ModelCase{"ZP", "VID_1723&PID_0907", "LIST_ZP65", 4, WorkerClass::kZP},
                      ModelCase{"ZP", "VID_1723&PID_0910", "LIST_ZP71", 4, WorkerClass::kZP},
                      ModelCase{"ZP", "VID_1723&PID_0912", "LIST_ZP75", 4, WorkerClass::kZP},
                      ModelCase{"Unknown", "VID_1723&PID_0999", nullptr, -1, WorkerClass::kZP},
                      // Plain substring tests, case-sensitive.
                      ModelCase{"tm36k", "VID_1723&PID_0935", nullptr, -1, WorkerClass::kZP}),
    [](const auto& info) {
      return CaseName(std::string(info.param.model) + " " + info.param.vidPid);
    });

TEST_F(ConsoleTest, PickingEntriesKeepsOrReloadsTheStepList) {
  AddEntry("ZP61", "VID_1723&PID_0903");
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  form().ListView1.SetImageIndex(0, kIconPassed);

  form().ComboBox1.PickItem(0);  // the selected one again: nothing reloads
  EXPECT_EQ(Icons()[0], kIconPassed);
  EXPECT_EQ(form().ComboBox1.ItemIndex(), 0);

  form().ComboBox1.TypeText("something");  // index -1: the selection stays and shows again
  EXPECT_EQ(form().ComboBox1.ItemIndex(), 0);
  EXPECT_EQ(SelectedDevice, DeviceList[0].get());
  EXPECT_EQ(Icons()[0], kIconPassed);

  form().ComboBox1.PickItem(1);  // another entry: its list, its picture
  EXPECT_EQ(SelectedDevice, DeviceList[1].get());
  EXPECT_EQ(Captions().size(), 10u);
  EXPECT_TRUE(form().Image4.Visible());
  EXPECT_FALSE(form().Image5.Visible());
  EXPECT_EQ(ShownPicture, 3);
}

// A station's items are longer than the box a unit alone has: the window widens so that none is
// cut off, and a unit left alone gets the window it always had back, place for place.
TEST_F(ConsoleTest, AStationWidensTheWindowForItsItemsAndALoneUnitGetsItsOwnBack) {
  AddEntry("HV22 (HV22SERIAL000000001)", "VID_1723&PID_0923");
  AddEntry("ZP61 (ZP61SERIAL000000002)", "VID_1723&PID_0903");
  const auto layout = [this] {
    return std::vector<ui::Rect>{form().Bounds(),
                                 form().Panel1.Bounds(),
                                 form().ComboBox1.Bounds(),
                                 form().Label2.Bounds(),
                                 form().ListView1.Bounds(),
                                 form().Button1.Bounds(),
                                 form().StartAllButton.Bounds()};
  };
  StartProgram();
  const ui::Rect combo = form().ComboBox1.Bounds();
  const ui::Rect list = form().ListView1.Bounds();
  for (const std::string& item : form().ComboBox1.Items()) {
    const std::string running = item.substr(0, item.find(" - ")) + " - running, row 14 of 14";
    EXPECT_LE(ui::TheToolkit().TextWidth(form().ComboBox1.GetFont(), running), combo.width - 17);
  }
  EXPECT_LE(combo.left + combo.width, list.left) << "the box runs under the step list";
  EXPECT_EQ(list.left + list.width + 18, form().ClientWidth()) << "the list keeps its margin";
  EXPECT_EQ(form().Button1.Bounds().left + form().Button1.Bounds().width + 18,
            form().ClientWidth());
  DeviceList[0]->Link1Flag = kFlagDeparted;
  form().Dispatch(ui::kWmDeviceChange, ui::kDbtDeviceRemoveComplete, 0);
  ASSERT_EQ(DeviceList.size(), 1u);
  EXPECT_EQ(layout(), (std::vector<ui::Rect>{{0, 0, 563, 389},
                                             {0, 8, 561, 337},
                                             {16, 40, 250, 0},
                                             {288, 8, 0, 0},
                                             {288, 36, 257, 300},
                                             {448, 356, 97, 25},
                                             {344, 356, 97, 25}}));
}

TEST_F(ConsoleTest, RemovalWhileIdleSelectsTheFirstRemainingEntry) {
  AddEntry("HV22", "VID_1723&PID_0923");
  AddEntry("ZP61", "VID_1723&PID_0903");
  StartProgram();
  DeviceList[0]->Link1Flag = kFlagDeparted;
  EXPECT_EQ(form().Dispatch(ui::kWmDeviceChange, ui::kDbtDeviceRemoveComplete, 0), 1);
  ASSERT_EQ(DeviceList.size(), 1u);
  EXPECT_EQ(form().ComboBox1.Items(), std::vector<std::string>{"[0] ZP61"});
  EXPECT_FALSE(form().StartAllButton.Visible()) << "a unit alone shows the window it always had";
  EXPECT_EQ(SelectedDevice, DeviceList[0].get());
  EXPECT_EQ(Captions().size(), 14u);
  EXPECT_TRUE(form().Image5.Visible());
  EXPECT_FALSE(form().Image4.Visible());

  DeviceList[0]->Link1Flag = kFlagDeparted;
  form().Dispatch(ui::kWmDeviceChange, ui::kDbtDeviceRemoveComplete, 0);
  EXPECT_EQ(form().ComboBox1.Items(), std::vector<std::string>{"[No devices found]"});
  EXPECT_EQ(SelectedDevice, nullptr);
  EXPECT_FALSE(form().Button1.Enabled());
  EXPECT_EQ(form().ListView1.Count(), 0);
}

TEST_F(ConsoleTest, RemovalThatRemovesNothingDoesNotRefresh) {
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  form().ComboBox1.TypeText("typed");  // refresh shows item 0 again...
  form().ComboBox1.TypeText("typed");
  form().ComboBox1.SetItemIndex(-1);  // ...so make the combo differ from what a refresh shows
  form().Dispatch(ui::kWmDeviceChange, ui::kDbtDeviceRemoveComplete, 0);
  EXPECT_EQ(form().ComboBox1.ItemIndex(), -1);
  EXPECT_EQ(form().Dispatch(ui::kWmDeviceChange, 0x0007, 0), 0);  // other codes: default handling
}

struct PruneCase {
  const char* vidPid;
  int departed;  // bit 0 link 1, bit 1 claim 1, bit 2 link 2, bit 3 claim 2
  bool removed;
  int printerPort;
  int driveCount;
  char letter1;
  char letter2;
};

class PruneTest : public ConsoleFixture, public ::testing::WithParamInterface<PruneCase> {};

TEST_P(PruneTest, DepartedPartsAreClearedAndEmptyEntriesDropped) {
  const PruneCase& c = GetParam();
  AddEntry("unit", c.vidPid);
  DeviceEntry& e = *DeviceList[0];
  e.Claim1Flag = kFlagOpen;
  e.Claim2Flag = kFlagOpen;
  e.Link2Flag = kFlagOpen;
  e.PrinterPort = 3;
  e.SetPrinterName("Queue");
  e.HvPort = 2;
  const bool tm36 = std::strstr(c.vidPid, "PID_0935") != nullptr;
  e.DriveCount = tm36 ? 1 : 2;
  e.DriveLetter1 = 'E';
  e.DriveLetter2 = tm36 ? 0 : 'F';
  StartProgram();
  DeviceFlag* flags[] = {&e.Link1Flag, &e.Claim1Flag, &e.Link2Flag, &e.Claim2Flag};
  for (int bit = 0; bit < 4; ++bit) {
    if ((c.departed & (1 << bit)) != 0) *flags[bit] = kFlagDeparted;
  }
  EXPECT_EQ(form().PruneDepartedDevices(), c.removed);
  if (c.removed) {
    EXPECT_TRUE(DeviceList.empty());
    return;
  }
  ASSERT_EQ(DeviceList.size(), 1u);
  EXPECT_EQ(e.PrinterPort.load(), c.printerPort);
  EXPECT_EQ(e.GetPrinterName().empty(), c.printerPort == 0);
  EXPECT_EQ(e.DriveCount.load(), c.driveCount);
  EXPECT_EQ(e.DriveLetter1.load(), c.letter1);
  EXPECT_EQ(e.DriveLetter2.load(), c.letter2);
  for (DeviceFlag* f : flags) EXPECT_NE(f->load(), kFlagDeparted);
  EXPECT_EQ(e.HvPort.load(), (c.departed & 4) != 0 ? 0 : 2);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, PruneTest,
    ::testing::Values(
        // A TM36 whose printer departs keeps its link: only the printer fields clear.
        PruneCase{"VID_1723&PID_0935", 0b0010, false, 0, 1, 'E', 0},
        // A TM36's slot 2 is its drive.
        PruneCase{"VID_1723&PID_0935", 0b1000, false, 3, 0, 0, 0},
        PruneCase{"VID_1723&PID_0935", 0b0100, false, 3, 1, 'E', 0},
        // Other models: each slot is a drive.
        PruneCase{"VID_1723&PID_0903", 0b0010, false, 3, 1, 0, 'F'},
        PruneCase{"VID_1723&PID_0903", 0b1000, false, 3, 1, 'E', 0},
        PruneCase{"VID_1723&PID_0903", 0b1010, false, 3, 0, 0, 0},
        // Link 1 and every claim gone in one pass: the entry goes.
        PruneCase{"VID_1723&PID_0903", 0b1111, true, 0, 0, 0, 0},
        PruneCase{"VID_1723&PID_0935", 0b1111, true, 0, 0, 0, 0}),
    [](const auto& info) {
      return CaseName(std::string(info.param.vidPid) + " Departed" +
                      std::to_string(info.param.departed));
    });

// --- What a departure frees: the entry's own rule, over every combination of its four parts ----

enum class Part { kOpen, kClosed, kDeparted };

// A platform that only notes which handles were closed.
class ClosingPlatform : public platform::NullPlatform {
 public:
  bool CloseHandle(platform::Handle handle) override {
    closed.push_back(handle);
    return true;
  }
  std::vector<platform::Handle> closed;
};

struct DepartureCase {
  const char* name;
  const char* vidPid;
  bool inUse;  // the running worker tests this entry
};

void PrintTo(const DepartureCase& c, std::ostream* os) {
  *os << c.name;
}

class DepartureTest : public ::testing::TestWithParam<DepartureCase> {
 protected:
  void SetUp() override { platform::SetPlatform(&platform_); }
  void TearDown() override { platform::SetPlatform(nullptr); }

  // An entry as discovery leaves a unit with pipes on both links, printer queue "Queue" on port
  // 3, its HV22 on port 2 and its drives (a TM36: E; others: E and F); then the parts' flags.
  std::unique_ptr<DeviceEntry> Entry(bool tm36, const std::array<Part, 4>& parts) {
    auto e = MakeEntry("unit", GetParam().vidPid);
    e->Link1Read = 11;
    e->Link1Write = 12;
    e->Link2Read = 21;
    e->Link2Write = 22;
    e->PrinterPort = 3;
    e->SetPrinterName("Queue");
    e->HvPort = 2;
    e->DriveCount = tm36 ? 1 : 2;
    e->DriveLetter1 = 'E';
    e->DriveLetter2 = tm36 ? 0 : 'F';
    DeviceFlag* flags[] = {&e->Link1Flag, &e->Claim1Flag, &e->Link2Flag, &e->Claim2Flag};
    for (std::size_t i = 0; i < 4; ++i) {
      *flags[i] = parts[i] == Part::kOpen     ? kFlagOpen
                  : parts[i] == Part::kClosed ? kFlagClosed
                                              : kFlagDeparted;
    }
    return e;
  }

  ClosingPlatform platform_;
};

TEST_P(DepartureTest, FreesWhatEachDepartedPartHeldAndIsEmptyOnlyWhenAllFourAreClosed) {
  const DepartureCase& c = GetParam();
  const bool tm36 = std::strstr(c.vidPid, "PID_0935") != nullptr;
  const char names[] = {'O', 'C', 'D'};
  for (int n = 0; n < 81; ++n) {
    std::array<Part, 4> parts{};  // link 1, claim 1, link 2, claim 2
    for (int i = 0, rest = n; i < 4; ++i, rest /= 3) parts[i] = static_cast<Part>(rest % 3);
    std::string trace = "link 1, claim 1, link 2, claim 2: ";
    for (Part p : parts) trace += names[static_cast<int>(p)];
    SCOPED_TRACE(trace);
    auto e = Entry(tm36, parts);
    platform_.closed.clear();
    bool gone[4];
    bool allClosed = true;
    for (std::size_t i = 0; i < 4; ++i) {
      gone[i] = parts[i] == Part::kDeparted;
      allClosed = allClosed && parts[i] != Part::kOpen;
    }

    EXPECT_EQ(e->ApplyDepartures(c.inUse), allClosed);

    const DeviceFlag* flags[] = {&e->Link1Flag, &e->Claim1Flag, &e->Link2Flag, &e->Claim2Flag};
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(flags[i]->load(), parts[i] == Part::kOpen ? kFlagOpen : kFlagClosed) << i;
    }
    // A departed link's pipes are closed, unless the running worker may be reading them.
    std::vector<platform::Handle> closed;
    for (std::size_t link : {0u, 2u}) {
      if (!gone[link] || c.inUse) continue;
      const platform::Handle read = link == 0 ? 11 : 21;
      closed.push_back(read);
      closed.push_back(read + 1);
    }
    EXPECT_EQ(platform_.closed, closed);
    EXPECT_EQ(e->Link1Read.load() == platform::kInvalidHandle, gone[0] && !c.inUse);
    EXPECT_EQ(e->Link2Write.load() == platform::kInvalidHandle, gone[2] && !c.inUse);
    EXPECT_EQ(e->HvPort.load(), gone[2] ? 0 : 2);
    if (tm36) {  // claim 1 is the printer, claim 2 the drive
      EXPECT_EQ(e->PrinterPort.load(), gone[1] ? 0 : 3);
      EXPECT_EQ(e->GetPrinterName(), gone[1] ? "" : "Queue");
      EXPECT_EQ(e->DriveCount.load(), gone[3] ? 0 : 1);
      EXPECT_EQ(e->DriveLetter1.load(), gone[3] ? 0 : 'E');
      EXPECT_EQ(e->DriveLetter2.load(), 0);
    } else {  // each claim is a drive
      EXPECT_EQ(e->PrinterPort.load(), 3);
      EXPECT_EQ(e->GetPrinterName(), "Queue");
      EXPECT_EQ(e->DriveCount.load(), 2 - int{gone[1]} - int{gone[3]});
      EXPECT_EQ(e->DriveLetter1.load(), gone[1] ? 0 : 'E');
      EXPECT_EQ(e->DriveLetter2.load(), gone[3] ? 0 : 'F');
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFlagCombination, DepartureTest,
                         ::testing::Values(DepartureCase{"Tm36", "VID_1723&PID_0935", false},
                                           DepartureCase{"Tm36InUse", "VID_1723&PID_0935", true},
                                           DepartureCase{"Other", "VID_1723&PID_0903", false},
                                           DepartureCase{"OtherInUse", "VID_1723&PID_0903", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Drive counts that disagree with the letters: a departure never counts below zero, and a TM36
// whose drive was not counted keeps its letter.
struct DriveCountCase {
  const char* vidPid;
  int count;
  char letter1;
  char letter2;
  bool claim1Gone;
  bool claim2Gone;
  int countAfter;
  char letter1After;
  char letter2After;
};

class DriveCountTest : public ::testing::TestWithParam<DriveCountCase> {};

TEST_P(DriveCountTest, DepartedClaimsNeverCountBelowZero) {
  const DriveCountCase& c = GetParam();
  auto e = MakeEntry("unit", c.vidPid);
  e->Link1Flag = kFlagClosed;
  e->DriveCount = static_cast<std::int8_t>(c.count);
  e->DriveLetter1 = c.letter1;
  e->DriveLetter2 = c.letter2;
  if (c.claim1Gone) e->Claim1Flag = kFlagDeparted;
  if (c.claim2Gone) e->Claim2Flag = kFlagDeparted;
  EXPECT_TRUE(e->ApplyDepartures(false));
  EXPECT_EQ(e->DriveCount.load(), c.countAfter);
  EXPECT_EQ(e->DriveLetter1.load(), c.letter1After);
  EXPECT_EQ(e->DriveLetter2.load(), c.letter2After);
}

INSTANTIATE_TEST_SUITE_P(
    Claims, DriveCountTest,
    ::testing::Values(DriveCountCase{"VID_1723&PID_0903", 0, 'E', 'F', true, true, 0, 0, 0},
                      DriveCountCase{"VID_1723&PID_0903", 1, 'E', 'F', true, true, 0, 0, 0},
                      // A claim whose letter is already gone leaves the count alone.
                      DriveCountCase{"VID_1723&PID_0903", 1, 0, 'F', true, false, 1, 0, 'F'},
                      DriveCountCase{"VID_1723&PID_0935", 0, 'E', 0, false, true, 0, 'E', 0},
                      DriveCountCase{"VID_1723&PID_0935", 1, 'E', 0, true, true, 0, 0, 0}),
    [](const auto& info) {
      const DriveCountCase& c = info.param;
      return CaseName(std::string(c.vidPid) + " Count" + std::to_string(c.count) + " Gone" +
                      (c.claim1Gone ? "1" : "") + (c.claim2Gone ? "2" : ""));
    });

struct ResultCase {
  const char* name;
  std::vector<int> kinds;  // per row: 0 pass, 1 warn, 2 fail (then cancel)
  const char* word;
};

class ResultWordTest : public ConsoleFixture, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(ResultWordTest, FromTheFinalIcons) {
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  const auto& kinds = GetParam().kinds;
  for (int i = 0; i < static_cast<int>(kinds.size()); ++i) {
    handlers[i] = kinds[i] == 0 ? Pass(i, i + 1) : kinds[i] == 1 ? Warn(i, i + 1) : Fail(i);
  }
  handlers[static_cast<int>(kinds.size())] = End();
  toolkit_.SetAnswers({ui::kIdCancel});
  RunToEnd();
  EXPECT_EQ(dialog().Label2.Caption(), GetParam().word);
  EXPECT_EQ(dialog().Caption(), "Test Report");
  EXPECT_TRUE(form().Button1.Enabled());
  EXPECT_TRUE(form().Button2.Enabled());
  EXPECT_TRUE(form().ComboBox1.Enabled());
  EXPECT_EQ(form().Button1.Caption(), "Start");
  EXPECT_EQ(toolkit_.ModalShowings(), 1);
}

INSTANTIATE_TEST_SUITE_P(Words, ResultWordTest,
                         ::testing::Values(ResultCase{"AllPassed", {0, 0, 0}, "Success"},
                                           ResultCase{"WarningThenError", {0, 1, 2}, "Error"},
                                           ResultCase{"WarningsAlone", {1, 0, 1}, "Warning"},
                                           ResultCase{"NothingMarked", {}, "Success"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleTest, EmptyStepListGivesNone) {
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  // The autoloader is removed during the run: the list view is emptied under the worker.
  handlers[0] = [](ScriptedWorker& w) {
    w.StepBegin(0);
    w.StepPassed(0, nullptr);
    w.Device()->Link1Flag = kFlagDeparted;  // as the removal scan would
    ui::TheToolkit().Invoke(
        [] { Form1->Dispatch(ui::kWmDeviceChange, ui::kDbtDeviceRemoveComplete, 0); });
    w.StepBegin(1);  // a row that no longer exists must not fail
    w.StepPassed(1, nullptr);
    w.RunActive = false;
  };
  RunToEnd();
  EXPECT_EQ(dialog().Label2.Caption(), "None");
  EXPECT_TRUE(DeviceList.empty());
  EXPECT_FALSE(form().Button1.Enabled());  // "[No devices found]"
}

TEST_F(ConsoleTest, RemovalDuringARunKeepsTheWorkersEntryAndLetsTheIdleUnitStart) {
  AddEntry("HV22", "VID_1723&PID_0923");
  AddEntry("ZP61", "VID_1723&PID_0903");
  StartProgram();
  std::string seenModel;
  bool startEnabledDuringRun = true;
  handlers[0] = [&](ScriptedWorker& w) {
    w.Device()->Link1Flag = kFlagDeparted;
    ui::TheToolkit().Invoke([&] {
      Form1->Dispatch(ui::kWmDeviceChange, ui::kDbtDeviceRemoveComplete, 0);
      startEnabledDuringRun = Form1->Button1.Enabled();
    });
    // The entry left the list but is still alive for the worker (ASan would tell otherwise).
    seenModel = w.Device()->ModelName;
    w.StepBegin(0);
    w.StepPassed(0, nullptr);
    w.RunActive = false;
  };
  RunToEnd();
  // The ZP61 left selected is idle: Start acts on it while the HV22's run goes on.
  EXPECT_TRUE(startEnabledDuringRun);
  EXPECT_EQ(seenModel, "HV22");
  ASSERT_EQ(DeviceList.size(), 1u);
  EXPECT_EQ(SelectedDevice, DeviceList[0].get());
  EXPECT_EQ(form().ComboBox1.Items(), std::vector<std::string>{"[0] ZP61"});
  // The list now shows the ZP61's steps; the worker's mark landed on its row 0.
  EXPECT_EQ(Captions().size(), 14u);
  EXPECT_TRUE(form().Button1.Enabled());
}

TEST_F(ConsoleTest, MemoOfAFailedThenRetriedStep) {
  AddEntry("TM36K", "VID_1723&PID_0935");
  StartProgram();
  int attempts = 0;
  handlers[0] = Pass(0, 1);
  handlers[1] = [&](ScriptedWorker& w) {
    w.StepBegin(1);
    if (attempts++ == 0) {
      w.StepFailed(1, "Printer is offline.");
      w.Prompt("Printer is offline.", ui::kMbIconError | ui::kMbRetryCancel);
      return;
    }
    w.StepPassed(1, nullptr);
    w.RunActive = false;
  };
  toolkit_.SetAnswers({ui::kIdRetry});
  RunToEnd();
  EXPECT_EQ(dialog().Memo1.Lines(),
            (std::vector<std::string>{
                " 1. Get device information", "    [OK] The task has been fulfilled.",
                "---------------------------------------------", " 2. Check if printer is online",
                "    [ERROR] Printer is offline.", "    [OK] The task has been fulfilled."}));
  EXPECT_EQ(Icons()[1], kIconPassed);
  // One heading for the retried step.
  const auto log = LogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), "[2] Check if printer is online"), 1);
  const auto prompts = toolkit_.Prompts();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0].caption, "Error");
  EXPECT_EQ(prompts[0].owner, "Form1");
  // The worker waits while the window shows its box: it never owns one itself.
  EXPECT_TRUE(prompts[0].onGuiThread);
}

TEST_F(ConsoleTest, LogFileHoldsEveryRunAndTheTimesArePadded) {
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  handlers = {{0, Pass(0, 1)}, {1, End()}};
  RunToEnd();
  RunToEnd();
  const std::string file = ReadFile("Test.log");
  const auto lines = LogLinesSnapshot();
  std::string expected;
  for (const auto& l : lines) expected += l + "\r\n";
  EXPECT_EQ(file, expected);
  const auto log = LogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), "=======Get CPU Information=============="), 2);
  // The host report ends with a line of "=", which counts as a separator: no hyphen line
  // between it and the first heading.
  const auto heading = std::find(log.begin(), log.end(), "[1] Get device information");
  ASSERT_NE(heading, log.end());
  EXPECT_EQ(*(heading - 1), "========================================");
  // The simulated clock starts at 9 o'clock: the hour is padded with a space.
  EXPECT_EQ(dialog().Label4.Caption().substr(10, 3), "  9");
  EXPECT_EQ(dialog().Label4.Caption().size(), 19u);
  EXPECT_LE(dialog().Label4.Caption(), dialog().Label6.Caption());
}

TEST_F(ConsoleTest, UnwritableLogShowsTheErrorAndNoDialog) {
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  std::filesystem::create_directory("Test.log");  // a directory where the file should go
  handlers = {{0, Pass(0, 1)}, {1, End()}};
  RunToEnd();
  const auto prompts = toolkit_.Prompts();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0].text, "Cannot create file Test.log");
  EXPECT_EQ(prompts[0].flags & ui::kMbIconMask, ui::kMbIconError);
  EXPECT_EQ(toolkit_.ModalShowings(), 0);
  EXPECT_TRUE(form().Button1.Enabled());  // the controls are unlocked all the same
}

TEST_F(ConsoleTest, CancelEndsTheRunOnceWithTheStepFailed) {
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  int laterSteps = 0;
  handlers = {{0, Fail(0)}, {1, [&](ScriptedWorker&) { ++laterSteps; }}};
  toolkit_.SetAnswers({ui::kIdCancel});
  RunToEnd();
  EXPECT_EQ(Icons()[0], kIconFailed);
  EXPECT_EQ(laterSteps, 0);
  EXPECT_EQ(dialog().Label2.Caption(), "Error");
  EXPECT_EQ(toolkit_.ModalShowings(), 1);  // one end of run
}

// A run that ends inside a step (a Cancel after "AT+E", a half-counted poll) leaves its flags set;
// the next run must start from a state of its own, and the result read at the end must be the
// ended run's.
TEST_F(ConsoleTest, EachRunStartsFromItsOwnState) {
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  handlers = {{3, [](ScriptedWorker& w) {
                 w.StepBegin(0);
                 w.StepFailed(0, "a failure");
                 w.StepBegin(0);  // the heading is logged again after a failure: flag set
                 w.Run().RetryPending = true;
                 w.Run().RetryCount = 4;
                 w.RunActive = false;
               }}};
  // The first run moves on to state 3 and ends there, its flags set.
  handlers[0] = [](ScriptedWorker& w) { w.StepState = 3; };
  RunToEnd();
  const RunContext* first = form().CurrentRun();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->StepState, 3);
  EXPECT_TRUE(first->RetryPending);
  EXPECT_EQ(dialog().Label2.Caption(), "Error");

  struct Seen {
    int state = -1;
    bool heading = true, retry = true;
    int count = -1, row = 0;
  } seen;
  handlers = {{0, [&](ScriptedWorker& w) {
                 seen = {w.StepState, w.Run().HeadingLogged, w.Run().RetryPending,
                         w.Run().RetryCount, w.Run().CurrentRow};
                 w.StepBegin(0);
                 w.StepPassed(0, nullptr);
                 w.RunActive = false;
               }}};
  RunToEnd();
  EXPECT_EQ(seen.state, 0);
  EXPECT_FALSE(seen.heading);
  EXPECT_FALSE(seen.retry);
  EXPECT_EQ(seen.count, 0);
  EXPECT_EQ(seen.row, -1);
  EXPECT_EQ(form().CurrentRun()->Ending, RunEnding::kCompleted);
  EXPECT_EQ(dialog().Label2.Caption(), "Success");
}

TEST_F(ConsoleTest, ClosingTheWindowDuringARunStopsTheWorkerFirst) {
  AddEntry("HV22", "VID_1723&PID_0923");
  StartProgram();
  std::atomic<int> cycles{0};
  handlers = {{0, [&](ScriptedWorker& w) {
                 ++cycles;
                 // Reads the entry and logs every cycle: both must outlive the worker.
                 WriteLogText(w.Device()->ModelName);
               }}};
  form().Button1.Click();
  toolkit_.RunUntil([&] { return cycles.load() >= 3; });
  form().FormClose();
  ASSERT_NE(form().CurrentRun(), nullptr);
  EXPECT_FALSE(form().CurrentRun()->RunActive);
  EXPECT_TRUE(DeviceList.empty());
  EXPECT_EQ(PauseEvent, platform::kInvalidHandle);
  // The run is kept, cut before its first row: that row did not pass, nor did the run.
  const RunRecord record = LastRunRecord();
  EXPECT_EQ(record.result, "Error");
  ASSERT_FALSE(record.rows.empty());
  EXPECT_EQ(record.rows[0].memo,
            std::vector<std::string>{std::string("[ERROR] ") + kTestCancelled});
  std::istringstream saved(ReadFile("Test.log"));
  std::vector<std::string> clear;
  for (std::string line; std::getline(saved, line);) {
    clear.push_back(ClearLogText(line.substr(0, line.find('\r'))));
  }
  ASSERT_FALSE(record.log.empty());
  ASSERT_FALSE(clear.empty());
  // The worker may log on until it has stopped: the cut's line is in the file, not always last.
  EXPECT_TRUE(std::ranges::any_of(
      clear, [&](const std::string& line) { return line.ends_with(record.log.back()); }));
}

TEST_F(ConsoleTest, StartIgnoresAnEntryWithoutAModelRow) {
  AddEntry("HV22", "VID_1723&PID_0923");
  AddEntry("Other", "VID_1723&PID_0777");
  StartProgram();
  form().ComboBox1.PickItem(1);
  EXPECT_FALSE(form().Button1.Enabled());
  form().Button1.SetEnabled(true);  // even if the button were enabled, Start does nothing
  form().Button1.Click();
  EXPECT_TRUE(startedClasses.empty());
  EXPECT_EQ(form().Button1.Caption(), "Start");
}

// Each test runs in a folder of its own and leaves nothing behind, whatever its name holds (a
// parameterised test's name holds "/").
class ConsoleScratch : public ConsoleFixture, public ::testing::WithParamInterface<int> {};

TEST_P(ConsoleScratch, TheTestsFolderGoesWithItsTearDown) {
  const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string stem = name.substr(0, name.find('/'));  // "TheTestsFolder..."
  auto leftOver = [&] {
    std::vector<std::string> found;
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
      if (e.path().filename().string().find(stem) != std::string::npos)
        found.push_back(e.path().string());
    return found;
  };
  std::ofstream("Test.log") << "made by the test";
  EXPECT_FALSE(leftOver().empty()) << "the test's folder is in the temporary folder";
  TearDown();
  EXPECT_EQ(leftOver(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleScratch, ::testing::Values(0));
