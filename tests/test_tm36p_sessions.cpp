// TM36P test runs as the operator sees them: a TM36P (TM36 part and printer on the unit's hub,
// HV22 part and drive on a hub below) on a simulated bench, Start, the prompts and answers, then
// the icons, the memo, the result word, the log in clear and the commands each part received.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "BenchSessionFixture.h"
#include "SessionLog.h"
#include "platform/sim/bench/DemoBench.h"

using namespace session;

namespace {

const StepRows kTm36p{
    {"Get device information", "Check if printer is online", "Check if HV22 is online",
     "Check if drive is online", "Switch to CD/DVD mode", "Tray moves to the loading area",
     "Check disc in the input bin", "Tray open", "Load disc to the tray", "Pick up disc",
     "Tray close", "Unload disc", "Tray moves to printing area", "Check if tray opens",
     "Tray moves to reject area", "Tray moves to loading area", "Switch to paper mode"}};
constexpr int kRowCount = 17;

constexpr char kDrive = 'E';
constexpr unsigned kErrorRetryCancel = ui::kMbIconError | ui::kMbRetryCancel;
constexpr unsigned kErrorTryContinue = ui::kMbIconError | ui::kMbCancelTryContinue;
constexpr const char* kTrayOpenError = "An error occurs when tray opens.";
constexpr const char* kTrayCloseError = "An error occurs when tray closes up.";
constexpr const char* kOccupied = "An error occurs when the tray already has disc on it.";
constexpr const char* kHv22Error = "An error occurs with HV22 of TM36P.";

// A command as the bench logs it on the HV22 part's link.
std::string Hv(const std::string& command) {
  return "2:" + command;
}

// A scripted reply on the HV22 part's link only.
std::string Hv22Reply(const std::string& command, int occurrence, const std::string& answer) {
  return R"({"kind": "reply", "link": 2, "command": ")" + command + R"(", "occurrence": )" +
         std::to_string(occurrence) + R"(, "answer": ")" + answer + R"("})";
}

// The TM36P in its box on the PC's root hub: the TM36 part and the printer on their ports,
// the HV22 part on a hub at hvPort with drive E beside it; both EEPROMs hold 00..7F.
struct Tm36pBench {
  int unitPort = 1;  // the TM36 part's port on the box's hub
  int hvPort = 2;
  int printerPort = 3;
  bool printerAlone = true;  // false: another printer on the box's hub
  bool hv22Present = true;
  bool secondHv22 = false;  // another HV22 on its own hub below the box
  bool drive = true;
  const char* tray = "closed";
  bool discOnTray = false;
  int input = 5;
  std::vector<std::string> faults = {};

  std::string Json() const {
    const std::string hubs = R"({"id": "pc", "kind": "root_hub", "ports": 4},
        {"id": "box", "parent": "pc", "port": 1, "ports": 7},
        {"id": "hv", "parent": "box", "port": )" +
                             std::to_string(hvPort) + "}" +
                             (secondHv22 ? R"(, {"id": "hv2", "parent": "box", "port": 6})" : "");
    const std::string drives = drive
                                   ? R"({"letter": "E", "port": 2, "tray": ")" + std::string(tray) +
                                         R"(", "disc": )" + (discOnTray ? "true" : "false") + "}"
                                   : "";
    const std::string devices =
        printerAlone ? "" : R"({"kind": "printer", "hub": "box", "port": 7, "queue": "Office"})";
    const std::string other =
        secondHv22 ? R"(, {"model": "HV22", "serial": "HV22X0009", "hub": "hv2", "port": 1})" : "";
    return R"({"hubs": [)" + hubs + R"(], "devices": [)" + devices +
           R"(], "units": [{"model": "TM36P", "serial": "TP36P0042", "firmware": "RM83P V1.05",
             "hub": "box", "port": )" +
           std::to_string(unitPort) + R"(, "eeprom": ")" + CountingEeprom() + R"(",
             "printer": {"port": )" +
           std::to_string(printerPort) + R"(, "queue": "TM36P Disc Printer"},
             "hv22": {"serial": "HV22P0042", "firmware": "HV22 V2.10", "hub": "hv", "port": 1,
                      "present": )" +
           (hv22Present ? "true" : "false") + R"(, "eeprom": ")" + CountingEeprom() + R"("},
             "drives": [)" +
           drives + R"(], "discs": {"input": )" + std::to_string(input) + R"(}, "faults": [)" +
           JoinedList(faults) + "]}" + other + "]}";
  }
};

// The commands of a healthy run, both parts.
std::vector<std::string> HealthyCommands() {
  std::vector<std::string> commands = {"AT+?", "AT+I00", "AT+C00"};
  commands.insert(commands.end(), 16, "AT+I01");
  for (const char* c : {"AT+C00", "AT+?", "AT+I00", "AT+C00"}) commands.push_back(Hv(c));
  commands.insert(commands.end(), 16, Hv("AT+I01"));
  for (const char* c : {"AT+P01", "AT+T00", "2:AT+C00", "2:AT+C00", "2:AT+R01", "2:AT+G01",
                        "2:AT+C00", "2:AT+R02", "AT+T02", "AT+C00", "AT+T01", "AT+T00", "AT+P00"}) {
    commands.push_back(c);
  }
  return commands;
}

// The log of one part's device information: the status query, information, sensors, EEPROM.
std::vector<std::string> InformationLog(const std::string& mark, const std::string& status) {
  std::vector<std::string> log = {mark + "AT+? = " + status, mark + "AT+I00 = OK AT+O",
                                  mark + "AT+C00 = C00{*",
                                  "Read EEPROM from 0 to 7F as total 128 bytes"};
  for (const std::string& line : CountingEepromLines()) log.push_back(line);
  return log;
}

// Icons with every row passed but the given ones.
std::vector<int> IconsWith(std::vector<std::pair<int, int>> changes) {
  std::vector<int> icons(kRowCount, kIconPassed);
  for (auto [row, icon] : changes) icons[static_cast<std::size_t>(row)] = icon;
  return icons;
}

class Tm36pSession : public BenchSessionFixture {
 protected:
  void Start(const Tm36pBench& layout) { StartOnBench(layout.Json()); }
  platform::sim::SimDrive& Drive() { return *bench->Drive(kDrive); }
  // The input bin check: the HV22 part's third sensor read (tidy-up, information, bin).
  std::size_t InputBinCheck() const { return NthOf(Commands(), Hv("AT+C00"), 3); }
};

}  // namespace

// --- Healthy runs ----------------------------------------------------------------------------

TEST_F(Tm36pSession, HealthyRunPassesEveryRowWithBothPartsMarkedInTheLog) {
  Start({});
  Run();

  EXPECT_EQ(ResultWord(), "Success");
  EXPECT_EQ(Icons(), std::vector<int>(kRowCount, kIconPassed));
  EXPECT_TRUE(Prompts().empty());

  std::vector<std::string> log = {kTm36p.Heading(0)};
  for (const auto& line :
       InformationLog("(TM36P-TM36) ", "RM83P V1.05;{S0000};TP36P0042;OK AT+O")) {
    log.push_back(line);
  }
  log.insert(log.end(), {kSeparator, kTm36p.Heading(1), "Printer On Line & Printer Port_[3] = OK",
                         kSeparator, kTm36p.Heading(2), "HV22 On Line & HV22 Port_[2] = OK"});
  // The tidy-up's sensor read is not logged; the HV22 information closes the row's log.
  for (const auto& line : InformationLog("(TM36P-HV22) ", "HV22 V2.10;{S0000};HV22P0042;OK AT+O")) {
    log.push_back(line);
  }
  const std::vector<std::vector<std::string>> steps = {
      {kTm36p.Heading(3), "DVDRW_[E] ON LINE = OK"},
      {kTm36p.Heading(4), "(TM36P-TM36) AT+P01 = OK AT+O"},
      {kTm36p.Heading(5), "(TM36P-TM36) AT+T00 = OK AT+O"},
      {kTm36p.Heading(6), "(TM36P-HV22) AT+C00 = C00{*"},
      {kTm36p.Heading(7), "(TM36P-HV22) AT+C00 = C00{*"},
      {kTm36p.Heading(8), "(TM36P-HV22) AT+R01 = OK AT+O"},
      {kTm36p.Heading(9), "(TM36P-HV22) AT+G01 = OK AT+O"},
      {kTm36p.Heading(10), "(TM36P-HV22) AT+C00 = C00{*"},
      {kTm36p.Heading(11), "(TM36P-HV22) AT+R02 = OK AT+O"},
      {kTm36p.Heading(12), "(TM36P-TM36) AT+T02 = OK AT+O"},
      {kTm36p.Heading(13), "(TM36P-TM36) AT+C00 = C00{*"},
      {kTm36p.Heading(14), "(TM36P-TM36) AT+T01 = OK AT+O"},
      {kTm36p.Heading(15), "(TM36P-TM36) AT+T00 = OK AT+O"},
      {kTm36p.Heading(16), "(TM36P-TM36) AT+P00 = OK AT+O"}};
  AppendSteps(log, steps);
  ExpectLinesMatch(log, WithoutListing(RunLog()));

  ASSERT_EQ(CommandsBeforeRun(), 1u) << "discovery asks the TM36 part only";
  const auto commands = Commands();
  EXPECT_EQ(commands, HealthyCommands());
  // The disc unloaded onto the printer tray is given 700 ms before the tray moves to print.
  EXPECT_GE(MsBetween(NthOf(commands, Hv("AT+R02"), 1), NthOf(commands, "AT+T02", 1)), 700 + 500);
  EXPECT_EQ(Drive().TrayMoves(), 2);
  EXPECT_FALSE(Drive().TrayOpen());
  const auto unit = bench->Snapshot(0);
  EXPECT_EQ(unit.printJobs, 1);
  EXPECT_EQ(unit.reject, 1) << "the disc went through the drive and the printer to the reject area";
  EXPECT_EQ(unit.input, 4);
}

TEST_F(Tm36pSession, DemoBenchTm36pPassesAndItsLogMarksBothParts) {
  StartOnBench(platform::sim::DemoBenchText());
  form().ComboBox1.PickItem(1);
  ASSERT_EQ(form().ItemNames().at(1), "[1] TM36P (TP36P0001)");
  Run();

  EXPECT_EQ(ResultWord(), "Success");
  const auto log = RunLog();
  const auto marked = [&](const std::string& mark) {
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& line) { return line.starts_with(mark); });
  };
  EXPECT_EQ(marked("(TM36P-TM36) "), 3 + 7);  // information, then the printer tray's steps
  EXPECT_EQ(marked("(TM36P-HV22) "), 3 + 6);  // information, then the drive side's steps
}

// --- "Check if HV22 is online" ---------------------------------------------------------------

struct Tm36pPortCase {
  const char* name;
  Tm36pBench bench;
  std::vector<std::string> rowLog;  // the row's log up to its HV22 status query
  int rowIcon;
  std::vector<std::string> rowMemo;
};

class Tm36pHv22Port : public Tm36pSession, public ::testing::WithParamInterface<Tm36pPortCase> {};

TEST_P(Tm36pHv22Port, PortOneOrTwoPassesWithoutSeparatorOtherPortsWarnAndTheHv22IsStillRead) {
  const Tm36pPortCase& c = GetParam();
  Start(c.bench);
  Run();

  EXPECT_TRUE(Prompts().empty());
  EXPECT_EQ(Icons()[2], c.rowIcon);
  std::vector<std::string> memo = {kTm36p.MemoHeading(2)};
  memo.insert(memo.end(), c.rowMemo.begin(), c.rowMemo.end());
  EXPECT_EQ(kTm36p.MemoOfRow(Memo(), 2), memo);
  const auto log = RunLog();
  const std::size_t heading = NthOf(log, kTm36p.Heading(2), 1);
  std::vector<std::string> expected = c.rowLog;
  expected.push_back("(TM36P-HV22) AT+? = HV22 V2.10;{S0000};HV22P0042;OK AT+O");
  EXPECT_EQ(After(log, heading, expected.size()), expected);
  EXPECT_EQ(CountOf(log, "Read EEPROM from 0 to 7F as total 128 bytes"), 2u);
  EXPECT_EQ(Icons()[16], kIconPassed) << "the run went on to the end";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Tm36p, Tm36pHv22Port, ::testing::Values(
    Tm36pPortCase{"Port1", {.unitPort = 5, .hvPort = 1}, {"HV22 On Line & HV22 Port_[1] = OK"}, kIconPassed,
                 {kOkLine}},
    // The printer makes room on port 3 (and warns its own row for it).
    Tm36pPortCase{"Port3", {.hvPort = 3, .printerPort = 4}, {"HV22 On Line & HV22 Port_[3] = Warning"},
                 kIconWarned, {"    [WARNING] An error with HV22 port."}},
    Tm36pPortCase{"Port4", {.hvPort = 4}, {"HV22 On Line & HV22 Port_[4] = Warning"}, kIconWarned,
                 {"    [WARNING] An error with HV22 port."}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct Tm36pTidyCase {
  const char* name;
  const char* tray;
  int tidyMoves;
  bool paused;
};

class Tm36pTrayAtStart : public Tm36pSession,
                         public ::testing::WithParamInterface<Tm36pTidyCase> {};

TEST_P(Tm36pTrayAtStart, AnOpenDriveTrayIsClosedAndGivenTimeBeforeTheHv22StatusQuery) {
  const Tm36pTidyCase& c = GetParam();
  Start({.tray = c.tray});
  Run();

  const auto commands = Commands();
  const std::size_t sensors = NthOf(commands, Hv("AT+C00"), 1);
  ASSERT_NE(sensors, std::string::npos);
  EXPECT_EQ(After(commands, sensors, 1), std::vector<std::string>{Hv("AT+?")});
  EXPECT_EQ(MsBetween(sensors, sensors + 1) >= 1500, c.paused)
      << MsBetween(sensors, sensors + 1) << " ms";
  const auto log = RunLog();
  EXPECT_EQ(After(log, NthOf(log, "HV22 On Line & HV22 Port_[2] = OK", 1), 1),
            std::vector<std::string>{"(TM36P-HV22) AT+? = HV22 V2.10;{S0000};HV22P0042;OK AT+O"})
      << "the sensor read is not logged";
  EXPECT_EQ(Drive().TrayMoves(), 2 + c.tidyMoves);
  EXPECT_EQ(ResultWord(), "Success");
}

INSTANTIATE_TEST_SUITE_P(Tm36p, Tm36pTrayAtStart,
                         ::testing::Values(Tm36pTidyCase{"Closed", "closed", 0, false},
                                           Tm36pTidyCase{"Open", "open", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tm36pSession, Hv22StatusErrorFailsRowZeroKeepsRowTwoAndEndsAfterOk) {
  Start({.faults = {Hv22Reply("AT+?", 1, "error")}});
  Run({ui::kIdOk});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, kHv22Error);
  EXPECT_EQ(Prompts()[0].caption, "Error");
  EXPECT_EQ(Prompts()[0].flags, ui::kMbIconError);
  std::vector<int> icons(kRowCount, kIconNone);
  icons[0] = kIconFailed;
  icons[1] = kIconPassed;
  icons[2] = kIconPassed;
  EXPECT_EQ(Icons(), icons);
  EXPECT_EQ(Commands().back(), Hv("AT+?")) << "nothing is sent after the OK";
  const auto log = RunLog();
  EXPECT_EQ(After(log, NthOf(log, "HV22 On Line & HV22 Port_[2] = OK", 1)),
            (std::vector<std::string>{"(TM36P-HV22) AT+? = OK AT+E", ErrorLine(kHv22Error)}));
  EXPECT_EQ(kTm36p.MemoOfRow(Memo(), 2),
            (std::vector<std::string>{kTm36p.MemoHeading(2), kOkLine, ErrorLine(kHv22Error)}));
  EXPECT_EQ(ResultWord(), "Error");
  EXPECT_EQ(toolkit_.ModalShowings(), 1);
}

TEST_F(Tm36pSession, SecondHv22UnpluggedAtThePromptPassesOnRetry) {
  Start({.secondHv22 = true});
  ASSERT_EQ(Entry(0).HvCount.load(), 2);
  // The operator unplugs the other HV22 and re-seats the unit's own part; the window handles
  // the removals and the arrival before Retry is pressed.
  OnPrompt([this](const ui::headless::PromptRecord&) {
    const int own = LinkDevice(0, 2);
    bench->UnplugUnit(1);
    bench->Unplug(own);
    bench->Plug(own);
    toolkit_.Invoke([] {});
  });
  Run({ui::kIdRetry});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, "Support one HV22 only, please unplug other HV22 devices.");
  EXPECT_EQ(Prompts()[0].flags, kErrorRetryCancel);
  EXPECT_EQ(kTm36p.MemoOfRow(Memo(), 2),
            (std::vector<std::string>{
                kTm36p.MemoHeading(2),
                ErrorLine("Support one HV22 only, please unplug other HV22 devices."), kOkLine}));
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, kTm36p.Heading(2)), 1u);
  EXPECT_EQ(CountOf(log, "HV22 On Line & HV22 Port_[2] = OK"), 1u);
  EXPECT_EQ(ResultWord(), "Success");
}

// The operator only unplugs the other HV22: the removal alone recounts, and the unit's own HV22
// part is opened again before Retry.
TEST_F(Tm36pSession, SecondHv22PassesOnRetryOnceTheOtherIsUnplugged) {
  Start({.secondHv22 = true});
  OnPrompt([this](const ui::headless::PromptRecord&) {
    bench->UnplugUnit(1);
    toolkit_.Invoke([] {});
  });
  Run({ui::kIdRetry, ui::kIdCancel});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, "Support one HV22 only, please unplug other HV22 devices.");
  EXPECT_EQ(Entry(0).HvCount.load(), 1);
  EXPECT_EQ(CountOf(RunLog(), "HV22 On Line & HV22 Port_[2] = OK"), 1u);
  EXPECT_EQ(ResultWord(), "Success");
}

// --- Association checks answered Cancel ------------------------------------------------------

struct Tm36pCheckCase {
  const char* name;
  Tm36pBench bench;
  int row;
  const char* message;
  const char* lastCommand;
};

class Tm36pCheckCancelled : public Tm36pSession,
                            public ::testing::WithParamInterface<Tm36pCheckCase> {};

TEST_P(Tm36pCheckCancelled, FailsTheRowAsksRetryOrCancelAndCancelEndsTheRun) {
  const Tm36pCheckCase& c = GetParam();
  Start(c.bench);
  Run({ui::kIdCancel});
  ExpectEndedAtPrompt(1, c.row, c.message, kErrorRetryCancel, c.lastCommand);
  std::vector<int> icons(kRowCount, kIconNone);
  std::fill(icons.begin(), icons.begin() + c.row, kIconPassed);
  icons[static_cast<std::size_t>(c.row)] = kIconFailed;
  EXPECT_EQ(Icons(), icons);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Tm36p, Tm36pCheckCancelled, ::testing::Values(
    // This model's own words for several printers.
    Tm36pCheckCase{"TwoPrinters", {.printerAlone = false}, 1,
              "Support one printer only, please unplug another printers.", "AT+I01"},
    // With two HV22 units below it the unit's link 2 stays closed: nothing goes to it.
    Tm36pCheckCase{"TwoHv22", {.secondHv22 = true}, 2,
              "Support one HV22 only, please unplug other HV22 devices.", "AT+I01"},
    Tm36pCheckCase{"NoHv22", {.hv22Present = false}, 2, "HV22 is not online.", "AT+I01"},
    Tm36pCheckCase{"NoDrive", {.drive = false}, 3, "RW drive is not online.", "2:AT+I01"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- The drive tray --------------------------------------------------------------------------

struct Tm36pNeverOpensCase {
  const char* name;
  std::vector<int> answers;
  bool freedAtFirstPrompt;        // the operator frees the tray before answering
  std::vector<std::string> next;  // commands after the 20 polls of the first prompt
  std::vector<int> icons;
  int trayMoves;
  int input = 5;
};

class Tm36pTrayNeverOpens : public Tm36pSession,
                            public ::testing::WithParamInterface<Tm36pNeverOpensCase> {};

TEST_P(Tm36pTrayNeverOpens, TwentyPollsThenTryAgainOpensAgainOrContinueLoadsPastTheDrive) {
  const Tm36pNeverOpensCase& c = GetParam();
  Start({.input = c.input, .faults = {TrayFault("tray_never_opens", kDrive)}});
  std::atomic<int> prompts{0};
  OnPrompt([&](const ui::headless::PromptRecord&) {
    if (prompts++ == 0 && c.freedAtFirstPrompt) Drive().SetTrayGuard(nullptr);
  });
  Run(c.answers);

  ASSERT_EQ(Prompts().size(), c.answers.size());
  for (const auto& prompt : Prompts()) {
    EXPECT_EQ(prompt.text, kTrayOpenError);
    EXPECT_EQ(prompt.flags, kErrorTryContinue);
  }
  const auto commands = Commands();
  std::vector<std::string> expected(20, Hv("AT+C00"));
  expected.insert(expected.end(), c.next.begin(), c.next.end());
  EXPECT_EQ(After(commands, InputBinCheck(), expected.size()), expected);
  EXPECT_EQ(Icons(), c.icons);
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, kTm36p.Heading(7)), 1u);
  EXPECT_EQ(CountOf(log, kTm36p.Heading(8)), 1u);
  EXPECT_EQ(Drive().TrayMoves(), c.trayMoves);
  EXPECT_EQ(bench->Snapshot(0).reject, 1) << "the disc reached the reject area either way";
  EXPECT_EQ(bench->Snapshot(0).input, c.input - 1);
}

constexpr int F = kIconFailed;
constexpr int N = kIconNone;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Tm36p, Tm36pTrayNeverOpens, ::testing::Values(
    // Try Again opens the tray again in the same cycle; the next poll sees it out.
    Tm36pNeverOpensCase{"TryAgain", {ui::kIdTryAgain}, true, {"2:AT+C00", "2:AT+R01", "2:AT+G01"},
                   IconsWith({}), 2},
    // Continue: AT+R90 loads the printer tray past the drive and the run goes on at the
    // printing area; "Pick up disc", "Tray close" and "Unload disc" stay unmarked.
    Tm36pNeverOpensCase{"Continue", {ui::kIdContinue}, false, {"2:AT+R90", "AT+T02", "AT+C00"},
                   IconsWith({{7, F}, {9, N}, {10, N}, {11, N}}), 0},
    // The bin's last disc loaded past the drive answers "AT+S07", which passes as well.
    Tm36pNeverOpensCase{"ContinueWithTheLastDisc", {ui::kIdContinue}, false, {"2:AT+R90", "AT+T02"},
                   IconsWith({{7, F}, {9, N}, {10, N}, {11, N}}), 0, 1},
    // Try Again with the tray still held polls twenty more times before asking again.
    Tm36pNeverOpensCase{"TryAgainThenContinue", {ui::kIdTryAgain, ui::kIdContinue}, false,
                   std::vector<std::string>(20, "2:AT+C00"),
                   IconsWith({{7, F}, {9, N}, {10, N}, {11, N}}), 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct Tm36pOccupiedCase {
  const char* name;
  Tm36pBench bench;
  int answer;
  std::vector<std::string> next;  // commands after the first load
  int loadIcon;
  const char* result;
};

class Tm36pOccupiedTray : public Tm36pSession,
                          public ::testing::WithParamInterface<Tm36pOccupiedCase> {};

TEST_P(Tm36pOccupiedTray, S12AtLoadingOffersTryAgainOrContinue) {
  const Tm36pOccupiedCase& c = GetParam();
  Start(c.bench);
  Run({c.answer});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, kOccupied);
  EXPECT_EQ(Prompts()[0].flags, kErrorTryContinue);
  const auto commands = Commands();
  EXPECT_EQ(After(commands, NthOf(commands, Hv("AT+R01"), 1), c.next.size()), c.next);
  EXPECT_EQ(Icons(), IconsWith({{8, c.loadIcon}}));
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, kTm36p.Heading(8)), 1u);
  EXPECT_EQ(CountOf(log, kTm36p.Heading(9)), 1u) << "the pick-up logs its own heading";
  EXPECT_EQ(ResultWord(), c.result);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Tm36p, Tm36pOccupiedTray, ::testing::Values(
    // The part reports the tray taken once; Try Again sends the load again.
    Tm36pOccupiedCase{"TryAgainLoadsAgain", {.faults = {Hv22Reply("AT+R01", 1, "S12")}},
                 ui::kIdTryAgain, {"2:AT+R01", "2:AT+G01"}, kIconPassed, "Success"},
    // A disc really lies on the drive tray: Continue picks it up and carries it on.
    Tm36pOccupiedCase{"ContinuePicksUp", {.discOnTray = true}, ui::kIdContinue,
                 {"2:AT+G01", "2:AT+C00"}, kIconFailed, "Error"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Tm36pSession, DriveTrayThatNeverClosesIsClosedAgainOnRetry) {
  Start({.faults = {TrayFault("tray_never_closes", kDrive)}});
  // The operator frees the tray before pressing Retry; it stays out until it is moved again.
  std::atomic<bool> outAtPrompt{false};
  OnPrompt([&](const ui::headless::PromptRecord&) {
    outAtPrompt = Drive().TrayOpen();
    Drive().SetTrayGuard(nullptr);
  });
  Run({ui::kIdRetry});
  EXPECT_TRUE(outAtPrompt);

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, kTrayCloseError);
  EXPECT_EQ(Prompts()[0].flags, kErrorRetryCancel);
  const auto commands = Commands();
  std::vector<std::string> expected(21, Hv("AT+C00"));  // 20 polls, then the one after the close
  expected.push_back(Hv("AT+R02"));
  EXPECT_EQ(After(commands, NthOf(commands, Hv("AT+G01"), 1), expected.size()), expected);
  EXPECT_EQ(Drive().TrayMoves(), 2) << "opened once, closed on Retry";
  EXPECT_EQ(
      kTm36p.MemoOfRow(Memo(), 10),
      (std::vector<std::string>{kTm36p.MemoHeading(10), ErrorLine(kTrayCloseError), kOkLine}));
  EXPECT_EQ(CountOf(RunLog(), kTm36p.Heading(10)), 1u);
  EXPECT_EQ(ResultWord(), "Success");
}

// --- The printer side ------------------------------------------------------------------------

TEST_F(Tm36pSession, TrayNeverEjectedTakesTheRecoveryAndGoesOnAtTheRejectArea) {
  Start({.faults = {R"({"kind": "printer_never_ejects"})"}});
  Run({ui::kIdOk});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, "An error occurs when the printer ejects the tray.");
  EXPECT_EQ(Prompts()[0].flags, ui::kMbIconError);
  const auto commands = Commands();
  std::vector<std::string> expected(60, "AT+C00");
  expected.insert(expected.end(), {"AT+M02", "AT+T00", "AT+T01", "AT+T00", "AT+P00"});
  EXPECT_EQ(After(commands, NthOf(commands, "AT+T02", 1)), expected);
  EXPECT_EQ(Icons(), IconsWith({{13, kIconFailed}}));
  const auto log = RunLog();
  const std::size_t reject = NthOf(log, kTm36p.Heading(14), 1);
  ASSERT_NE(reject, std::string::npos);
  EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(reject) - 3,
                                     log.begin() + static_cast<long>(reject)),
            (std::vector<std::string>{"(TM36P-TM36) AT+M02 = OK AT+O",
                                      "(TM36P-TM36) AT+T00 = OK AT+O", kSeparator}));
  EXPECT_EQ(ResultWord(), "Error");
}
