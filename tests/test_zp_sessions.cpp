// ZP61, ZP65, ZP71 and ZP75 test runs as the operator sees them: a dual-drive unit on a simulated
// bench, Start, the prompts and answers, then the icons, the memo, the log in clear, the commands
// the unit received, the tray requests each drive got and where the discs ended up.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "BenchSessionFixture.h"
#include "SessionLog.h"
#include "platform/DeviceControl.h"
#include "sequences/Zpthread.h"

using namespace session;
using S = ZpState;

// States print by number in a failure.
static void PrintTo(ZpState state, std::ostream* out) {
  *out << StateNumber(state);
}

namespace {

constexpr unsigned kErrorRetryCancel = ui::kMbIconError | ui::kMbRetryCancel;
constexpr unsigned kErrorTryContinue = ui::kMbIconError | ui::kMbCancelTryContinue;
constexpr unsigned kWarningRetryCancel = ui::kMbIconWarning | ui::kMbRetryCancel;
constexpr int kOk = ui::kIdOk;
constexpr int kRetry = ui::kIdRetry;
constexpr int kCancel = ui::kIdCancel;
constexpr int kContinue = ui::kIdContinue;

constexpr const char* kUpperOpenError = "An error occurs when the upper tray opens.";
constexpr const char* kDetached = "The output bin is not attached properly.";
constexpr const char* kMotorPick = "An error ocurrs with motor.";

// Discovery identifies the unit with one status query before any run.
constexpr int kIdentifyQueries = 1;
// Commands a run sends before the trays-open check: tidy-up, information and EEPROM (20),
// output check, eject ramp out and in, input bin.
constexpr int kCommandsBeforeTrays = 20 + 1 + 2 + 1;

struct ZpDrive {
  char letter;
  const char* slot;
  int port;
  bool disc = false;
  const char* tray = "closed";
};

// One ZP unit in its box on the PC's root hub, its drives on the box's hub. Discovery makes the
// drive on the lower port number DriveLetter1, whichever tray it is.
struct ZpBench {
  const char* model = "ZP61";
  std::vector<ZpDrive> drives = {{'E', "upper", 2}, {'F', "lower", 3}};
  std::vector<std::string> faults = {};

  std::string Json() const {
    std::vector<std::string> list;
    for (const ZpDrive& d : drives) {
      list.push_back(std::string(R"({"letter": ")") + d.letter + R"(", "slot": ")" + d.slot +
                     R"(", "port": )" + std::to_string(d.port) + R"(, "disc": )" +
                     (d.disc ? "true" : "false") + R"(, "tray": ")" + d.tray + R"("})");
    }
    return R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4},
                        {"id": "box", "parent": "pc", "port": 1}],
               "units": [{"model": ")" +
           std::string(model) + R"(", "serial": "ZPT0001", "firmware": "ZP V3.02",
                          "hub": "box", "port": 1, "eeprom": ")" +
           CountingEeprom() + R"(", "drives": [)" + JoinedList(list) +
           R"(], "discs": {"input": 5}, "faults": [)" + JoinedList(faults) + "]}]}";
  }
};

const std::vector<ZpDrive> kSwapped = {{'E', "lower", 2}, {'F', "upper", 3}};

bool PairModel(const std::string& model) {
  return model == "ZP61" || model == "ZP71";
}

// The moves a worker made, written on the worker's thread and read once the run has ended.
class MoveLog {
 public:
  void Add(ZpState from, ZpState to) {
    const std::lock_guard<std::mutex> lock(mutex_);
    moves_.push_back({from, to, CycleOf(from, to)});
  }
  std::vector<Transition<ZpState>> Moves() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return moves_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Transition<ZpState>> moves_;
};

// The program's own ZP worker, telling the test every move it makes.
class MoveRecordingZp : public TZPThread {
 public:
  MoveRecordingZp(std::unique_ptr<RunContext> run, MoveLog& log)
      : TZPThread(std::move(run)), log_(log) {}

 protected:
  void Moved(ZpState from, ZpState to) override { log_.Add(from, to); }

 private:
  MoveLog& log_;
};

class ZpSession : public BenchSessionFixture {
 protected:
  void SetUp() override {
    BenchSessionFixture::SetUp();
    SetWorkerFactory([this](WorkerClass kind,
                            std::unique_ptr<RunContext> run) -> std::unique_ptr<SequenceWorker> {
      if (kind != WorkerClass::kZP) return CreateFamilyWorker(kind, std::move(run));
      auto worker = std::make_unique<MoveRecordingZp>(std::move(run), moves_);
      worker->Start();
      return worker;
    });
  }
  // Whatever the session, the worker made no move the family's table does not list.
  void TearDown() override {
    for (const auto& move : moves_.Moves()) {
      EXPECT_TRUE(Listed(zp::kZpTransitions, move.from, move.to))
          << "unlisted move " << StateNumber(move.from) << " -> " << StateNumber(move.to);
    }
    BenchSessionFixture::TearDown();
  }

  // The states the run went through, from the first, one entry per move.
  std::vector<ZpState> Path() const {
    std::vector<ZpState> path = {S::kDeviceInformation};
    for (const auto& move : moves_.Moves()) path.push_back(move.to);
    return path;
  }
  bool PathHas(const std::vector<ZpState>& part) const {
    const auto path = Path();
    return std::search(path.begin(), path.end(), part.begin(), part.end()) != path.end();
  }
  // States first to last in number order, each once.
  static std::vector<ZpState> Through(ZpState first, ZpState last) {
    std::vector<ZpState> states;
    for (int n = StateNumber(first); n <= StateNumber(last); ++n) {
      states.push_back(static_cast<ZpState>(n));
    }
    return states;
  }

  void Start(const ZpBench& layout) {
    StartOnBench(layout.Json());
    for (const ZpDrive& d : layout.drives) slotLetter_[d.slot[0] == 'u' ? 0 : 1] = d.letter;
  }
  StepRows Rows() const { return {Captions()}; }
  char Upper() const { return slotLetter_[0]; }
  char Lower() const { return slotLetter_[1]; }

  // The tray requests a drive got, in order: 'O' eject, 'C' load.
  std::string TrayRequests(char letter) {
    std::string moves;
    for (const auto& request : sim_.Usb().ScsiRequests(letter)) {
      const std::uint8_t* cdb = request.header.data() + platform::ScsiPassThroughLayout::kCdb;
      if (cdb[0] == 0x1B) moves += (cdb[4] & 1) != 0 ? 'C' : 'O';
    }
    return moves;
  }
  // The run's commands that move something (no queries, sensor reads or information).
  std::vector<std::string> Motions() const {
    std::vector<std::string> out;
    for (const std::string& c : Commands()) {
      if (c != "AT+C00" && c != "AT+?" && c != "AT+I00" && c != "AT+I01") out.push_back(c);
    }
    return out;
  }
  std::vector<int> IconsUpTo(int failedRow, int rows) const {
    std::vector<int> icons(static_cast<std::size_t>(rows), kIconNone);
    std::fill(icons.begin(), icons.begin() + failedRow, kIconPassed);
    icons[static_cast<std::size_t>(failedRow)] = kIconFailed;
    return icons;
  }

 private:
  char slotLetter_[2] = {0, 0};
  MoveLog moves_;
};

// --- Healthy runs, whichever letter the upper drive has --------------------------------------

struct HealthyCase {
  const char* name;
  ZpBench bench;
};

class ZpHealthy : public ZpSession, public ::testing::WithParamInterface<HealthyCase> {};

TEST_P(ZpHealthy, PassesEveryRowMovingEachTrayByItsPlaceNotItsLetter) {
  const HealthyCase& c = GetParam();
  Start(c.bench);
  ASSERT_EQ(Entry(0).DriveLetter1.load(), 'E');
  Run();

  const bool pair = PairModel(c.bench.model);
  const std::size_t rows = pair ? 14 : 17;
  EXPECT_EQ(ResultWord(), "Success");
  EXPECT_EQ(Icons(), std::vector<int>(rows, kIconPassed));
  EXPECT_TRUE(Prompts().empty());

  const auto log = RunLog();
  const auto online = std::find(log.begin(), log.end(), Rows().Heading(2));
  ASSERT_LE(online + 3, log.end());
  EXPECT_EQ(
      std::vector<std::string>(online + 1, online + 3),
      (std::vector<std::string>{"First  DVDRW_[E] ON LINE = OK", "Second DVDRW_[F] ON LINE = OK"}));
  EXPECT_EQ(CountOf(log, "AT+R99 = OK AT+O"), 0u);

  const std::vector<std::string> motions =
      pair ? std::vector<std::string>{"AT+F02", "AT+F00", "AT+R01", "AT+R01", "AT+G01", "AT+R02"}
           : std::vector<std::string>{"AT+F02", "AT+F00", "AT+R01", "AT+G99",
                                      "AT+R04", "AT+G04", "AT+R02"};
  EXPECT_EQ(Motions(), motions);
  // Per tray: opened by the trays-open check, then every SetTrays of the plan.
  EXPECT_EQ(TrayRequests(Upper()), pair ? "OCCOC" : "OCOCCCC");
  EXPECT_EQ(TrayRequests(Lower()), pair ? "OOCOC" : "OOOOCOC");
  // A pair model carries two discs out; a single-tray model flips one disc to the lower tray.
  const auto unit = bench->Snapshot(0);
  EXPECT_EQ(unit.output, pair ? 2 : 1);
  EXPECT_EQ(unit.input, pair ? 3 : 4);

  // Every state of the model's path once, in number order: a pair model leaves the upper tray's
  // steps for its own after closing the upper tray.
  auto path = Through(S::kDeviceInformation, pair ? S::kCloseUpper : S::kUnloadLower);
  if (pair) {
    const auto own = Through(S::kPairLoadLower, S::kPairUnload);
    path.insert(path.end(), own.begin(), own.end());
  }
  EXPECT_EQ(Path(), path);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpHealthy, ::testing::Values(
    HealthyCase{"ZP61", {.model = "ZP61"}},
    HealthyCase{"ZP65", {.model = "ZP65"}},
    HealthyCase{"ZP71", {.model = "ZP71"}},
    HealthyCase{"ZP75", {.model = "ZP75"}},
    // The first drive letter opens the lower tray: DrivesSwapped.
    HealthyCase{"ZP61Swapped", {.model = "ZP61", .drives = kSwapped}},
    HealthyCase{"ZP65Swapped", {.model = "ZP65", .drives = kSwapped}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- Device information ----------------------------------------------------------------------

TEST_F(ZpSession, TrayLeftOpenIsClosedUnloggedAndARecoveryRequestGetsR99BeforeTheQuery) {
  Start({.drives = {{'E', "upper", 2, false, "open"}, {'F', "lower", 3}},
         .faults = {R"({"kind": "recovery_request"})"}});
  Run();

  const auto commands = Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3),
            (std::vector<std::string>{"AT+C00", "AT+R99", "AT+?"}));
  EXPECT_GE(MsBetween(0, 1), 1500) << "the closed tray is given time";
  EXPECT_EQ(TrayRequests('E').substr(0, 1), "C");
  EXPECT_EQ(TrayRequests('F').substr(0, 1), "C") << "both trays are closed";
  const auto log = RunLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_TRUE(log[1].starts_with("AT+? = ")) << "neither exchange is logged: " << log[1];
  EXPECT_EQ(CountOf(log, "AT+R99 = OK AT+O"), 0u);
  EXPECT_EQ(ResultWord(), "Success");
}

struct StatusCase {
  const char* name;
  ZpBench bench;
  const char* message;
};

class ZpStatusAtStart : public ZpSession, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ZpStatusAtStart, FailsTheFirstRowAndOkEndsTheRunBeforeTheEeprom) {
  const StatusCase& c = GetParam();
  Start(c.bench);
  Run({kOk});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, c.message);
  EXPECT_EQ(Prompts()[0].flags, ui::kMbIconError);
  EXPECT_EQ(Commands().back(), "AT+?");
  EXPECT_EQ(Icons(), IconsUpTo(0, 14));
  EXPECT_EQ(CountOf(RunLog(), "Read EEPROM from 0 to 7F as total 128 bytes"), 0u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpStatusAtStart, ::testing::Values(
    StatusCase{"Motor", {.faults = {R"({"kind": "motor", "code": "E2000"})"}},
               "An error with the motor."},
    StatusCase{"UpperTrayStaysOpen", {.drives = {{'E', "upper", 2, false, "open"}, {'F', "lower", 3}},
                                      .faults = {TrayFault("tray_never_closes", 'E')}},
               "An error occurs when the upper tray closes up."},
    StatusCase{"BothTraysStayOpen",
               {.drives = {{'E', "upper", 2, false, "open"}, {'F', "lower", 3, false, "open"}},
                .faults = {TrayFault("tray_never_closes", 'E'), TrayFault("tray_never_closes", 'F')}},
               "An error occurs when the dual trays close up."}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- Output side -----------------------------------------------------------------------------

struct RampCase {
  const char* name;
  std::int64_t closedUntilMs;
  std::vector<int> answers;
  bool opens;  // the ramp opens during the silent checks
};

class ZpRampClosed : public ZpSession, public ::testing::WithParamInterface<RampCase> {};

TEST_P(ZpRampClosed, WarningPromptThenTenSilentChecksBeforeAskingAgain) {
  const RampCase& c = GetParam();
  Start({.model = "ZP71",
         .faults = {R"({"kind": "ramp_closed", "until_ms": )" + std::to_string(c.closedUntilMs) +
                    "}"}});
  Run(c.answers);

  ASSERT_EQ(Prompts().size(), c.answers.size());
  for (const auto& prompt : Prompts()) {
    EXPECT_EQ(prompt.text, "The output ramp is not open.");
    EXPECT_EQ(prompt.flags, kWarningRetryCancel);
    EXPECT_EQ(prompt.caption, "Error");
  }
  const auto commands = Commands();
  const std::size_t first = NthOf(commands, "AT+?", 2);
  const auto after = After(commands, first);
  const auto end =
      std::find_if(after.begin(), after.end(), [](const std::string& s) { return s != "AT+?"; });
  const auto queries = static_cast<std::size_t>(end - after.begin());
  if (c.opens) {
    EXPECT_GE(queries, 1u);
    EXPECT_LT(queries, 11u) << "it passed before asking again";
  } else {
    EXPECT_EQ(queries, 11u) << "ten silent checks, and the eleventh asks again";
  }
  EXPECT_EQ(CountOf(RunLog(), Rows().Heading(1)), 1u);
  EXPECT_EQ(Icons()[1], c.opens ? kIconPassed : kIconFailed);
}

// The first check comes about one cycle after Start; the ramp opens a few cycles after the
// prompt, or not at all.
INSTANTIATE_TEST_SUITE_P(Zp, ZpRampClosed,
                         ::testing::Values(RampCase{"OpensWhileChecking", 2750, {kRetry}, true},
                                           RampCase{
                                               "StaysClosed", 1000000, {kRetry, kCancel}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ContinueCase {
  const char* name;
  ZpBench bench;
  int row;
  const char* message;
  const char* logLine;  // written before the row fails, or empty
};

class ZpContinuePastFailure : public ZpSession,
                              public ::testing::WithParamInterface<ContinueCase> {};

TEST_P(ZpContinuePastFailure, ContinueLeavesTheRowFailedAndTheNextRowLogsItsOwnHeading) {
  const ContinueCase& c = GetParam();
  Start(c.bench);
  Run({kContinue, kOk});

  ASSERT_GE(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, c.message);
  EXPECT_EQ(Prompts()[0].flags, kErrorTryContinue);
  EXPECT_EQ(Icons()[static_cast<std::size_t>(c.row)], kIconFailed);
  EXPECT_EQ(Icons()[static_cast<std::size_t>(c.row) + 1], kIconPassed);
  const auto log = RunLog();
  EXPECT_EQ(CountOf(log, Rows().Heading(c.row + 1)), 1u);
  if (*c.logLine != '\0') {
    EXPECT_EQ(CountOf(log, c.logLine), 1u);
  }
  EXPECT_EQ(Rows().MemoOfRow(Memo(), c.row),
            (std::vector<std::string>{Rows().MemoHeading(c.row), ErrorLine(c.message)}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpContinuePastFailure, ::testing::Values(
    ContinueCase{"OutputBinDetached", {.faults = {R"({"kind": "output_detached"})"}}, 1,
                 kDetached, ""},
    // The only drive is the lower one; the trays-open check then offers the lower tray alone.
    ContinueCase{"OneDriveOffline", {.drives = {{'F', "lower", 3}}}, 2,
                 "One of the dual drives is not online.",
                 "One DVDRW_[F] ON LINE, the other DVDRW OFF LINE = ERROR"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- Trays open ------------------------------------------------------------------------------

struct UnseenCase {
  const char* name;
  const char* model;
  char letter;  // the drive whose tray never opens
  const char* message;
  unsigned flags;
  std::vector<int> icons;  // the run goes on with the other tray, or ends
  int output;
  std::vector<ZpState> turn;  // the moves that take the run past the missing tray
  ZpState last;               // the state the run ended in
};

class ZpTrayNeverOpens : public ZpSession, public ::testing::WithParamInterface<UnseenCase> {};

TEST_P(ZpTrayNeverOpens, RowFiveFailsAndThatDriveIsNeverMovedAgain) {
  const UnseenCase& c = GetParam();
  Start({.model = c.model, .faults = {TrayFault("tray_never_opens", c.letter)}});
  Run({kOk});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, c.message);
  EXPECT_EQ(Prompts()[0].flags, c.flags);
  // Twenty polls for the tray that stays in, one for the tray that shows open at once.
  const auto after = After(Commands(), kCommandsBeforeTrays - 1, 21);
  EXPECT_EQ(after, std::vector<std::string>(21, "AT+C00"));
  EXPECT_EQ(TrayRequests(c.letter), "O");
  EXPECT_EQ(Icons(), c.icons);
  EXPECT_EQ(bench->Snapshot(0).output, c.output);
  EXPECT_EQ(ResultWord(), "Error");
  EXPECT_TRUE(PathHas(c.turn));
  EXPECT_EQ(Path().back(), c.last);
}

std::vector<int> PairWithout(int firstSkipped) {
  std::vector<int> icons(14, kIconPassed);
  icons[5] = kIconFailed;
  icons[static_cast<std::size_t>(firstSkipped)] = kIconNone;
  icons[static_cast<std::size_t>(firstSkipped) + 1] = kIconNone;
  return icons;
}

const char* const kLowerOpenError = "An error occurs when the lower tray opens.";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpTrayNeverOpens, ::testing::Values(
    UnseenCase{"ZP61GoesOnWithTheLowerTray", "ZP61", 'E', kUpperOpenError,
               ui::kMbIconError | ui::kMbOkCancel, PairWithout(6), 1,
               {S::kEvaluateTrays, S::kPairLoadLower}, S::kPairUnload},
    // Loading and closing the lower tray are left out: the pair opens and picks the upper alone.
    UnseenCase{"ZP61GoesOnWithTheUpperTray", "ZP61", 'F', kLowerOpenError,
               ui::kMbIconError | ui::kMbOkCancel, PairWithout(8), 1,
               {S::kEvaluateTrays, S::kLoadUpper, S::kCloseUpper, S::kPairOpenTrays},
               S::kPairUnload},
    UnseenCase{"ZP65Ends", "ZP65", 'E', kUpperOpenError, ui::kMbIconError,
               {kIconPassed, kIconPassed, kIconPassed, kIconPassed, kIconPassed, kIconFailed,
                kIconNone, kIconNone, kIconNone, kIconNone, kIconNone, kIconNone, kIconNone,
                kIconNone, kIconNone, kIconNone, kIconNone}, 0,
               {S::kWatchSecondTray, S::kEvaluateTrays}, S::kEvaluateTrays}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct DiscsCase {
  const char* name;
  std::vector<ZpDrive> drives;
  const char* message;
  const char* lowerPick;  // how the lower tray's disc is picked at row 14
};

class ZpDiscsOnTrays : public ZpSession, public ::testing::WithParamInterface<DiscsCase> {};

TEST_P(ZpDiscsOnTrays, OkSkipsTheLoadingAndTheDiscsFoundAreCarriedOut) {
  const DiscsCase& c = GetParam();
  Start({.model = "ZP75", .drives = c.drives});
  Run({kOk});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, c.message);
  EXPECT_EQ(Prompts()[0].flags, ui::kMbIconError);
  std::vector<int> icons(17, kIconPassed);
  icons[5] = kIconFailed;
  std::fill(icons.begin() + 6, icons.begin() + 12, kIconNone);
  EXPECT_EQ(Icons(), icons);
  EXPECT_EQ(CountOf(RunLog(), Rows().Heading(12)), 1u) << "row 12 logs its own heading";
  EXPECT_EQ(Motions(), (std::vector<std::string>{"AT+F02", "AT+F00", c.lowerPick, "AT+R02"}));
  const auto unit = bench->Snapshot(0);
  EXPECT_EQ(unit.input, 5) << "nothing was loaded";
  EXPECT_EQ(unit.output, static_cast<int>(c.drives[0].disc) + 1);
  EXPECT_TRUE(PathHas({S::kEvaluateTrays, S::kCloseLower})) << "straight to the lower tray's row";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpDiscsOnTrays, ::testing::Values(
    // Both trays are opened at row 13 and one motion picks both discs.
    DiscsCase{"BothTrays", {{'E', "upper", 2, true}, {'F', "lower", 3, true}},
              "An error occurs when the trays already have discs.", "AT+G99"},
    DiscsCase{"LowerTray", {{'E', "upper", 2}, {'F', "lower", 3, true}},
              "An error occurs when the lower tray already has disc on it.", "AT+G04"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ZpSession, DiscOnTheUpperTrayAlonePassesRowFiveAndTheLoadingStepReportsIt) {
  Start({.model = "ZP75", .drives = {{'E', "upper", 2, true}, {'F', "lower", 3}}});
  Run({kContinue});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, "An error occurs when the upper tray already has disc on it.");
  EXPECT_EQ(Prompts()[0].flags, kErrorTryContinue);
  std::vector<int> icons(17, kIconPassed);
  icons[6] = kIconFailed;
  EXPECT_EQ(Icons(), icons);
  // The flag was cleared: the lower tray alone is opened at row 13 and picked with AT+G04.
  EXPECT_EQ(Motions(), (std::vector<std::string>{"AT+F02", "AT+F00", "AT+R01", "AT+G99", "AT+R04",
                                                 "AT+G04", "AT+R02"}));
  EXPECT_EQ(TrayRequests('E'), "OCOCCCC");
  EXPECT_EQ(bench->Snapshot(0).output, 1);
}

struct MismatchCase {
  const char* name;
  int driveCount;
  std::vector<int> answers;
  const char* message;
};

class ZpDriveListDisagrees : public ZpSession,
                             public ::testing::WithParamInterface<MismatchCase> {};

TEST_P(ZpDriveListDisagrees, BothTraysOpenButTheCountIsWrongEndsAfterAnOkOnlyBox) {
  const MismatchCase& c = GetParam();
  Start({});
  Entry(0).DriveCount = static_cast<std::int8_t>(c.driveCount);  // the drive list gone astray
  Run(c.answers);

  ASSERT_EQ(Prompts().size(), c.answers.size());
  EXPECT_EQ(Prompts().back().text, c.message);
  EXPECT_EQ(Prompts().back().flags, ui::kMbIconError);
  EXPECT_EQ(Icons()[5], kIconFailed);
  EXPECT_EQ(Icons()[6], kIconNone);
  EXPECT_EQ(Motions(), (std::vector<std::string>{"AT+F02", "AT+F00"}));
  EXPECT_EQ(toolkit_.ModalShowings(), 1) << "the run ended once";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpDriveListDisagrees, ::testing::Values(
    MismatchCase{"OneDriveCounted", 1, {kContinue, kOk},
                 "Both trays open, but only one of the dual drives is online."},
    MismatchCase{"ThreeDrivesCounted", 3, {kOk},
                 "More drives are online than the dual drives. Unplug the other drives."}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- Loading, picking, unloading --------------------------------------------------------------

TEST_F(ZpSession, EjectRampErrorThenRetryQueriesAndStillSendsTheRampBackIn) {
  Start({.faults = {ReplyFault("AT+F02", 1, "error")}});
  Run({kRetry});

  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, "An error with the eject ramp");
  EXPECT_EQ(After(Commands(), NthOf(Commands(), "AT+F02", 1), 2),
            (std::vector<std::string>{"AT+?", "AT+F00"}));
  EXPECT_EQ(Icons()[3], kIconPassed);
  EXPECT_EQ(ResultWord(), "Success");
}

TEST_F(ZpSession, PickUpLeavingTheDiscRetryRecoversAndPicksAgainInTheSameCycle) {
  // The unit says done but the disc stays on the open upper tray.
  Start({.model = "ZP65", .faults = {ReplyFault("AT+G99", 1, "ok")}});
  Run({kRetry});

  const char* message = "An error occurs when the upper drive picks up a disc.";
  ASSERT_EQ(Prompts().size(), 1u);
  EXPECT_EQ(Prompts()[0].text, message);
  EXPECT_EQ(Prompts()[0].flags, kErrorRetryCancel);
  const auto commands = Commands();
  const std::size_t pick = NthOf(commands, "AT+G99", 1);
  EXPECT_EQ(After(commands, pick, 4),
            (std::vector<std::string>{"AT+C00", "AT+R99", "AT+G99", "AT+C00"}));
  EXPECT_GE(MsBetween(pick + 1, pick + 2), 500) << "the recovery comes in the next cycle";
  EXPECT_LT(MsBetween(pick + 2, pick + 3), 500) << "and the pick-up follows it in that cycle";
  EXPECT_EQ(CountOf(RunLog(), Rows().Heading(9)), 1u);
  EXPECT_EQ(Rows().MemoOfRow(Memo(), 9),
            (std::vector<std::string>{Rows().MemoHeading(9), ErrorLine(message), kOkLine}));
  EXPECT_EQ(ResultWord(), "Success");
  EXPECT_EQ(bench->Snapshot(0).output, 1);
  EXPECT_TRUE(PathHas({S::kPickUpper, S::kMotorRecovery, S::kPickUpper, S::kCloseUpperAfterPick}));
}

struct PickCase {
  const char* name;
  ZpBench bench;
  const char* pick;  // the pick-up command; what follows its first occurrence is checked
  std::vector<int> answers;
  std::vector<std::string> messages;
  std::vector<std::string> next;
  int row;
  ZpState state;  // the pick-up's state: a Retry first hands it to the recovery and back
  // Pick-up commands sent (the first included) when each box came up; empty: not checked.
  std::vector<std::size_t> picksAtPrompts = {};
};

void PrintTo(const PickCase& c, std::ostream* out) {
  *out << c.name;
}

class ZpPickFailure : public ZpSession, public ::testing::WithParamInterface<PickCase> {};

TEST_P(ZpPickFailure, TheRowFailsWithWhatTheTraysShowAndRetryRunsTheMotorRecovery) {
  const PickCase& c = GetParam();
  Start(c.bench);
  std::vector<std::size_t> picksAtPrompts;
  OnPrompt([&](const ui::headless::PromptRecord&) {
    picksAtPrompts.push_back(CountOf(Commands(), c.pick));
  });
  Run(c.answers);
  if (!c.picksAtPrompts.empty()) {
    EXPECT_EQ(picksAtPrompts, c.picksAtPrompts);
    EXPECT_EQ(CountOf(Commands(), c.pick), c.picksAtPrompts.back()) << "none after the last box";
  }

  ASSERT_EQ(Prompts().size(), c.messages.size());
  for (std::size_t i = 0; i < c.messages.size(); ++i) {
    EXPECT_EQ(Prompts()[i].text, c.messages[i]);
    EXPECT_EQ(Prompts()[i].flags, kErrorRetryCancel);
  }
  const auto commands = Commands();
  EXPECT_EQ(After(commands, NthOf(commands, c.pick, 1), c.next.size()), c.next);
  EXPECT_EQ(CountOf(RunLog(), Rows().Heading(c.row)), 1u);
  EXPECT_EQ(PathHas({c.state, S::kMotorRecovery, c.state}), c.answers[0] == kRetry);
}

const ZpBench kNothingLoaded = {
    .faults = {ReplyFault("AT+R01", 1, "ok"), ReplyFault("AT+R01", 2, "ok")}};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpPickFailure, ::testing::Values(
    // Both discs still lie on the open trays.
    PickCase{"BothDiscsLeft", {.faults = {ReplyFault("AT+G01", 1, "S01")}}, "AT+G01", {kRetry},
             {"An error occurs when the dual drives pick up discs."},
             {"AT+C00", "AT+R99", "AT+G01", "AT+C00"}, 11, S::kPairPick},
    // The unit found nothing to pick and the trays show no disc: still the operator's call.
    PickCase{"NothingOnTheTrays", kNothingLoaded, "AT+G01", {kRetry, kCancel},
             {"An error occurs when discs are picked up from the trays.",
              "An error occurs when discs are picked up from the trays."},
             {"AT+C00", "AT+R99", "AT+G01", "AT+C00"}, 11, S::kPairPick},
    PickCase{"LowerPickS01", {.model = "ZP65", .faults = {ReplyFault("AT+G04", 1, "S01")}},
             "AT+G04", {kRetry}, {"An error occurs when the lower drive picks up a disc."},
             {"AT+R99", "AT+G04", "AT+C00"}, 14, S::kPickLower},
    // A unit that keeps answering neither done nor refused is asked twenty times (the first
    // included), then the row fails and the operator is asked.
    PickCase{"NeverDoneNorRefused",
             {.faults = {R"({"kind": "reply", "command": "AT+G01", "times": 0, "answer": "S07"})"}},
             "AT+G01", {kCancel}, {kMotorPick}, std::vector<std::string>(19, "AT+G01"), 11,
             S::kPairPick, {20}},
    // A recovery whose reply is not done fails on the pick-up's row; Retry sends it again.
    PickCase{"RecoveryNotDone",
             {.model = "ZP65", .faults = {ReplyFault("AT+G99", 1, "ok"), ReplyFault("AT+R99", 1, "S01")}},
             "AT+G99", {kRetry, kRetry},
             {"An error occurs when the upper drive picks up a disc.", kMotorPick},
             {"AT+C00", "AT+R99", "AT+R99", "AT+G99", "AT+C00"}, 9, S::kPickUpper},
    // A device error in the recovery: the next attempt only queries the status.
    PickCase{"RecoveryError",
             {.model = "ZP65", .faults = {ReplyFault("AT+G99", 1, "ok"), ReplyFault("AT+R99", 1, "error")}},
             "AT+G99", {kRetry, kRetry},
             {"An error occurs when the upper drive picks up a disc.", kMotorPick},
             {"AT+C00", "AT+R99", "AT+?", "AT+G99", "AT+C00"}, 9, S::kPickUpper}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct UnloadCase {
  const char* name;
  const char* model;
  const char* answer;  // the scripted reply to the unload
  std::vector<int> answers;
  std::vector<std::string> next;  // what the unit receives after the unload
  std::vector<std::string> memo;  // the row's outcome lines
  const char* result;
};

class ZpUnload : public ZpSession, public ::testing::WithParamInterface<UnloadCase> {};

TEST_P(ZpUnload, TheUnloadEndsTheRunUnlessTheOperatorRetries) {
  const UnloadCase& c = GetParam();
  Start({.model = c.model, .faults = {ReplyFault("AT+R02", 1, c.answer)}});
  Run(c.answers);

  ASSERT_EQ(Prompts().size(), c.answers.size());
  const int row = static_cast<int>(Captions().size()) - 1;
  EXPECT_EQ(After(Commands(), NthOf(Commands(), "AT+R02", 1)), c.next);
  std::vector<std::string> memo = {Rows().MemoHeading(row)};
  memo.insert(memo.end(), c.memo.begin(), c.memo.end());
  EXPECT_EQ(Rows().MemoOfRow(Memo(), row), memo);
  EXPECT_EQ(ResultWord(), c.result);
  EXPECT_EQ(toolkit_.ModalShowings(), 1);
}

const std::string kUnloadDual =
    "An error occurs when discs are unloaded to the output bin from the dual drives.";
const std::string kUnloadLower =
    "An error occurs when a disc is unloaded to the output bin from the lower drive.";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpUnload, ::testing::Values(
    UnloadCase{"OutputBinNotAttachedWarns", "ZP61", "S08", {}, {},
               {"    [WARNING] The output bin is not attached properly."}, "Warning"},
    UnloadCase{"ErrorThenRetryQueries", "ZP61", "error", {kRetry}, {"AT+?"},
               {ErrorLine(kUnloadDual), kOkLine}, "Success"},
    UnloadCase{"UnexpectedThenRetryUnloadsAgain", "ZP65", "S01", {kRetry}, {"AT+R02"},
               {ErrorLine(kUnloadLower), kOkLine}, "Success"},
    UnloadCase{"ErrorThenCancel", "ZP65", "error", {kCancel}, {}, {ErrorLine(kUnloadLower)},
               "Error"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ZpSession, UnloadAnsweredS08EndsTheLogWithASeparatorLine) {
  Start({.faults = {ReplyFault("AT+R02", 1, "S08")}});
  Run();
  const auto log = RunLog();
  EXPECT_EQ(After(log, NthOf(log, "AT+R02 = OK AT+S08", 1)), std::vector<std::string>{kSeparator});
}

struct StuckCase {
  const char* name;
  ZpBench bench;
  std::vector<int> answers;
  int row;
  const char* message;
  int rows;
  std::vector<int> icons = {};  // when rows before it were skipped
};

class ZpTrayStuck : public ZpSession, public ::testing::WithParamInterface<StuckCase> {};

TEST_P(ZpTrayStuck, TwentyOnePollsThenTheRowFailsAndRetryMovesAndPollsAgain) {
  const StuckCase& c = GetParam();
  Start(c.bench);
  Run(c.answers);

  ASSERT_EQ(Prompts().size(), c.answers.size());
  for (std::size_t i = Prompts().size() - 2; i < Prompts().size(); ++i) {
    EXPECT_EQ(Prompts()[i].text, c.message);
    EXPECT_EQ(Prompts()[i].flags, kErrorRetryCancel);
  }
  // Two tray steps of 21 polls each, 500 ms apart, end the run.
  const auto commands = Commands();
  ASSERT_GE(commands.size(), 42u);
  const std::vector<std::string> tail(commands.end() - 42, commands.end());
  EXPECT_EQ(tail, std::vector<std::string>(42, "AT+C00"));
  EXPECT_GE(MsBetween(commands.size() - 42, commands.size() - 22), 20 * 500);
  EXPECT_EQ(Icons(), c.icons.empty() ? IconsUpTo(c.row, c.rows) : c.icons);
  EXPECT_EQ(CountOf(RunLog(), Rows().Heading(c.row)), 1u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Zp, ZpTrayStuck, ::testing::Values(
    StuckCase{"UpperNeverCloses", {.model = "ZP65", .faults = {TrayFault("tray_never_closes", 'E')}},
              {kRetry, kCancel}, 7, "An error occurs when the upper tray closes up.", 17},
    StuckCase{"LowerNeverCloses", {.faults = {TrayFault("tray_never_closes", 'F')}},
              {kRetry, kCancel}, 9, "An error occurs when the lower drive closes up.", 14},
    StuckCase{"NeitherCloses",
              {.model = "ZP75", .drives = {{'E', "upper", 2, true}, {'F', "lower", 3, true}},
               .faults = {TrayFault("tray_never_closes", 'E'), TrayFault("tray_never_closes", 'F')}},
              {kOk, kRetry, kCancel}, 12, "An error occurs when the dual trays close up.", 17,
              {kIconPassed, kIconPassed, kIconPassed, kIconPassed, kIconPassed, kIconFailed,
               kIconNone, kIconNone, kIconNone, kIconNone, kIconNone, kIconNone, kIconFailed,
               kIconNone, kIconNone, kIconNone, kIconNone}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
