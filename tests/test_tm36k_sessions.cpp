// TM36K test runs as the operator sees them: a TM36K on a simulated bench, Start, the prompts
// and answers, then the icons, the result memo, the result word, the log in clear and the
// commands the unit received.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSessionFixture.h"
#include "SessionLog.h"

using namespace session;

namespace {

const StepRows kTm36k{
    {"Get device information", "Check if printer is online", "Switch to CD/DVD mode",
     "Tray moves to the loading area", "Check disc in the input bin", "Load disc to the tray",
     "Tray moves to printing area", "Check if tray opens", "Tray moves to reject area",
     "Tray moves to loading area", "Switch to paper mode"}};

constexpr unsigned kErrorRetryCancel = ui::kMbIconError | ui::kMbRetryCancel;

// The TM36K bench: one unit on its own hub, its printer beside it, an EEPROM holding 00..7F.
struct Tm36kBench {
  int input = 5;
  int printerPort = 3;
  bool queue = true;
  bool printerPresent = true;
  bool extraPrinter = false;  // a second printer on the unit's hub
  std::vector<std::string> faults = {};

  std::string Json() const {
    const std::string extra =
        extraPrinter ? R"({"kind": "printer", "hub": "box", "port": 4, "queue": "Office"})" : "";
    return R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4},
                        {"id": "box", "parent": "pc", "port": 1}],
               "devices": [)" +
           extra + R"(],
               "units": [{"model": "TM36K", "serial": "TK36K0042", "firmware": "RM82C V1.20",
                          "hub": "box", "port": 1, "eeprom": ")" +
           CountingEeprom() + R"(", "printer": {"port": )" + std::to_string(printerPort) +
           R"(, "queue": )" + (queue ? R"("TM36K Disc Printer")" : "null") + R"(, "present": )" +
           (printerPresent ? "true" : "false") + R"(}, "discs": {"input": )" +
           std::to_string(input) + R"(}, "faults": [)" + JoinedList(faults) + "]}]}";
  }
};

// Discovery identifies the unit with one status query before any run: faults counted over all
// commands are placed behind it.
constexpr int kIdentifyQueries = 1;

// An event once the run has sent its n-th command.
std::string RunAfterCommand(const std::string& kind, int n, const std::string& extra = "") {
  return AfterCommand(kind, kIdentifyQueries + n, extra);
}
// The run's n-th status query.
std::string StatusQueryFault(int n) {
  return ReplyFault("AT+?", kIdentifyQueries + n, "error");
}
const std::string kNeverEjects = R"({"kind": "printer_never_ejects"})";

class Tm36kSession : public BenchSessionFixture {
 protected:
  void Start(const Tm36kBench& layout) { StartOnBench(layout.Json()); }
  // The bench's printer that belongs to no unit.
  int OtherPrinter() const {
    const auto& devices = bench->Model().devices;
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].kind == platform::sim::DeviceKind::kPrinter && devices[i].unit < 0) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }
};

}  // namespace

TEST_F(Tm36kSession, HealthyRunPassesEveryRowAndLogsEachStepInOrder) {
  Start({});
  Run();

  EXPECT_EQ(ResultWord(), "Success");
  EXPECT_EQ(Icons(), std::vector<int>(11, kIconPassed));
  EXPECT_TRUE(Prompts().empty());

  std::vector<std::string> memo;
  for (int row = 0; row < 11; ++row) {
    if (row != 0) memo.push_back(kMemoSeparator);
    memo.push_back(kTm36k.MemoHeading(row));
    memo.push_back(kOkLine);
  }
  EXPECT_EQ(Memo(), memo);

  std::vector<std::string> log = {kTm36k.Heading(0), "AT+? = RM82C V1.20;{S0000};TK36K0042;OK AT+O",
                                  "AT+I00 = OK AT+O", "AT+C00 = C00{*",
                                  "Read EEPROM from 0 to 7F as total 128 bytes"};
  for (const std::string& line : CountingEepromLines()) log.push_back(line);
  const std::vector<std::vector<std::string>> steps = {
      {kTm36k.Heading(1), "Printer On Line & Printer Port_[3] = OK"},
      {kTm36k.Heading(2), "AT+P01 = OK AT+O"},
      {kTm36k.Heading(3), "AT+T00 = OK AT+O"},
      {kTm36k.Heading(4), "AT+C00 = C00{*"},
      {kTm36k.Heading(5), "AT+R01 = OK AT+O"},
      {kTm36k.Heading(6), "AT+T02 = OK AT+O"},
      {kTm36k.Heading(7), "AT+C00 = C00{*"},
      {kTm36k.Heading(8), "AT+T01 = OK AT+O"},
      {kTm36k.Heading(9), "AT+T00 = OK AT+O"},
      {kTm36k.Heading(10), "AT+P00 = OK AT+O"}};
  AppendSteps(log, steps);
  ExpectLinesMatch(log, WithoutListing(RunLog()));

  std::vector<std::string> commands = {"AT+?", "AT+I00", "AT+C00"};
  commands.insert(commands.end(), 16, "AT+I01");
  for (const char* c :
       {"AT+P01", "AT+T00", "AT+C00", "AT+R01", "AT+T02", "AT+C00", "AT+T01", "AT+T00", "AT+P00"}) {
    commands.push_back(c);
  }
  ASSERT_EQ(CommandsBeforeRun(), static_cast<std::size_t>(kIdentifyQueries));
  EXPECT_EQ(Commands(), commands);
  // The empty print job reached the unit's printer; the disc ended in the reject area.
  const auto unit = bench->Snapshot(0);
  EXPECT_EQ(unit.printJobs, 1);
  EXPECT_EQ(unit.reject, 1);
  EXPECT_FALSE(unit.cdMode);
}

TEST_F(Tm36kSession, TwoPrintersFailUntilTheOperatorUnplugsOneThenRetryPasses) {
  Start({.extraPrinter = true});
  // The operator unplugs the other printer and re-seats the unit's own; the window handles
  // the removals and the arrival before Retry is pressed.
  OnPrompt([this](const ui::headless::PromptRecord&) {
    const int own = bench->Model().units[0].printer;
    bench->Unplug(OtherPrinter());
    bench->Unplug(own);
    bench->Plug(own);
    toolkit_.Invoke([] {});
  });
  Run({ui::kIdRetry});

  ASSERT_EQ(Prompts().size(), 1u);
  const std::string message = "Support one printer only, please unplug other printers.";
  EXPECT_EQ(Prompts()[0].text, message);
  EXPECT_EQ(Prompts()[0].caption, "Error");
  EXPECT_EQ(Prompts()[0].flags, kErrorRetryCancel);
  EXPECT_EQ(Prompts()[0].owner, "Form1");
  EXPECT_EQ(kTm36k.MemoOfRow(Memo(), 1),
            (std::vector<std::string>{kTm36k.MemoHeading(1), ErrorLine(message), kOkLine}));
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, kTm36k.Heading(1)), 1u);
  EXPECT_EQ(CountOf(log, "Printer On Line & Printer Port_[3] = OK"), 1u);
  EXPECT_EQ(ResultWord(), "Success");
}

// The operator only unplugs the other printer: the removal alone recounts, and the unit's own
// printer is claimed again before Retry.
TEST_F(Tm36kSession, TwoPrintersPassOnRetryOnceTheOtherIsUnplugged) {
  Start({.extraPrinter = true});
  OnPrompt([this](const ui::headless::PromptRecord&) {
    bench->Unplug(OtherPrinter());
    toolkit_.Invoke([] {});
  });
  Run({ui::kIdRetry, ui::kIdCancel});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, "Support one printer only, please unplug other printers.");
  EXPECT_EQ(Entry(0).PrinterCount.load(), 1);
  EXPECT_EQ(CountOf(RunLog(), "Printer On Line & Printer Port_[3] = OK"), 1u);
  EXPECT_EQ(bench->Snapshot(0).printJobs, 1) << "the job went to the unit's own printer";
  EXPECT_EQ(ResultWord(), "Success");
}

// The bench's world keeps its own time and its operator acts at prompts, as scripted in the bench
// file: what the run shows follows from when things happen, not from when the run next talks to
// the unit.
struct ScriptedWorldCase {
  const char* name;
  Tm36kBench bench;
  std::vector<int> answers;
  std::vector<std::string> promptTexts;  // the run's prompts, in order
  std::string result;
};

class ScriptedWorld : public Tm36kSession,
                      public ::testing::WithParamInterface<ScriptedWorldCase> {};

TEST_P(ScriptedWorld, TheRunSeesEachChangeAtItsTime) {
  const ScriptedWorldCase& c = GetParam();
  Start(c.bench);
  Run(c.answers);
  std::vector<std::string> texts;
  for (const auto& prompt : Prompts()) texts.push_back(prompt.text);
  EXPECT_EQ(texts, c.promptTexts);
  EXPECT_EQ(ResultWord(), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Tm36k, ScriptedWorld,
    ::testing::Values(
        // Unplugged at 250 ms, during the first cycle's pause: the printer check at 500 ms sends
        // no command, yet finds it gone.
        ScriptedWorldCase{"PrinterUnpluggedAt250ms",
                          {.faults = {R"({"kind": "unplug", "target": "printer", "at_ms": 250})"}},
                          {ui::kIdCancel},
                          {"Printer is not connected."},
                          "Error"},
        // The operator unplugs the other printer while the box asks for it, then Retry.
        ScriptedWorldCase{
            "ExtraPrinterUnpluggedAtItsPrompt",
            {.extraPrinter = true,
             .faults = {R"({"kind": "unplug", "target": "device", "hub": "box", "port": 4,
                            "prompt_text": "Support one printer only, please unplug other printers."})"}},
            {ui::kIdRetry},
            {"Support one printer only, please unplug other printers."},
            "Success"},
        // The operator fills the empty input bin at the first prompt, then Retry.
        ScriptedWorldCase{
            "InputBinFilledAtThePrompt",
            {.input = 0, .faults = {R"({"kind": "add_discs", "count": 3, "at_prompt": 1})"}},
            {ui::kIdRetry},
            {"Supply the loader mechanism with discs."},
            "Success"},
        // The unit is silent from the run's second command until 5 s: the silence ends during a
        // pause between repetitions, and the command is answered.
        ScriptedWorldCase{
            "SilenceEndsDuringAPause",
            {.faults = {R"({"kind": "silent", "after_command": 3, "until_ms": 5000})"}},
            {},
            {},
            "Success"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tm36kSession, PrinterPluggedInAtThePromptPassesOnRetry) {
  Start({.printerPresent = false});
  // The operator plugs the printer in; the window handles the arrival before Retry is pressed.
  OnPrompt([this](const ui::headless::PromptRecord&) {
    bench->Plug(bench->Model().units[0].printer);
    toolkit_.Invoke([] {});
  });
  Run({ui::kIdRetry});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, "Printer is not connected.");
  EXPECT_EQ(Prompts()[0].flags, kErrorRetryCancel);
  EXPECT_EQ(kTm36k.MemoOfRow(Memo(), 1),
            (std::vector<std::string>{kTm36k.MemoHeading(1),
                                      "    [ERROR] Printer is not connected.", kOkLine}));
  EXPECT_EQ(CountOf(RunLog(), "Printer On Line & Printer Port_[3] = OK"), 1u);
  EXPECT_EQ(bench->Snapshot(0).printJobs, 1) << "the job went to the printer plugged in";
  EXPECT_EQ(ResultWord(), "Success");
}

TEST_F(Tm36kSession, PrinterOnAnotherPortWarnsAndTheRunGoesOn) {
  Start({.printerPort = 2});
  Run();

  EXPECT_TRUE(Prompts().empty());
  std::vector<int> icons(11, kIconPassed);
  icons[1] = kIconWarned;
  EXPECT_EQ(Icons(), icons);
  EXPECT_EQ(ResultWord(), "Warning");
  EXPECT_EQ(kTm36k.MemoOfRow(Memo(), 1),
            (std::vector<std::string>{kTm36k.MemoHeading(1),
                                      "    [WARNING] An error with the printer port."}));
  const auto log = RunLog();
  const auto at = std::find(log.begin(), log.end(), kTm36k.Heading(1));
  ASSERT_LE(at + 4, log.end());
  EXPECT_EQ(
      std::vector<std::string>(at, at + 4),
      (std::vector<std::string>{kTm36k.Heading(1), "Printer On Line & Printer Port_[2] = Warning",
                                kSeparator, kTm36k.Heading(2)}));
}

TEST_F(Tm36kSession, EmptyInputBinPromptsAtOnceThenPollsTenTimesSilentlyAfterRetry) {
  // 21 commands bring the run to its first poll (22): it prompts; after Retry ten silent polls
  // (23 to 32), the eleventh failing poll (33) prompts again; discs arrive after it.
  Start({.input = 0, .faults = {RunAfterCommand("add_discs", 33, R"(, "count": 3)")}});
  std::vector<std::size_t> commandsAtPrompt;
  OnPrompt(
      [&](const ui::headless::PromptRecord&) { commandsAtPrompt.push_back(Commands().size()); });
  Run({ui::kIdRetry, ui::kIdRetry});

  ASSERT_EQ(Prompts().size(), 2u);
  for (const auto& prompt : Prompts()) {
    EXPECT_EQ(prompt.text, "Supply the loader mechanism with discs.");
    EXPECT_EQ(prompt.flags, ui::kMbIconWarning | ui::kMbRetryCancel);
    EXPECT_EQ(prompt.caption, "Error");
  }
  ASSERT_EQ(commandsAtPrompt.size(), 2u);
  const auto commands = Commands();
  EXPECT_EQ(commands[commandsAtPrompt[0] - 1], "AT+C00");
  EXPECT_EQ(commandsAtPrompt[1] - commandsAtPrompt[0], 11u) << "ten silent polls, then a prompt";
  const std::vector<std::string> polls(commands.begin() + static_cast<long>(commandsAtPrompt[0]),
                                       commands.begin() + static_cast<long>(commandsAtPrompt[1]));
  EXPECT_EQ(polls, std::vector<std::string>(11, "AT+C00"));

  const std::string error = "    [ERROR] Supply the loader mechanism with discs.";
  EXPECT_EQ(kTm36k.MemoOfRow(Memo(), 4),
            (std::vector<std::string>{kTm36k.MemoHeading(4), error, error, kOkLine}));
  EXPECT_EQ(CountOf(RunLog(), kTm36k.Heading(4)), 1u) << "a polling step logs its heading once";
  EXPECT_EQ(Icons(), std::vector<int>(11, kIconPassed));
  EXPECT_EQ(ResultWord(), "Success");
}

TEST_F(Tm36kSession, LoadingTheLastDiscAnswersS07AndPasses) {
  Start({.input = 1});
  Run();

  EXPECT_TRUE(Prompts().empty());
  EXPECT_EQ(CountOf(RunLog(), "AT+R01 = OK AT+S07"), 1u);
  EXPECT_EQ(Icons(), std::vector<int>(11, kIconPassed));
  EXPECT_EQ(ResultWord(), "Success");
}

struct EjectCase {
  const char* name;
  bool queue;
  std::vector<std::string> faults;
  int jobsTaken;
};

class TrayNeverOut : public Tm36kSession, public ::testing::WithParamInterface<EjectCase> {};

TEST_P(TrayNeverOut, SixtyPollsThenOkOnlyBoxThenRecoveryAndTheLastRowsStillRun) {
  const EjectCase& c = GetParam();
  Start({.queue = c.queue, .faults = c.faults});
  Run();

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, "An error occurs when the printer ejects the tray.");
  EXPECT_EQ(Prompts()[0].flags, ui::kMbIconError);
  EXPECT_EQ(Prompts()[0].answer, ui::kIdOk);

  const auto commands = Commands();
  const std::size_t printing = NthOf(commands, "AT+T02", 1);
  ASSERT_NE(printing, std::string::npos);
  std::vector<std::string> after(commands.begin() + static_cast<long>(printing) + 1,
                                 commands.end());
  std::vector<std::string> expected(60, "AT+C00");
  for (const char* command : {"AT+M02", "AT+T00", "AT+T01", "AT+T00", "AT+P00"}) {
    expected.push_back(command);
  }
  EXPECT_EQ(after, expected);

  std::vector<int> icons(11, kIconPassed);
  icons[7] = kIconFailed;
  EXPECT_EQ(Icons(), icons);
  EXPECT_EQ(ResultWord(), "Error");
  EXPECT_EQ(
      kTm36k.MemoOfRow(Memo(), 7),
      (std::vector<std::string>{kTm36k.MemoHeading(7),
                                "    [ERROR] An error occurs when the printer ejects the tray."}));
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, kTm36k.Heading(7)), 1u);
  const auto reject = std::find(log.begin(), log.end(), kTm36k.Heading(8));
  ASSERT_GE(reject - log.begin(), 3);
  EXPECT_EQ(std::vector<std::string>(reject - 3, reject + 1),
            (std::vector<std::string>{"AT+M02 = OK AT+O", "AT+T00 = OK AT+O", kSeparator,
                                      kTm36k.Heading(8)}));
  EXPECT_EQ(bench->Snapshot(0).printJobs, c.jobsTaken);
}

INSTANTIATE_TEST_SUITE_P(
    Tm36k, TrayNeverOut,
    ::testing::Values(EjectCase{"PrinterNeverEjects", true, {kNeverEjects}, 1},
                      // The queue is missing: the job cannot start and the poll reports it.
                      EjectCase{"NoPrintQueue", false, {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct RetryCase {
  const char* name;
  std::vector<std::string> faults;
  int answers;          // how many Retry answers
  const char* command;  // the failing command and its occurrence
  int occurrence;
  std::vector<std::string> next;  // what the unit receives right after it
  int row;
  const char* message;
};

class RetryAfterFailure : public Tm36kSession, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryAfterFailure, RetrySendsWhatTheReplyCallsForAndTheRowPasses) {
  const RetryCase& c = GetParam();
  Start({.faults = c.faults});
  Run(std::vector<int>(static_cast<std::size_t>(c.answers), ui::kIdRetry));

  ASSERT_EQ(Prompts().size(), static_cast<std::size_t>(c.answers));
  for (const auto& prompt : Prompts()) {
    EXPECT_EQ(prompt.text, c.message);
    EXPECT_EQ(prompt.flags, kErrorRetryCancel);
  }
  const auto commands = Commands();
  const std::size_t at = NthOf(commands, c.command, c.occurrence);
  ASSERT_NE(at, std::string::npos);
  ASSERT_LE(at + 1 + c.next.size(), commands.size());
  EXPECT_EQ(std::vector<std::string>(commands.begin() + static_cast<long>(at) + 1,
                                     commands.begin() + static_cast<long>(at + 1 + c.next.size())),
            c.next);

  std::vector<std::string> rowMemo = {kTm36k.MemoHeading(c.row)};
  rowMemo.insert(rowMemo.end(), static_cast<std::size_t>(c.answers), ErrorLine(c.message));
  rowMemo.push_back(kOkLine);
  EXPECT_EQ(kTm36k.MemoOfRow(Memo(), c.row), rowMemo);
  EXPECT_EQ(CountOf(RunLog(), kTm36k.Heading(c.row)), 1u) << "a retried step logs its heading once";
  EXPECT_EQ(Icons(), std::vector<int>(11, kIconPassed));
  EXPECT_EQ(ResultWord(), "Success");
}

constexpr const char* kLoadingAreaError = "An error occurs when tray moves to the loading area.";
constexpr const char* kCdModeError = "An error occurs while switching to CD/DVD mode.";

// A faulted reply means the unit did not move; the cases fault moves whose omission does not
// make a later step fail on the bench.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Tm36k, RetryAfterFailure, ::testing::Values(
    RetryCase{"LoadingAreaError", {ReplyFault("AT+T00", 1, "error")}, 1, "AT+T00", 1,
              {"AT+?", "AT+C00"}, 3, kLoadingAreaError},
    // The printing area is reached by querying first, then sending the move again.
    RetryCase{"PrintingAreaError", {ReplyFault("AT+T02", 1, "error")}, 1, "AT+T02", 1,
              {"AT+?", "AT+T02", "AT+C00"}, 6, "An error occurs when tray moves to the printing area."},
    RetryCase{"PaperModeError", {ReplyFault("AT+P00", 1, "error")}, 1, "AT+P00", 1,
              {"AT+?"}, 10, "An error occurs while switching to paper mode."},
    // A second error reply to the status query fails the row and asks again.
    RetryCase{"ErrorAgainOnTheStatusQuery",
              {ReplyFault("AT+T00", 1, "error"), StatusQueryFault(2)}, 2, "AT+T00", 1,
              {"AT+?", "AT+?", "AT+C00"}, 3, kLoadingAreaError},
    // A reply that is neither done nor an error: Retry sends the move itself again.
    RetryCase{"UnexpectedReplyResendsTheCommand", {ReplyFault("AT+P01", 1, "S01")}, 1, "AT+P01", 1,
              {"AT+P01", "AT+T00"}, 2, kCdModeError}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct CancelCase {
  const char* name;
  Tm36kBench bench;
  std::vector<int> answers;
  int row;
  const char* message;
  unsigned flags;
  const char* lastCommand;
};

class CancelAtPrompt : public Tm36kSession, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelAtPrompt, EndsTheRunWithTheRowFailedAndNothingAfterIt) {
  const CancelCase& c = GetParam();
  Start(c.bench);
  Run(c.answers);
  ExpectEndedAtPrompt(c.answers.size(), c.row, c.message, c.flags, c.lastCommand);
}

constexpr int kCancel = ui::kIdCancel;
const std::vector<int> kCancelOnly = {kCancel};
const std::vector<int> kOkThenCancel = {ui::kIdOk, kCancel};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Tm36k, CancelAtPrompt, ::testing::Values(
    // The first status query reports an error: OK ends the run before the EEPROM is read.
    CancelCase{"DeviceError", {.faults = {StatusQueryFault(1)}}, {ui::kIdOk}, 0,
               "An error occurs with TM36K.", ui::kMbIconError, "AT+?"},
    CancelCase{"TwoPrinters", {.extraPrinter = true}, kCancelOnly, 1,
               "Support one printer only, please unplug other printers.", kErrorRetryCancel, "AT+I01"},
    CancelCase{"NoPrinter", {.printerPresent = false}, kCancelOnly, 1,
               "Printer is not connected.", kErrorRetryCancel, "AT+I01"},
    CancelCase{"CdMode", {.faults = {ReplyFault("AT+P01", 1, "error")}}, kCancelOnly, 2,
               kCdModeError, kErrorRetryCancel, "AT+P01"},
    CancelCase{"LoadingArea", {.faults = {ReplyFault("AT+T00", 1, "error")}}, kCancelOnly, 3,
               kLoadingAreaError, kErrorRetryCancel, "AT+T00"},
    CancelCase{"InputBinEmpty", {.input = 0}, kCancelOnly, 4,
               "Supply the loader mechanism with discs.", ui::kMbIconWarning | ui::kMbRetryCancel,
               "AT+C00"},
    CancelCase{"Load", {.faults = {ReplyFault("AT+R01", 1, "error")}}, kCancelOnly, 5,
               "An error occurs while loading a disc.", kErrorRetryCancel, "AT+R01"},
    CancelCase{"PrintingArea", {.faults = {ReplyFault("AT+T02", 1, "error")}}, kCancelOnly, 6,
               "An error occurs when tray moves to the printing area.", kErrorRetryCancel, "AT+T02"},
    CancelCase{"TrayBackward", {.faults = {kNeverEjects, ReplyFault("AT+M02", 1, "error")}},
               kOkThenCancel, 7, "An error occurs when tray backward.", kErrorRetryCancel, "AT+M02"},
    CancelCase{"RecoveryToLoadingArea", {.faults = {kNeverEjects, ReplyFault("AT+T00", 2, "error")}},
               kOkThenCancel, 7, kLoadingAreaError, kErrorRetryCancel, "AT+T00"},
    CancelCase{"RejectArea", {.faults = {ReplyFault("AT+T01", 1, "error")}}, kCancelOnly, 8,
               "An error occurs when tray moves to the reject area.", kErrorRetryCancel, "AT+T01"},
    CancelCase{"BackToLoadingArea", {.faults = {ReplyFault("AT+T00", 2, "error")}}, kCancelOnly, 9,
               kLoadingAreaError, kErrorRetryCancel, "AT+T00"},
    CancelCase{"PaperMode", {.faults = {ReplyFault("AT+P00", 1, "error")}}, kCancelOnly, 10,
               "An error occurs while switching to paper mode.", kErrorRetryCancel, "AT+P00"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Tm36kSession, DeviceErrorAtStartWritesNoEepromLines) {
  Start({.faults = {StatusQueryFault(1)}});
  Run();
  const auto log = RunLog();
  EXPECT_EQ(log, (std::vector<std::string>{kTm36k.Heading(0), "AT+? = OK AT+E",
                                           "    [ERROR] An error occurs with TM36K."}));
}

struct UnplugCase {
  const char* name;
  int afterCommand;
  int passedRows;  // rows 0 .. passedRows-1 passed before the unit left
};

class UnitUnplugged : public Tm36kSession, public ::testing::WithParamInterface<UnplugCase> {};

// The unit's link goes while its printer stays: the run ends at once, and the row it was on says
// the unit stopped answering, so the run reads "Error".
TEST_P(UnitUnplugged, EndsTheRunAtOnceFailingTheCurrentRowAsStoppedAnswering) {
  const UnplugCase& c = GetParam();
  Start({.faults = {RunAfterCommand("unplug", c.afterCommand)}});
  Run();

  EXPECT_TRUE(Prompts().empty());
  EXPECT_EQ(Commands().size(), static_cast<std::size_t>(c.afterCommand))
      << "nothing is sent once the unit has gone";
  std::vector<int> icons(11, kIconNone);
  std::fill(icons.begin(), icons.begin() + c.passedRows, kIconPassed);
  icons[static_cast<std::size_t>(c.passedRows)] = kIconFailed;
  EXPECT_EQ(Icons(), icons);
  const auto memo = Memo();
  ASSERT_GE(memo.size(), 2u);
  EXPECT_EQ(memo[memo.size() - 2], kTm36k.MemoHeading(c.passedRows)) << "no second heading";
  EXPECT_EQ(memo.back(), "    [ERROR] The autoloader stopped answering.");
  EXPECT_EQ(ResultWord(), "Error");
  EXPECT_EQ(toolkit_.ModalShowings(), 1);
  EXPECT_EQ(form().Button1.Caption(), "Start");
}

INSTANTIATE_TEST_SUITE_P(Tm36k, UnitUnplugged,
                         ::testing::Values(UnplugCase{"DuringTheEepromRead", 10, 0},
                                           UnplugCase{"WhileTheTrayMovesToPrint", 24, 6}),
                         [](const auto& info) { return std::string(info.param.name); });
