// The ZP family test sequence: the checks, then loading, picking and unloading with the motor
// recovery. The state map at the end names every state's handler and successors; the handlers
// act and move only to the successors the map gives them.
#include "sequences/Zpthread.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

#include "device/Device.h"
#include "device/Drives.h"
#include "models/ModelCatalogue.h"
#include "platform/Platform.h"
#include "report/RunState.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "sequences/StateMap.h"
#include "ui/Toolkit.h"

using namespace zp;

namespace {

constexpr unsigned kErrorRetryCancel = ui::kMbIconError | ui::kMbRetryCancel;
constexpr unsigned kErrorTryContinue = ui::kMbIconError | ui::kMbCancelTryContinue;
constexpr unsigned kWarningRetryCancel = ui::kMbIconWarning | ui::kMbRetryCancel;

// Tray steps: which SetTrays results fail the row (bit r for result r).
constexpr unsigned kUpperFails = 1u << kUpperStuck;
constexpr unsigned kLowerFails = 1u << kLowerStuck;
constexpr unsigned kAnyFails = kUpperFails | kLowerFails | (1u << (kUpperStuck | kLowerStuck));

// What the build checks of the tables beyond the cycles: one row per state in number order, and
// every state but the first entered by some move and left by some move unless it ends the run.
static_assert(RowsInStateOrder(kZpRows) &&
                  std::size(kZpRows) == StateNumber(ZpState::kMotorRecovery) + 1,
              "kZpRows lists each state once, in number order");

constexpr bool EveryStateConnected() {
  for (const StateRow<ZpState>& entry : kZpRows) {
    bool entered = entry.state == ZpState::kDeviceInformation;
    bool left = entry.state == ZpState::kUnloadLower || entry.state == ZpState::kPairUnload;
    for (const Transition<ZpState>& move : kZpTransitions) {
      entered = entered || move.to == entry.state;
      left = left || move.from == entry.state;
    }
    if (!entered || !left) return false;
  }
  return true;
}
static_assert(EveryStateConnected(), "a state no move enters, or one no move leaves");

bool Sensor(const std::string& reply, std::size_t index, char wanted) {
  return SensorReads(reply, index, wanted, kZpSensorCloseIndex);
}

// SetTrays reads the tray characters without the braces; past the reply's end there is nothing.
char CharAt(const std::string& reply, std::size_t index) {
  return index < reply.size() ? reply[index] : '\0';
}

char TrayChar(bool open) {
  return open ? '1' : '0';
}

// The words for trays that did not get where they were sent (SetTrays bits), in either
// direction. The unit's own status codes for trays left open use the closing words too.
const char* TrayMessage(std::uint8_t stuck, bool open) {
  switch (stuck) {
    case kUpperStuck:
      return open ? "An error occurs when the upper tray opens."
                  : "An error occurs when the upper tray closes up.";
    case kLowerStuck:
      return open ? "An error occurs when the lower tray opens."
                  : "An error occurs when the lower drive closes up.";
    default:
      return open ? "An error occurs when the dual trays open."
                  : "An error occurs when the dual trays close up.";
  }
}

// Which of the checked trays is open and still holds its disc after a pick-up; null for none.
const char* DiscLeftOnTrays(const std::string& reply, bool upper, bool lower) {
  const bool upperLeft =
      upper && Sensor(reply, kUpperTraySensor, '1') && Sensor(reply, kUpperDiscSensor, '0');
  const bool lowerLeft =
      lower && Sensor(reply, kLowerTraySensor, '1') && Sensor(reply, kLowerDiscSensor, '0');
  if (upperLeft && lowerLeft) return kDualPickError;
  if (upperLeft) return kUpperPickError;
  if (lowerLeft) return kLowerPickError;
  return nullptr;
}

// The sensor read and recovery at the start are housekeeping, not part of the unit's record.
class UnloggedExchanges {
 public:
  explicit UnloggedExchanges(std::atomic<bool>& logging) : logging_(logging) { logging_ = false; }
  ~UnloggedExchanges() { logging_ = true; }
  UnloggedExchanges(const UnloggedExchanges&) = delete;
  UnloggedExchanges& operator=(const UnloggedExchanges&) = delete;

 private:
  std::atomic<bool>& logging_;
};

}  // namespace

// --- Model and drive mapping -----------------------------------------------------------------

bool TZPThread::BinModel() const {
  return TestedDevice->ProductHas(&models::ModelRow::outputBin);
}

bool TZPThread::PairModel() const {
  return TestedDevice->ProductHas(&models::ModelRow::pairedTrays);
}

bool TZPThread::UpperSeen() const {
  return DrivesSwapped ? !SecondTrayUnseen : !FirstTrayUnseen;
}

bool TZPThread::LowerSeen() const {
  return DrivesSwapped ? !FirstTrayUnseen : !SecondTrayUnseen;
}

// --- The checks ------------------------------------------------------------------------------

void TZPThread::DeviceInformation(int row, ZpState next) {
  StepBegin(row);
  if (!TidyUpTrays() || !Send(StatusQuery)) return;
  const std::string status = Reply();
  const bool motor = status.find("{E1000}") != std::string::npos ||
                     status.find("{E2000}") != std::string::npos ||
                     status.find("{E3000}") != std::string::npos;
  if (motor && !FailFatal(row, kMotorError)) return;
  if (!TrayStatusPasses(row, status)) return;
  if (!ReadDeviceInformation()) return;
  StepPassed(row, nullptr);
  MoveTo(next);
}

bool TZPThread::TidyUpTrays() {
  const UnloggedExchanges unlogged(Run().CommandLogging);
  if (!Send(AtC00)) return false;
  const std::string sensors = Reply();
  // A tray left out from an earlier run would make every tray test below lie.
  if (Sensor(sensors, kUpperTraySensor, '1') || Sensor(sensors, kLowerTraySensor, '1')) {
    const char first = TestedDevice->DriveLetter1.load();
    const char second = TestedDevice->DriveLetter2.load();
    if (first != 0) MoveDriveTray(first, false);
    if (second != 0) MoveDriveTray(second, false);
    if (first != 0 || second != 0) platform::PauseOn(PauseEvent, kTidyPauseMs);
  }
  if (Sensor(sensors, kRecoverySensor, '1')) return Send(AtR99);
  return true;
}

bool TZPThread::TrayStatusPasses(int row, const std::string& status) {
  std::uint8_t open = 0;
  if (status.find("{S0010}") != std::string::npos) open |= kUpperStuck;
  if (status.find("{S0011}") != std::string::npos) open |= kLowerStuck;
  return open == 0 || FailFatal(row, TrayMessage(open, false));
}

void TZPThread::FailAndEnd(int row, const char* message) {
  FailAndAsk(row, message, ui::kMbIconError);
  EndRun(RunEnding::kCancelled);
}

void TZPThread::OutputCheck(int row, ZpState next) {
  StepBegin(row);
  if (!Send(StatusQuery)) return;
  const char* fault = nullptr;
  unsigned flags = kWarningRetryCancel;
  if (!BinModel()) {
    if (ReplyHas("{E0003}")) fault = "The output ramp is not open.";
  } else if (ReplyHas("{E0002}")) {
    fault = "Output bin is full.";
  } else if (ReplyHas("{S0008}")) {
    fault = kOutputDetached;
    flags = kErrorTryContinue;
  }
  if (fault == nullptr) {
    StepPassed(row, nullptr);
    MoveTo(next);
    return;
  }
  const int answer = AskAfterSilentChecks(row, fault, flags);
  if (answer == kCheckedSilently || answer == ui::kIdRetry || answer == ui::kIdTryAgain ||
      answer == ui::kIdCancel) {
    return;
  }
  HeadingLogged = false;  // Continue: the row stays failed, the next step logs its own heading
  MoveTo(next);
}

void TZPThread::DrivesOnline(int row, ZpState next) {
  StepBegin(row);
  const std::int8_t count = TestedDevice->DriveCount.load();
  const char first = TestedDevice->DriveLetter1.load();
  if (count <= 0) {
    const int answer = FailAndAsk(row, "The dual drives are not online.", kErrorRetryCancel);
    if (answer != ui::kIdRetry && answer != ui::kIdCancel) MoveTo(next);
    return;
  }
  if (count == 1) {
    WriteLog("One DVDRW_[%c] ON LINE, the other DVDRW OFF LINE = ERROR", first);
    const int answer = FailAndAsk(row, "One of the dual drives is not online.", kErrorTryContinue);
    if (answer == ui::kIdTryAgain || answer == ui::kIdCancel) return;
    HeadingLogged = false;
    MoveTo(next);
    return;
  }
  WriteLog("First  DVDRW_[%c] ON LINE = OK", first);
  char second[48];
  std::snprintf(second, sizeof second, "Second DVDRW_[%c] ON LINE = OK",
                TestedDevice->DriveLetter2.load());
  StepPassed(row, second);
  MoveTo(next);
}

void TZPThread::EjectRampOut(int row, ZpState next) {
  if (AttemptMove({.row = row, .command = AtF02, .message = kEjectRampError}) !=
      StepResult::kDone) {
    return;
  }
  // The ramp must really go in again next: that step sends its own command, not a status query.
  RetryPending = false;
  MoveTo(next);
}

void TZPThread::OpenTray(char letter, OpenMoves moves) {
  if (letter == 0) {
    MoveTo(moves.noDrive);
    return;
  }
  MoveDriveTray(letter, true);
  RetryCount = 0;
  MoveTo(moves.watch);
}

void TZPThread::StartTraysOpen(int row, OpenMoves moves) {
  StepBegin(row);
  FirstTrayUnseen = true;
  SecondTrayUnseen = true;
  DrivesSwapped = false;
  UpperTrayLoaded = false;
  LowerTrayLoaded = false;
  OpenTray(TestedDevice->DriveLetter1.load(), moves);
}

void TZPThread::NoteDisc(bool upper) {
  if (upper && Sensor(Reply(), kUpperDiscSensor, '0')) UpperTrayLoaded = true;
  if (!upper && Sensor(Reply(), kLowerDiscSensor, '0')) LowerTrayLoaded = true;
}

void TZPThread::WatchFirstTray(ZpState next) {
  if (!Send(AtC00)) return;
  if (Sensor(Reply(), kUpperTraySensor, '1')) {
    NoteDisc(true);
  } else if (Sensor(Reply(), kLowerTraySensor, '1')) {
    NoteDisc(false);
    DrivesSwapped = true;  // the first drive letter is the lower drive
  } else {
    if (++RetryCount >= kTrayOpenPolls) MoveTo(next);  // the tray stays unseen
    return;
  }
  FirstTrayUnseen = false;
  MoveTo(next);
}

void TZPThread::WatchSecondTray(ZpState next) {
  if (!Send(AtC00)) return;
  const bool upperOpen = Sensor(Reply(), kUpperTraySensor, '1');
  const bool lowerOpen = Sensor(Reply(), kLowerTraySensor, '1');
  bool seen = false;
  if (!FirstTrayUnseen) {
    // The first drive is placed and its tray stays open: the second can only be the other one.
    const bool upper = DrivesSwapped;
    seen = upper ? upperOpen : lowerOpen;
    if (seen) NoteDisc(upper);
  } else if (upperOpen || lowerOpen) {
    seen = true;
    NoteDisc(upperOpen);
    if (upperOpen) DrivesSwapped = true;
  }
  if (seen) {
    SecondTrayUnseen = false;
    MoveTo(next);
  } else if (++RetryCount >= kTrayOpenPolls) {
    MoveTo(next);
  }
}

void TZPThread::EvaluateTrays(int row, const TraysMoves& moves) {
  const std::int8_t count = TestedDevice->DriveCount.load();
  const bool upper = UpperSeen();
  const bool lower = LowerSeen();
  if (count <= 0) return FailAndEnd(row, "The dual drives are not existing.");
  if (count > 2) return FailAndEnd(row, kTooManyDrives);
  if (upper && lower) {
    // Two trays opened for one drive online: the unit and the drive list disagree.
    if (count == 1) return FailAndEnd(row, kOneDriveTwoTrays);
    return BothTraysSeen(row, moves);
  }
  if (!upper && !lower) {
    return FailAndEnd(row, count == 1
                               ? "An error occurs when one tray opens. The other tray is not "
                                 "existing."
                               : "An error occurs when trays open.");
  }
  if (lower) {
    return MissingDrive(row,
                        count == 1 ? "The upper drive is not existing."
                                   : "An error occurs when the upper tray opens.",
                        moves.lowerAlone);
  }
  MissingDrive(row,
               count == 1 ? "The lower drive is not existing."
                          : "An error occurs when the lower tray opens.",
               moves.upperAlone);
}

void TZPThread::MissingDrive(int row, const char* message, ZpState next) {
  if (!PairModel()) return FailAndEnd(row, message);
  // A pair model can still be tested on the drive that opened.
  if (FailAndAsk(row, message, ui::kMbIconError | ui::kMbOkCancel) == ui::kIdCancel) {
    return;
  }
  HeadingLogged = false;
  MoveTo(next);
}

void TZPThread::BothTraysSeen(int row, const TraysMoves& moves) {
  if (!PairModel()) {
    const char* occupied = nullptr;
    if (UpperTrayLoaded && LowerTrayLoaded) {
      occupied = "An error occurs when the trays already have discs.";
    } else if (LowerTrayLoaded) {
      occupied = kLowerOccupied;
    }
    if (occupied != nullptr) {
      // The discs already there are picked up and unloaded instead of loading new ones.
      FailAndAsk(row, occupied, ui::kMbIconError);
      HeadingLogged = false;
      MoveTo(moves.discsOnTrays);
      return;
    }
    // A disc on the upper tray alone is left to the upper tray's loading step to report.
    UpperTrayLoaded = false;
  }
  StepPassed(row, nullptr);
  MoveTo(moves.bothSeen);
}

// --- Tray moves, picking, unloading, motor recovery ------------------------------------------

std::uint8_t TZPThread::SetTrays(bool upperOpen, bool lowerOpen) {
  const bool firstCounts = !FirstTrayUnseen;
  const bool secondCounts = !SecondTrayUnseen;
  // DriveLetter1 is the upper drive unless the trays-open check found it below.
  if (firstCounts) {
    MoveDriveTray(TestedDevice->DriveLetter1.load(), DrivesSwapped ? lowerOpen : upperOpen);
  }
  if (secondCounts) {
    MoveDriveTray(TestedDevice->DriveLetter2.load(), DrivesSwapped ? upperOpen : lowerOpen);
  }
  if (!firstCounts && !secondCounts) return 0;
  const bool upperCounts = UpperSeen();
  const bool lowerCounts = LowerSeen();
  for (int poll = 0; poll < kSetTraysPolls; ++poll) {
    platform::PauseOn(PauseEvent, kTrayPollMs);
    if (Terminated() || !Send(AtC00)) {
      EndRun(RunEnding::kLinkLost);
      return 0;
    }
    const bool upperThere =
        !upperCounts || CharAt(Reply(), kUpperTraySensor) == TrayChar(upperOpen);
    const bool lowerThere =
        !lowerCounts || CharAt(Reply(), kLowerTraySensor) == TrayChar(lowerOpen);
    if (upperThere && lowerThere) return 0;
  }
  // Only a sensor that shows the opposite state counts as stuck; anything else is no evidence.
  std::uint8_t stuck = 0;
  if (upperCounts && CharAt(Reply(), kUpperTraySensor) == TrayChar(!upperOpen)) {
    stuck |= kUpperStuck;
  }
  if (lowerCounts && CharAt(Reply(), kLowerTraySensor) == TrayChar(!lowerOpen)) {
    stuck |= kLowerStuck;
  }
  return stuck;
}

bool TZPThread::FailIfDriveLost(int row, ZpState next) {
  // A drive the trays-open check counted that the entry no longer has left during the run. The
  // sensors read the unit's side of the trays, not the drives, so they cannot tell.
  const bool firstLost = !FirstTrayUnseen && TestedDevice->DriveLetter1.load() == 0;
  const bool secondLost = !SecondTrayUnseen && TestedDevice->DriveLetter2.load() == 0;
  if (!firstLost && !secondLost) return false;
  const char* message = TestedDevice->DriveCount.load() <= 0
                            ? "The dual drives are not online."
                            : "One of the dual drives is not online.";
  const int answer = FailAndAsk(row, message, kErrorRetryCancel);
  if (answer != ui::kIdRetry && answer != ui::kIdCancel) {
    HeadingLogged = false;
    MoveTo(next);
  }
  return true;
}

void TZPThread::RunTrayStep(const TrayStep& step, ZpState next) {
  StepBegin(step.row);
  const std::uint8_t stuck = SetTrays(step.upperOpen, step.lowerOpen);
  if (!RunActive) return;  // the link went while waiting: no mark
  if (FailIfDriveLost(step.row, next)) return;
  if ((step.handled >> stuck) & 1u) {
    // Both trays stuck are named by the lower tray's direction, the one the step is about.
    const bool open = stuck == kUpperStuck ? step.upperOpen : step.lowerOpen;
    const int answer = FailAndAsk(step.row, TrayMessage(stuck, open), kErrorRetryCancel);
    if (answer == ui::kIdRetry || answer == ui::kIdCancel) return;
  }
  StepPassed(step.row, nullptr);
  MoveTo(next);
}

bool TZPThread::PickFailed(int row, const char* message, PickMoves moves) {
  switch (FailAndAsk(row, message, kErrorRetryCancel)) {
    case ui::kIdRetry:
      // The recovery hands back to this pick-up, with its row.
      ResumeState = moves.resume;
      ResumeRow = row;
      MoveTo(moves.recovery);
      return false;
    case ui::kIdCancel:
      return false;
    default:
      return true;
  }
}

void TZPThread::CheckedPickStep(const PickUp& pick, PickMoves moves) {
  const MoveStep motion{.row = pick.row, .command = pick.command, .message = kMotorPickError};
  if (AttemptMove(motion) != StepResult::kDone) return;
  // The arm moved; the trays tell whether it took the discs.
  if (!Send(AtC00)) return;
  const char* left = DiscLeftOnTrays(Reply(), pick.upper, pick.lower);
  if (left != nullptr && !PickFailed(pick.row, left, moves)) return;
  StepPassed(pick.row, nullptr);
  MoveTo(moves.next);
}

void TZPThread::ReportedPickStep(const PickUp& pick, PickMoves moves) {
  const MoveStep motion{.row = pick.row, .command = pick.command, .message = kMotorPickError};
  if (!SendMoveCommand(motion)) return;
  if (ReplyHas("AT+O")) {
    // picked
  } else if (ReplyHas("AT+S01")) {
    const char* message = NothingPickedMessage(pick);
    if (message == nullptr || !PickFailed(pick.row, message, moves)) return;
  } else if (ReplyHas("AT+E") || ++RetryCount >= kUnexpectedPickReplies) {
    // An error, or a unit that keeps answering neither done nor refused: the operator decides.
    if (FailMoveStep(motion) != StepResult::kDone) return;
  } else {
    return;  // neither done nor refused: the command goes again next cycle, without a mark
  }
  StepPassed(pick.row, nullptr);
  MoveTo(moves.next);
}

const char* TZPThread::NothingPickedMessage(const PickUp& pick) {
  if (!pick.upper) return kLowerPickError;
  // Both trays were open: the sensors tell which still holds its disc.
  if (!Send(AtC00)) return nullptr;
  const char* left = DiscLeftOnTrays(Reply(), true, true);
  return left != nullptr ? left : kPickUnexplained;
}

void TZPThread::UnloadStep(int row, const char* message) {
  const MoveStep unload{.row = row, .command = AtR02, .message = message};
  if (!SendMoveCommand(unload)) return;
  if (ReplyHas("AT+S08")) {
    WriteLogText(kLogSeparator);
    StepWarned(row, kOutputDetached);
  } else if (ReplyHas("AT+O")) {
    StepPassed(row, nullptr);
  } else if (FailMoveStep(unload) == StepResult::kStay) {
    return;
  }
  EndRun(RunEnding::kCompleted);  // the last step: the run ends whatever its outcome, unless the
                                  // operator retries
}

void TZPThread::MotorRecovery(int row) {
  const MoveStep recovery{.row = row, .command = AtR99, .message = kMotorPickError, .begin = false};
  if (AttemptMove(recovery) != StepResult::kDone) return;
  RetryPending = false;
  MoveTo(ResumeState);  // runs later in this same cycle, its heading already logged
}

void TZPThread::PickLowerStep(int row, PickMoves moves) {
  if (UpperTrayLoaded) {
    // Discs were found on both trays: one motion picks both, and both trays are checked.
    return CheckedPickStep({.row = row, .command = AtG99, .upper = true, .lower = true}, moves);
  }
  ReportedPickStep({.row = row, .command = AtG04, .lower = true}, moves);
}

// --- State map -------------------------------------------------------------------------------

void TZPThread::RunHandler(int state) {
  if (StepState != state) return;
  const MoveAudit audit("ZP", kZpTransitions, Run());
  const auto from = static_cast<ZpState>(state);
  const int row = RowOf(kZpRows, state);
  StateMap(from, row == kResumedRow ? ResumeRow : row);
  const int after = StepState;
  if (after != state) Moved(from, static_cast<ZpState>(after));
}

namespace {
using S = ZpState;
// A successor the map names, as the handlers take it; an unlisted one fails the build.
consteval ZpState Next(S from, S to) {
  return static_cast<ZpState>(ListedMove(zp::kZpTransitions, from, to));
}
consteval int NextNumber(S from, S to) {
  return ListedMove(zp::kZpTransitions, from, to);
}
}  // namespace

// Each state's handler with the row it reports on (kZpRows) and its successors, each a move
// kZpTransitions lists (with the cycle it runs in), or the map does not build.
// NOLINTNEXTLINE(readability-function-size): the state map, one case per state of the table
void TZPThread::StateMap(ZpState state, int row) {
  switch (state) {
    case S::kDeviceInformation:
      return DeviceInformation(row, Next(S::kDeviceInformation, S::kOutputBin));
    case S::kOutputBin:
      return OutputCheck(row, Next(S::kOutputBin, S::kDrivesOnline));
    case S::kDrivesOnline:
      return DrivesOnline(row, Next(S::kDrivesOnline, S::kEjectRampOut));
    case S::kEjectRampOut:
      return EjectRampOut(row, Next(S::kEjectRampOut, S::kEjectRampIn));
    case S::kEjectRampIn:
      return MoveStepTo({.row = row, .command = AtF00, .message = kEjectRampError, .begin = false},
                        NextNumber(S::kEjectRampIn, S::kInputBin));
    case S::kInputBin:
      return AwaitOperatorStep(
          {.row = row, .index = kInputBinSensor, .closeIndex = kZpSensorCloseIndex},
          kSupplyDiscsMessage, NextNumber(S::kInputBin, S::kOpenFirstTray));
    case S::kOpenFirstTray:
      return StartTraysOpen(row, {.watch = Next(S::kOpenFirstTray, S::kWatchFirstTray),
                                  .noDrive = Next(S::kOpenFirstTray, S::kOpenSecondTray)});
    case S::kWatchFirstTray:
      return WatchFirstTray(Next(S::kWatchFirstTray, S::kOpenSecondTray));
    case S::kOpenSecondTray:
      return OpenTray(TestedDevice->DriveLetter2.load(),
                      {.watch = Next(S::kOpenSecondTray, S::kWatchSecondTray),
                       .noDrive = Next(S::kOpenSecondTray, S::kEvaluateTrays)});
    case S::kWatchSecondTray:
      return WatchSecondTray(Next(S::kWatchSecondTray, S::kEvaluateTrays));
    case S::kEvaluateTrays:
      return EvaluateTrays(row, {.bothSeen = Next(S::kEvaluateTrays, S::kLoadUpper),
                                 .discsOnTrays = Next(S::kEvaluateTrays, S::kCloseLower),
                                 .upperAlone = Next(S::kEvaluateTrays, S::kLoadUpper),
                                 .lowerAlone = Next(S::kEvaluateTrays, S::kPairLoadLower)});
    case S::kLoadUpper:
      return LoadOntoTrayStep(row, 1, kUpperOccupied, NextNumber(S::kLoadUpper, S::kCloseUpper));
    case S::kCloseUpper:
      // A pair model without a usable lower drive has nothing to load below: on to opening.
      return RunTrayStep({.row = row, .lowerOpen = true, .handled = kUpperFails},
                         !PairModel()  ? Next(S::kCloseUpper, S::kOpenUpper)
                         : LowerSeen() ? Next(S::kCloseUpper, S::kPairLoadLower)
                                       : Next(S::kCloseUpper, S::kPairOpenTrays));
    // ZP65 and ZP75.
    case S::kOpenUpper:
      return RunTrayStep({.row = row, .upperOpen = true, .lowerOpen = true, .handled = kUpperFails},
                         Next(S::kOpenUpper, S::kPickUpper));
    case S::kPickUpper:
      return CheckedPickStep({.row = row, .command = AtG99, .upper = true},
                             {.next = Next(S::kPickUpper, S::kCloseUpperAfterPick),
                              .recovery = Next(S::kPickUpper, S::kMotorRecovery),
                              .resume = Next(S::kMotorRecovery, S::kPickUpper)});
    case S::kCloseUpperAfterPick:
      return RunTrayStep({.row = row, .lowerOpen = true, .handled = kUpperFails},
                         Next(S::kCloseUpperAfterPick, S::kFlipToLower));
    case S::kFlipToLower:
      return MoveStepTo({.row = row, .command = AtR04, .message = kFlipError},
                        NextNumber(S::kFlipToLower, S::kCloseLower));
    case S::kCloseLower:
      return RunTrayStep({.row = row, .handled = kAnyFails}, Next(S::kCloseLower, S::kOpenLower));
    case S::kOpenLower:
      return RunTrayStep(
          {.row = row, .upperOpen = UpperTrayLoaded, .lowerOpen = true, .handled = kAnyFails},
          Next(S::kOpenLower, S::kPickLower));
    case S::kPickLower:
      return PickLowerStep(row, {.next = Next(S::kPickLower, S::kCloseLowerAfterPick),
                                 .recovery = Next(S::kPickLower, S::kMotorRecovery),
                                 .resume = Next(S::kMotorRecovery, S::kPickLower)});
    case S::kCloseLowerAfterPick:
      return RunTrayStep({.row = row, .handled = kAnyFails},
                         Next(S::kCloseLowerAfterPick, S::kUnloadLower));
    case S::kUnloadLower:
      return UnloadStep(row, kUnloadLowerError);  // the run ends
    // ZP61 and ZP71.
    case S::kPairLoadLower:
      return LoadOntoTrayStep(row, 1, kLowerOccupied,
                              NextNumber(S::kPairLoadLower, S::kPairCloseLower));
    case S::kPairCloseLower:
      return RunTrayStep({.row = row, .handled = kLowerFails},
                         Next(S::kPairCloseLower, S::kPairOpenTrays));
    case S::kPairOpenTrays:
      return RunTrayStep({.row = row, .upperOpen = true, .lowerOpen = true, .handled = kAnyFails},
                         Next(S::kPairOpenTrays, S::kPairPick));
    case S::kPairPick:
      return ReportedPickStep({.row = row, .command = AtG01, .upper = true, .lower = true},
                              {.next = Next(S::kPairPick, S::kPairCloseTrays),
                               .recovery = Next(S::kPairPick, S::kMotorRecovery),
                               .resume = Next(S::kMotorRecovery, S::kPairPick)});
    case S::kPairCloseTrays:
      return RunTrayStep({.row = row, .handled = kAnyFails},
                         Next(S::kPairCloseTrays, S::kPairUnload));
    case S::kPairUnload:
      return UnloadStep(row, kUnloadDualError);  // the run ends
    case S::kMotorRecovery:
      return MotorRecovery(row);  // back to ResumeState, on ResumeRow: the pick-up named it
  }
}
