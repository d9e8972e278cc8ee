// HV22 test runs as the operator sees them: an HV22 on a simulated bench, Start, the prompts and
// answers, then the icons, the memo, the result word, the log in clear, the commands the unit
// received and where its discs and drive tray ended up.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "BenchSessionFixture.h"
#include "SessionLog.h"

using namespace session;

namespace {

const StepRows kHv22{{"Get device information", "Check if drive is online",
                      "Check disc in the input bin", "Tray open", "Load disc to the tray",
                      "Tray close", "Tray open", "Pick up disc from the tray", "Tray close",
                      "Unload disc to output bin"}};

constexpr char kDrive = 'F';
constexpr char kExtraDrive = 'Q';
constexpr unsigned kErrorRetryCancel = ui::kMbIconError | ui::kMbRetryCancel;
constexpr unsigned kErrorTryContinue = ui::kMbIconError | ui::kMbCancelTryContinue;

constexpr const char* kTrayOpenError = "An error occurs when the tray opens.";
constexpr const char* kTrayCloseError = "An error occurs when the tray closes up.";
constexpr const char* kMotorError = "An error occurs with the motor.";
constexpr const char* kOccupied = "An error occurs when the tray already has disc on it.";
constexpr const char* kPickBlocked = "An error occurs when pick up disc.";

// One HV22 in its box on the PC's root hub, an EEPROM holding 00..7F, its drive F on the box's
// hub or (usb3Drive) on a USB 3.0 root hub where only its tray sensor tells whose it is.
struct Hv22Bench {
  const char* product = "0x0923";
  bool usb3Drive = false;
  bool drive = true;
  const char* tray = "closed";
  bool discOnTray = false;
  bool extraDrive = false;  // another CD-ROM drive on the box's hub
  int input = 5;
  std::vector<std::string> faults = {};

  std::string Json() const {
    const std::string driveHub = usb3Drive ? R"("hub": "pc3", "port": 1)" : R"("port": 2)";
    const std::string drives = drive ? R"({"letter": "F", )" + driveHub + R"(, "tray": ")" + tray +
                                           R"(", "disc": )" + (discOnTray ? "true" : "false") + "}"
                                     : "";
    const std::string extra =
        extraDrive ? R"({"kind": "cdrom", "hub": "box", "port": 3, "letter": "Q"})" : "";
    return R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4},
                        {"id": "pc3", "kind": "root_hub30", "ports": 4},
                        {"id": "box", "parent": "pc", "port": 1}],
               "devices": [)" +
           extra + R"(],
               "units": [{"model": "HV22", "product": ")" +
           product + R"(", "serial": "HV22T0007", "firmware": "HV22 V3.02",
                          "hub": "box", "port": 1, "eeprom": ")" +
           CountingEeprom() + R"(", "drives": [)" + drives + R"(], "discs": {"input": )" +
           std::to_string(input) + R"(}, "faults": [)" + JoinedList(faults) + "]}]}";
  }
};

// Discovery identifies the unit with one status query before any run.
constexpr int kIdentifyQueries = 1;

// The commands of a healthy run.
std::vector<std::string> HealthyCommands() {
  std::vector<std::string> commands = {"AT+C00", "AT+?", "AT+I00", "AT+C00"};
  commands.insert(commands.end(), 16, "AT+I01");
  for (const char* c :
       {"AT+C00", "AT+C00", "AT+R01", "AT+C00", "AT+C00", "AT+G01", "AT+C00", "AT+R02"}) {
    commands.push_back(c);
  }
  return commands;
}

class Hv22Session : public BenchSessionFixture {
 protected:
  void Start(const Hv22Bench& layout) { StartOnBench(layout.Json()); }
  platform::sim::SimDrive& Drive() { return *bench->Drive(kDrive); }
  std::size_t CommandAfterInputBinCheck() const {
    return NthOf(Commands(), "AT+C00", 3);  // tidy-up, information, input bin
  }
};

// --- Healthy runs ----------------------------------------------------------------------------

struct HealthyCase {
  const char* name;
  Hv22Bench bench;
  bool usb3Line;
};

class Hv22Healthy : public Hv22Session, public ::testing::WithParamInterface<HealthyCase> {};

TEST_P(Hv22Healthy, PassesEveryRowLoggingEachStepAndCarriesTheDiscToTheOutputBin) {
  const HealthyCase& c = GetParam();
  Start(c.bench);
  Run();

  EXPECT_EQ(ResultWord(), "Success");
  EXPECT_EQ(Icons(), std::vector<int>(10, kIconPassed));
  EXPECT_TRUE(Prompts().empty());

  std::vector<std::string> log = {kHv22.Heading(0)};
  if (c.usb3Line) log.push_back("use USB 3.0 Connection.");
  // The tidy-up's sensor read is not logged: the first line is the status query's.
  for (const char* line : {"AT+? = HV22 V3.02;{S0000};HV22T0007;OK AT+O", "AT+I00 = OK AT+O",
                           "AT+C00 = C00{*", "Read EEPROM from 0 to 7F as total 128 bytes"}) {
    log.push_back(line);
  }
  for (const std::string& line : CountingEepromLines()) log.push_back(line);
  const std::vector<std::vector<std::string>> steps = {
      {kHv22.Heading(1), "DVDRW_[F] ON LINE = OK"}, {kHv22.Heading(2), "AT+C00 = C00{*"},
      {kHv22.Heading(3), "AT+C00 = C00{*"},         {kHv22.Heading(4), "AT+R01 = OK AT+O"},
      {kHv22.Heading(5), "AT+C00 = C00{*"},         {kHv22.Heading(6), "AT+C00 = C00{*"},
      {kHv22.Heading(7), "AT+G01 = OK AT+O"},       {kHv22.Heading(8), "AT+C00 = C00{*"},
      {kHv22.Heading(9), "AT+R02 = OK AT+O"}};
  AppendSteps(log, steps);
  ExpectLinesMatch(log, WithoutListing(RunLog()));

  ASSERT_EQ(CommandsBeforeRun(), static_cast<std::size_t>(kIdentifyQueries));
  EXPECT_EQ(Commands(), HealthyCommands());
  EXPECT_EQ(Drive().TrayMoves(), 4);
  EXPECT_FALSE(Drive().TrayOpen());
  const auto unit = bench->Snapshot(0);
  EXPECT_EQ(unit.output, 1);
  EXPECT_EQ(unit.input, 4);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Hv22, Hv22Healthy, ::testing::Values(
    HealthyCase{"Product0923", {}, false},
    HealthyCase{"Product0945OnItsOwnHub", {.product = "0x0945"}, false},
    // Its drive was matched to it by the drive-letter association.
    HealthyCase{"Product0945DriveOnUsb3Hub", {.product = "0x0945", .usb3Drive = true}, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- The tray tidy-up of the first step ------------------------------------------------------

struct TidyCase {
  const char* name;
  const char* tray;
  int tidyMoves;  // tray moves before the status query
  bool paused;
};

class Hv22TrayAtStart : public Hv22Session, public ::testing::WithParamInterface<TidyCase> {};

TEST_P(Hv22TrayAtStart, AnOpenTrayIsClosedAndGivenTimeBeforeTheStatusQueryUnlogged) {
  const TidyCase& c = GetParam();
  Start({.tray = c.tray});
  Run();

  const auto commands = Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "AT+C00");
  EXPECT_EQ(commands[1], "AT+?");
  // 1.5 s lie between the sensor read and the status query only when the tray was out.
  EXPECT_EQ(MsBetween(0, 1) >= 1500, c.paused) << MsBetween(0, 1) << " ms";
  const auto log = RunLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[1], "AT+? = HV22 V3.02;{S0000};HV22T0007;OK AT+O")
      << "the sensor read is not logged";
  EXPECT_EQ(Drive().TrayMoves(), 4 + c.tidyMoves);
  EXPECT_EQ(ResultWord(), "Success");
}

INSTANTIATE_TEST_SUITE_P(Hv22, Hv22TrayAtStart,
                         ::testing::Values(TidyCase{"Closed", "closed", 0, false},
                                           TidyCase{"Open", "open", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Tray moves confirmed by the sensor ------------------------------------------------------

struct StuckTrayCase {
  const char* name;
  const char* fault;
  int row;
  const char* message;
  int movesBefore;  // tray moves made before the stuck one
};

class Hv22StuckTray : public Hv22Session, public ::testing::WithParamInterface<StuckTrayCase> {};

TEST_P(Hv22StuckTray, TwentyOnePollsThenTheRowFailsAndCancelEndsTheRun) {
  const StuckTrayCase& c = GetParam();
  Start({.faults = {TrayFault(c.fault, kDrive)}});
  Run({ui::kIdCancel});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, c.message);
  EXPECT_EQ(Prompts()[0].caption, "Error");
  EXPECT_EQ(Prompts()[0].flags, kErrorRetryCancel);
  // The row's move is followed by exactly 21 sensor polls, 500 ms apart, and nothing after.
  const auto commands = Commands();
  const std::size_t lastPassed =
      c.row == 3 ? CommandAfterInputBinCheck() : NthOf(commands, "AT+R01", 1);
  EXPECT_EQ(After(commands, lastPassed), std::vector<std::string>(21, "AT+C00"));
  EXPECT_GE(MsBetween(lastPassed + 1, commands.size() - 1), 20 * 500);
  std::vector<int> icons(10, kIconNone);
  std::fill(icons.begin(), icons.begin() + c.row, kIconPassed);
  icons[static_cast<std::size_t>(c.row)] = kIconFailed;
  EXPECT_EQ(Icons(), icons);
  EXPECT_EQ(Memo().back(), ErrorLine(c.message));
  EXPECT_EQ(Drive().TrayMoves(), c.movesBefore);
  EXPECT_EQ(ResultWord(), "Error");
}

INSTANTIATE_TEST_SUITE_P(
    Hv22, Hv22StuckTray,
    ::testing::Values(StuckTrayCase{"NeverOpens", "tray_never_opens", 3, kTrayOpenError, 0},
                      StuckTrayCase{"NeverCloses", "tray_never_closes", 5, kTrayCloseError, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hv22Session, RetryAfterAStuckTrayMovesItAgainAndPasses) {
  Start({.faults = {TrayFault("tray_never_opens", kDrive)}});
  // The operator frees the tray before pressing Retry; it stays in until it is moved again.
  std::atomic<bool> inAtPrompt{false};
  OnPrompt([&](const ui::headless::PromptRecord&) {
    inAtPrompt = !Drive().TrayOpen();
    Drive().SetTrayGuard(nullptr);
  });
  Run({ui::kIdRetry});
  EXPECT_TRUE(inAtPrompt);

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, kTrayOpenError);
  const auto commands = Commands();
  std::vector<std::string> expected(22, "AT+C00");  // 21 polls, then the one after the move
  expected.push_back("AT+R01");
  EXPECT_EQ(After(commands, CommandAfterInputBinCheck(), expected.size()), expected);
  EXPECT_EQ(kHv22.MemoOfRow(Memo(), 3),
            (std::vector<std::string>{kHv22.MemoHeading(3), ErrorLine(kTrayOpenError), kOkLine}));
  EXPECT_EQ(CountOf(RunLog(), kHv22.Heading(3)), 1u);
  EXPECT_EQ(ResultWord(), "Success");
}

TEST_F(Hv22Session, WithoutADriveLetterATrayStepFailsAtOnceWithoutMoveOrPoll) {
  // The unit's own drive leaves; the other drive on its hub keeps the drive count at one.
  Start({.extraDrive = true});
  ASSERT_EQ(Entry(0).DriveLetter1.load(), kDrive);
  bench->Unplug(DeviceAt(kDrive));
  DeliverMessages();
  ASSERT_EQ(Entry(0).DriveLetter1.load(), 0);
  ASSERT_EQ(Entry(0).DriveCount.load(), 1);
  Run({ui::kIdRetry, ui::kIdCancel});

  ASSERT_EQ(Prompts().size(), 2u);
  for (const auto& prompt : Prompts()) {
    EXPECT_EQ(prompt.text, kTrayOpenError);
    EXPECT_EQ(prompt.flags, kErrorRetryCancel);
  }
  EXPECT_EQ(Commands().size(), CommandAfterInputBinCheck() + 1)
      << "nothing sent after the bin check";
  EXPECT_EQ(bench->Drive(kExtraDrive)->TrayMoves(), 0);
  EXPECT_EQ(Icons()[3], kIconFailed);
  EXPECT_EQ(CountOf(RunLog(), kHv22.Heading(3)), 1u);
}

TEST_F(Hv22Session, LinkLostWhileConfirmingATrayStillFailsTheRowAndEndsTheRun) {
  // A tray that never opens keeps the step polling; the unit leaves after its 5th poll.
  const int lastAnswered = kIdentifyQueries + 20 + 1 + 5;  // information, bin check, polls
  Start({.faults = {TrayFault("tray_never_opens", kDrive), AfterCommand("unplug", lastAnswered)}});
  Run({ui::kIdRetry});

  EXPECT_EQ(Prompts().size(), 0u) << "no box asks about a unit that has gone";
  EXPECT_EQ(Icons()[3], kIconFailed);
  EXPECT_EQ(Memo().back(), ErrorLine(kTrayOpenError));
  EXPECT_EQ(toolkit_.ModalShowings(), 1);
  EXPECT_EQ(form().Button1.Caption(), "Start");
}

// --- Loading onto an occupied tray -----------------------------------------------------------

struct OccupiedCase {
  const char* name;
  Hv22Bench bench;
  int answer;
  std::vector<std::string> next;  // commands after the first load
  int loadIcon;
  const char* result;
};

class Hv22OccupiedTray : public Hv22Session, public ::testing::WithParamInterface<OccupiedCase> {};

TEST_P(Hv22OccupiedTray, S12AtLoadingOffersTryAgainOrContinue) {
  const OccupiedCase& c = GetParam();
  Start(c.bench);
  Run({c.answer});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, kOccupied);
  EXPECT_EQ(Prompts()[0].caption, "Error");
  EXPECT_EQ(Prompts()[0].flags, kErrorTryContinue);
  EXPECT_EQ(After(Commands(), NthOf(Commands(), "AT+R01", 1), c.next.size()), c.next);
  EXPECT_EQ(Icons()[4], c.loadIcon);
  // Either way the next row logs its own heading, once.
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, kHv22.Heading(4)), 1u);
  EXPECT_EQ(CountOf(log, kHv22.Heading(5)), 1u);
  EXPECT_EQ(Icons()[9], kIconPassed) << "the run went on to the end";
  EXPECT_EQ(bench->Snapshot(0).output, 1);
  EXPECT_EQ(ResultWord(), c.result);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Hv22, Hv22OccupiedTray, ::testing::Values(
    // The unit reports the tray taken once; Try Again loads.
    OccupiedCase{"TryAgainLoadsAgain", {.faults = {ReplyFault("AT+R01", 1, "S12")}},
                 ui::kIdTryAgain, {"AT+R01", "AT+C00"}, kIconPassed, "Success"},
    // A disc really lies on the tray: Continue closes the tray over it and carries it out.
    OccupiedCase{"ContinueGoesOnToTrayClose", {.discOnTray = true}, ui::kIdContinue,
                 {"AT+C00", "AT+C00", "AT+G01"}, kIconFailed, "Error"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- The pick-up recovery --------------------------------------------------------------------

TEST_F(Hv22Session, BlockedPickUpRetryClosesRecoversOpensAndPicksAgainInTheSameCycle) {
  Start({.faults = {R"({"kind": "pick_blocked"})"}});
  Run({ui::kIdRetry});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, kPickBlocked);
  EXPECT_EQ(Prompts()[0].flags, kErrorRetryCancel);
  const auto commands = Commands();
  const std::size_t firstPick = NthOf(commands, "AT+G01", 1);
  ASSERT_NE(firstPick, std::string::npos);
  EXPECT_EQ(After(commands, firstPick),
            (std::vector<std::string>{"AT+C00", "AT+R99", "AT+C00", "AT+G01", "AT+C00", "AT+R02"}));
  // The tray's open confirmation and the second pick-up lie within one cycle.
  EXPECT_LT(MsBetween(firstPick + 3, firstPick + 4), 500);

  EXPECT_EQ(kHv22.MemoOfRow(Memo(), 7),
            (std::vector<std::string>{kHv22.MemoHeading(7), ErrorLine(kPickBlocked), kOkLine}));
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, kHv22.Heading(7)), 1u) << "the pick-up logs its heading once";
  const std::size_t error = NthOf(log, ErrorLine(kPickBlocked), 1);
  ASSERT_NE(error, std::string::npos);
  const std::vector<std::string> expected = {"AT+C00 = C00{*", "AT+R99 = OK AT+O",
                                             "AT+C00 = C00{*", "AT+G01 = OK AT+O",
                                             kSeparator,       kHv22.Heading(8)};
  const auto recovery = After(log, error, expected.size());
  ASSERT_EQ(recovery.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(LineMatches(expected[i], recovery[i])) << recovery[i];
  }
  EXPECT_EQ(Icons(), std::vector<int>(10, kIconPassed));
  EXPECT_EQ(ResultWord(), "Success");
  EXPECT_EQ(bench->Snapshot(0).output, 1);
}

// --- Every prompt, answered Cancel -----------------------------------------------------------

struct CancelCase {
  const char* name;
  Hv22Bench bench;
  std::vector<int> answers;
  int row;
  const char* message;
  unsigned flags;
  const char* lastCommand;
};

class Hv22CancelAtPrompt : public Hv22Session, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(Hv22CancelAtPrompt, EndsTheRunWithTheRowFailedAndNothingAfterIt) {
  const CancelCase& c = GetParam();
  Start(c.bench);
  Run(c.answers);
  ExpectEndedAtPrompt(c.answers.size(), c.row, c.message, c.flags, c.lastCommand);
}

constexpr int kCancel = ui::kIdCancel;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Hv22, Hv22CancelAtPrompt, ::testing::Values(
    // The unit's status query reports an error: OK ends the run before the EEPROM is read.
    CancelCase{"MotorAtStart", {.faults = {ReplyFault("AT+?", kIdentifyQueries + 1, "error")}},
               {ui::kIdOk}, 0, kMotorError, ui::kMbIconError, "AT+?"},
    CancelCase{"NoDrive", {.drive = false}, {kCancel}, 1, "RW drive is not online.",
               kErrorRetryCancel, "AT+I01"},
    // The drive leaves once its check has passed: a tray step without a drive letter fails at
    // once with its own words, nothing moved or polled.
    CancelCase{"TrayOpenAfterTheDriveLeft",
               {.faults = {AfterCommand("unplug", kIdentifyQueries + 21,
                                        R"(, "target": "drive", "drive": "F")")}},
               {kCancel}, 3, kTrayOpenError, kErrorRetryCancel, "AT+C00"},
    CancelCase{"TrayCloseAfterTheDriveLeft",
               {.faults = {AfterCommand("unplug", kIdentifyQueries + 23,
                                        R"(, "target": "drive", "drive": "F")")}},
               {kCancel}, 5, kTrayCloseError, kErrorRetryCancel, "AT+R01"},
    CancelCase{"InputBinEmpty", {.input = 0}, {kCancel}, 2,
               "Supply the loader mechanism with discs.", ui::kMbIconWarning | ui::kMbRetryCancel,
               "AT+C00"},
    CancelCase{"LoadOntoOccupiedTray", {.discOnTray = true}, {kCancel}, 4, kOccupied,
               kErrorTryContinue, "AT+R01"},
    CancelCase{"LoadError", {.faults = {ReplyFault("AT+R01", 1, "error")}}, {kCancel}, 4,
               "An error occurs while loading a disc.", kErrorRetryCancel, "AT+R01"},
    CancelCase{"PickBlocked", {.faults = {R"({"kind": "pick_blocked"})"}}, {kCancel}, 7,
               kPickBlocked, kErrorRetryCancel, "AT+G01"},
    CancelCase{"PickError", {.faults = {ReplyFault("AT+G01", 1, "error")}}, {kCancel}, 7,
               "An error occurs when the tray picks up a disc.", kErrorRetryCancel, "AT+G01"},
    // The recovery's motor command fails: its row is the pick-up's.
    CancelCase{"RecoveryMotor", {.faults = {R"({"kind": "pick_blocked"})",
                                            ReplyFault("AT+R99", 1, "error")}},
               {ui::kIdRetry, kCancel}, 7, kMotorError, kErrorRetryCancel, "AT+R99"},
    CancelCase{"UnloadError", {.faults = {ReplyFault("AT+R02", 1, "error")}}, {kCancel}, 9,
               "An error occurs while unloading a disc to the output bin.", kErrorRetryCancel,
               "AT+R02"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
