// LQ40 test runs as the operator sees them: an LQ40 on a simulated bench, Start, the prompts and
// answers, then the icons, the memo, the log in clear (with its timestamps where the tray settle
// times show), the numbered commands the unit received and where its disc ended up.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSessionFixture.h"
#include "SessionLog.h"

using namespace session;

namespace {

const StepRows kLq40{{"Get device information", "Check if drive is online",
                      "Autoloader moves to the ready area", "Pick up disc from input bin",
                      "Tray open", "Load disc to the tray", "Tray close", "Tray open",
                      "Pick up disc from the tray", "Tray close", "Unload disc to output bin"}};

constexpr char kDrive = 'H';
constexpr const char* kSupply = "Supply the loading area with discs.";
constexpr const char* kOffline = "RW drive is not online";

struct Lq40Bench {
  bool drivePresent = true;
  int input = 5;
  std::vector<std::string> faults = {};

  std::string Json() const {
    return R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4},
                        {"id": "box", "parent": "pc", "port": 1}],
               "units": [{"model": "LQ40", "serial": "LQ40T0003", "firmware": "LQ40 V2.10",
                          "hub": "box", "port": 1,
                          "drives": [{"letter": "H", "port": 2, "present": )" +
           std::string(drivePresent ? "true" : "false") + R"(}],
                          "discs": {"input": )" +
           std::to_string(input) + R"(}, "faults": [)" + JoinedList(faults) + "]}]}";
  }
};

// Discovery identifies the unit with command 1 before any run.
constexpr int kIdentifyCommands = 1;

std::string FailedCommand(int number, int occurrence = 1) {
  return ReplyFault("LQ40_CMD[" + std::to_string(number) + "]", occurrence, "error");
}

class Lq40Session : public BenchSessionFixture {
 protected:
  void Start(const Lq40Bench& layout) { StartOnBench(layout.Json()); }
  platform::sim::SimDrive& Drive() { return *bench->Drive(kDrive); }

  // The run's log from its first heading on, each message with its time of day in seconds.
  std::vector<std::pair<int, std::string>> TimedRunLog() const {
    std::vector<std::pair<int, std::string>> out;
    const auto lines = LogLinesSnapshot();
    const auto messages = LogMessages();
    bool started = false;
    for (std::size_t i = 0; i < lines.size() && i < messages.size(); ++i) {
      started = started || messages[i].starts_with("[1] ");
      int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
      if (!started ||
          std::sscanf(lines[i].c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) {
        continue;
      }
      out.emplace_back(h * 3600 + mi * 60 + s, messages[i]);
    }
    return out;
  }
};

TEST_F(Lq40Session, HealthyRunAsksForDiscsThenPassesEveryRowWithItsNumberedCommands) {
  Start({});
  Run({ui::kIdOk});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, kSupply);
  EXPECT_EQ(Prompts()[0].caption, "Information");
  EXPECT_EQ(Prompts()[0].flags, ui::kMbIconInformation | ui::kMbOkCancel);
  EXPECT_EQ(Prompts()[0].owner, "Form1");
  EXPECT_EQ(Icons(), std::vector<int>(11, kIconPassed));
  EXPECT_EQ(ResultWord(), "Success");

  const std::vector<std::vector<std::string>> steps = {
      {kLq40.Heading(0), "LQ40_CMD[1] = LQ40;LQ40 V2.10;LQ40T0003;OK AT+O"},
      {kLq40.Heading(1), "LQ40_DVDRW_[H] ON LINE = OK"},
      {kLq40.Heading(2), "LQ40_CMD[12] = OK AT+O"},
      {kLq40.Heading(3), "LQ40_CMD[3] = OK AT+O"},
      {kLq40.Heading(4), "LQ40_TrayOut = OK"},
      {kLq40.Heading(5), "LQ40_CMD[5] = OK AT+O"},
      {kLq40.Heading(6), "LQ40_TrayIn = OK"},
      {kLq40.Heading(7), "LQ40_TrayOut = OK"},
      {kLq40.Heading(8), "LQ40_CMD[4] = OK AT+O"},
      {kLq40.Heading(9), "LQ40_TrayIn = OK"},
      {kLq40.Heading(10), "LQ40_CMD[6] = OK AT+O"}};
  std::vector<std::string> log;
  for (const auto& step : steps) {
    log.insert(log.end(), step.begin(), step.end());
    log.push_back(kSeparator);
  }
  EXPECT_EQ(RunLog(), log);

  ASSERT_EQ(CommandsBeforeRun(), static_cast<std::size_t>(kIdentifyCommands));
  EXPECT_EQ(Commands(), (std::vector<std::string>{"LQ40_CMD[1]", "LQ40_CMD[12]", "LQ40_CMD[3]",
                                                  "LQ40_CMD[5]", "LQ40_CMD[4]", "LQ40_CMD[6]"}));
  EXPECT_EQ(Drive().TrayMoves(), 4) << "open, close, open, close; the first close found it in";
  EXPECT_FALSE(Drive().TrayOpen());
  EXPECT_EQ(bench->Snapshot(0).output, 1);
}

TEST_F(Lq40Session, TrayStepsLogTheirHeadingAfterTheMoveAndItsSettleTime) {
  Start({});
  Run({ui::kIdOk});

  // A tray row's heading comes at least its settle time after the row before it ended; the
  // timestamps count whole seconds, so a gap of at least n seconds shows as n or more.
  const auto log = TimedRunLog();
  struct Settle {
    int row;
    int seconds;
  };
  for (const Settle s : {Settle{4, 2}, Settle{6, 2}, Settle{7, 4}}) {
    const std::string heading = kLq40.Heading(s.row);
    std::size_t at = 0;
    while (at < log.size() && log[at].second != heading) ++at;
    ASSERT_LT(at, log.size()) << heading;
    ASSERT_GE(at, 1u);
    EXPECT_EQ(log[at - 1].second, kSeparator);
    EXPECT_GE(log[at].first - log[at - 1].first, s.seconds) << heading;
    ASSERT_LT(at + 1, log.size());
    EXPECT_EQ(log[at].first, log[at + 1].first) << "the step's line follows its heading at once";
  }
}

// Nothing had failed when the operator cancelled: the row the run would have run next says why
// the test stopped, so the run does not read as passed.
TEST_F(Lq40Session, CancelOnTheSupplyPromptFailsTheNextRowAsCancelled) {
  Start({});
  Run({ui::kIdCancel});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, kSupply);
  std::vector<int> icons(11, kIconNone);
  std::fill(icons.begin(), icons.begin() + 3, kIconPassed);
  icons[3] = kIconFailed;
  EXPECT_EQ(Icons(), icons);
  EXPECT_EQ(Commands(), (std::vector<std::string>{"LQ40_CMD[1]", "LQ40_CMD[12]"}));
  const auto memo = Memo();
  ASSERT_GE(memo.size(), 2u);
  EXPECT_EQ(memo[memo.size() - 2], " 4. " + form().ListView1.Items()[3].caption);
  EXPECT_EQ(memo.back(), "    [ERROR] The test was cancelled.");
  EXPECT_EQ(ResultWord(), "Error");
  EXPECT_EQ(toolkit_.ModalShowings(), 1);
  EXPECT_EQ(bench->Snapshot(0).input, 5);
}

// The bench file's operator plugs the drive in while the first box is shown; Retry passes.
TEST_F(Lq40Session, DrivePluggedInAtThePromptByTheBenchPassesOnRetry) {
  Start({.drivePresent = false,
         .faults = {R"({"kind": "plug", "target": "drive", "drive": "H", "at_prompt": 1})"}});
  Run({ui::kIdRetry, ui::kIdOk});

  ASSERT_EQ(Prompts().size(), 2u);
  EXPECT_EQ(Prompts()[0].text, kOffline);
  EXPECT_EQ(Prompts()[1].text, kSupply);
  EXPECT_EQ(ResultWord(), "Success");
}

TEST_F(Lq40Session, DriveMissingFailsUntilItIsPluggedInThenRetryClosesItsTrayAndPasses) {
  Start({.drivePresent = false});
  // The operator plugs the drive in at the second prompt; the window handles the arrival
  // before Retry is pressed.
  std::atomic<int> prompts{0};
  OnPrompt([&](const ui::headless::PromptRecord&) {
    if (++prompts != 2) return;
    bench->Plug(DeviceAt(kDrive));
    Drive().SetTray(true);  // it comes with its tray out
    toolkit_.Invoke([] {});
  });
  Run({ui::kIdRetry, ui::kIdRetry, ui::kIdOk});

  ASSERT_EQ(Prompts().size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Prompts()[i].text, kOffline);
    EXPECT_EQ(Prompts()[i].caption, "Error");
    EXPECT_EQ(Prompts()[i].flags, ui::kMbIconError | ui::kMbRetryCancel);
  }
  EXPECT_EQ(Prompts()[2].text, kSupply);
  EXPECT_EQ(kLq40.MemoOfRow(Memo(), 1),
            (std::vector<std::string>{kLq40.MemoHeading(1), ErrorLine(kOffline),
                                      ErrorLine(kOffline), kOkLine}));
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, kLq40.Heading(1)), 1u) << "a retried step logs its heading once";
  EXPECT_EQ(CountOf(log, "LQ40_DVDRW_[H] ON LINE = OK"), 1u);
  EXPECT_EQ(Icons(), std::vector<int>(11, kIconPassed));
  EXPECT_EQ(bench->Snapshot(0).output, 1);
  EXPECT_EQ(Drive().TrayMoves(), 6) << "plugged in open, closed at the check, then four moves";
}

// --- A command answered without "AT+O" ends the run ------------------------------------------

struct FailedCommandCase {
  const char* name;
  Lq40Bench bench;
  int row;
  const char* message;
  const char* lastCommand;
};

class Lq40FailedCommand : public Lq40Session,
                          public ::testing::WithParamInterface<FailedCommandCase> {};

TEST_P(Lq40FailedCommand, FailsItsRowAndEndsTheRunAfterTheOkOnlyBox) {
  const FailedCommandCase& c = GetParam();
  Start(c.bench);
  Run({ui::kIdOk, ui::kIdOk});

  const auto prompts = Prompts();
  ASSERT_FALSE(prompts.empty());
  EXPECT_EQ(prompts.back().text, c.message);
  EXPECT_EQ(prompts.back().caption, "Error");
  EXPECT_EQ(prompts.back().flags, ui::kMbIconError);
  EXPECT_EQ(Commands().back(), c.lastCommand) << "nothing is sent after it";
  std::vector<int> icons(11, kIconNone);
  std::fill(icons.begin(), icons.begin() + c.row, kIconPassed);
  icons[static_cast<std::size_t>(c.row)] = kIconFailed;
  EXPECT_EQ(Icons(), icons);
  EXPECT_EQ(Memo().back(), ErrorLine(c.message));
  EXPECT_EQ(ResultWord(), "Error");
  EXPECT_EQ(toolkit_.ModalShowings(), 1);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lq40, Lq40FailedCommand, ::testing::Values(
    FailedCommandCase{"DeviceInformation", {.faults = {FailedCommand(1, kIdentifyCommands + 1)}}, 0,
                      "An error occurs with Tandro", "LQ40_CMD[1]"},
    FailedCommandCase{"ReadyArea", {.faults = {FailedCommand(12)}}, 2,
                      "An error occurs when autoloader moves to the waiting area.", "LQ40_CMD[12]"},
    FailedCommandCase{"PickFromLoadingArea", {.faults = {FailedCommand(3)}}, 3,
                      "An error occurs when autoloader picks up a disc from the loading area.",
                      "LQ40_CMD[3]"},
    // An empty loading area: the unit refuses the pick-up itself.
    FailedCommandCase{"LoadingAreaEmpty", {.input = 0}, 3,
                      "An error occurs when autoloader picks up a disc from the loading area.",
                      "LQ40_CMD[3]"},
    FailedCommandCase{"PutOnTray", {.faults = {FailedCommand(5)}}, 5,
                      "An error occurs when a disc is unloaded to the tray.", "LQ40_CMD[5]"},
    FailedCommandCase{"PickFromTray", {.faults = {FailedCommand(4)}}, 8,
                      "An error occurs when autoloader picks up a disc from the tray.",
                      "LQ40_CMD[4]"},
    FailedCommandCase{"Output", {.faults = {FailedCommand(6)}}, 10,
                      "An error occurs when autoloader unloads a disc in the output area.",
                      "LQ40_CMD[6]"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- Tray steps are not verified -------------------------------------------------------------

struct UnmovedTrayCase {
  const char* name;
  const char* fault;
  std::vector<int> icons;
  const char* result;
  bool trayOutAtEnd;
};

class Lq40UnmovedTray : public Lq40Session,
                        public ::testing::WithParamInterface<UnmovedTrayCase> {};

TEST_P(Lq40UnmovedTray, TrayStepsPassThoughTheDriveDoesNotMove) {
  const UnmovedTrayCase& c = GetParam();
  Start({.faults = {TrayFault(c.fault, kDrive)}});
  Run({ui::kIdOk, ui::kIdOk});

  EXPECT_EQ(Icons(), c.icons);
  const auto log = RunLog();
  for (int row : {4, 6, 7, 9}) {
    if (c.icons[static_cast<std::size_t>(row)] != kIconPassed) continue;
    const std::size_t at = NthOf(log, kLq40.Heading(row), 1);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(
        After(log, at, 1),
        std::vector<std::string>{row == 4 || row == 7 ? "LQ40_TrayOut = OK" : "LQ40_TrayIn = OK"});
  }
  EXPECT_EQ(ResultWord(), c.result);
  EXPECT_EQ(Drive().TrayOpen(), c.trayOutAtEnd);
}

constexpr int P = kIconPassed;
constexpr int F = kIconFailed;
constexpr int N = kIconNone;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lq40, Lq40UnmovedTray, ::testing::Values(
    // The tray stays in: "Tray open" passes, and the disc cannot be put on it.
    UnmovedTrayCase{"NeverOpens", "tray_never_opens", {P, P, P, P, P, F, N, N, N, N, N}, "Error", false},
    // The tray stays out: both "Tray close" rows pass and the run ends well, the tray still out.
    UnmovedTrayCase{"NeverCloses", "tray_never_closes", std::vector<int>(11, P), "Success", true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
