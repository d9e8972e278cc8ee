// The ZP family test sequence: the checks (states 0 to 10), then loading, picking and unloading
// (states 11 to 27) with the motor recovery (state 28).
#include "sequences/Zpthread.h"

#include <cstdio>
#include <string>

#include "console/RunState.h"
#include "console/StepList.h"
#include "console/TestLog.h"
#include "device/Device.h"
#include "device/Drives.h"
#include "platform/Platform.h"
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

constexpr int kTraysOpenRow = 5;

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
  UnloggedExchanges() { CommandLogging = false; }
  ~UnloggedExchanges() { CommandLogging = true; }
  UnloggedExchanges(const UnloggedExchanges&) = delete;
  UnloggedExchanges& operator=(const UnloggedExchanges&) = delete;
};

}  // namespace

// --- Model and drive mapping -----------------------------------------------------------------

bool TZPThread::BinModel() const {
  return TestedDevice->VidPidContains("PID_0903") || TestedDevice->VidPidContains("PID_0907");
}

bool TZPThread::PairModel() const {
  return TestedDevice->VidPidContains("PID_0903") || TestedDevice->VidPidContains("PID_0910");
}

bool TZPThread::UpperSeen() const {
  return DrivesSwapped ? !SecondTrayUnseen : !FirstTrayUnseen;
}

bool TZPThread::LowerSeen() const {
  return DrivesSwapped ? !FirstTrayUnseen : !SecondTrayUnseen;
}

// --- States 0 to 10 --------------------------------------------------------------------------

void TZPThread::DeviceInformation() {
  StepBegin(0);
  if (!TidyUpTrays() || !Send(StatusQuery)) return;
  const std::string status = LastReply;
  const bool motor = status.find("{E1000}") != std::string::npos ||
                     status.find("{E2000}") != std::string::npos ||
                     status.find("{E3000}") != std::string::npos;
  if (motor && !FailFatal(0, kMotorError)) return;
  if (!TrayStatusPasses(status)) return;
  if (!ReadDeviceInformation()) return;
  StepPassed(0, nullptr);
  StepState = 1;
}

bool TZPThread::TidyUpTrays() {
  UnloggedExchanges unlogged;
  if (!Send(AtC00)) return false;
  const std::string sensors = LastReply;
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

bool TZPThread::TrayStatusPasses(const std::string& status) {
  std::uint8_t open = 0;
  if (status.find("{S0010}") != std::string::npos) open |= kUpperStuck;
  if (status.find("{S0011}") != std::string::npos) open |= kLowerStuck;
  return open == 0 || FailFatal(0, TrayMessage(open, false));
}

void TZPThread::FailAndEnd(int row, const char* message) {
  FailAndAsk(row, message, ui::kMbIconError);
  EndRun(RunEnding::kCancelled);
}

void TZPThread::OutputCheck() {
  StepBegin(1);
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
    StepPassed(1, nullptr);
    StepState = 2;
    return;
  }
  const int answer = AskAfterSilentChecks(1, fault, flags);
  if (answer == kCheckedSilently || answer == ui::kIdRetry || answer == ui::kIdTryAgain ||
      answer == ui::kIdCancel) {
    return;
  }
  HeadingLogged = false;  // Continue: the row stays failed, the next step logs its own heading
  StepState = 2;
}

void TZPThread::DrivesOnline() {
  StepBegin(2);
  const int count = TestedDevice->DriveCount.load();
  const char first = TestedDevice->DriveLetter1.load();
  if (count <= 0) {
    const int answer = FailAndAsk(2, "The dual drives are not online.", kErrorRetryCancel);
    if (answer != ui::kIdRetry && answer != ui::kIdCancel) StepState = 3;
    return;
  }
  if (count == 1) {
    WriteLog("One DVDRW_[%c] ON LINE, the other DVDRW OFF LINE = ERROR", first);
    const int answer = FailAndAsk(2, "One of the dual drives is not online.", kErrorTryContinue);
    if (answer == ui::kIdTryAgain || answer == ui::kIdCancel) return;
    HeadingLogged = false;
    StepState = 3;
    return;
  }
  WriteLog("First  DVDRW_[%c] ON LINE = OK", first);
  char second[48];
  std::snprintf(second, sizeof second, "Second DVDRW_[%c] ON LINE = OK",
                TestedDevice->DriveLetter2.load());
  StepPassed(2, second);
  StepState = 3;
}

void TZPThread::EjectRampOut() {
  if (AttemptMove({.row = 3, .command = AtF02, .message = kEjectRampError}) != StepResult::kDone) {
    return;
  }
  // The ramp must really go in again next: that step sends its own command, not a status query.
  RetryPending = false;
  StepState = 4;
}

void TZPThread::OpenTray(char letter, int watchState, int skipState) {
  if (letter == 0) {
    StepState = skipState;
    return;
  }
  MoveDriveTray(letter, true);
  RetryCount = 0;
  StepState = watchState;
}

void TZPThread::StartTraysOpen() {
  StepBegin(kTraysOpenRow);
  FirstTrayUnseen = true;
  SecondTrayUnseen = true;
  DrivesSwapped = false;
  UpperTrayLoaded = false;
  LowerTrayLoaded = false;
  OpenTray(TestedDevice->DriveLetter1.load(), 7, 8);
}

void TZPThread::NoteDisc(bool upper) {
  if (upper && Sensor(LastReply, kUpperDiscSensor, '0')) UpperTrayLoaded = true;
  if (!upper && Sensor(LastReply, kLowerDiscSensor, '0')) LowerTrayLoaded = true;
}

void TZPThread::WatchFirstTray() {
  if (!Send(AtC00)) return;
  if (Sensor(LastReply, kUpperTraySensor, '1')) {
    NoteDisc(true);
  } else if (Sensor(LastReply, kLowerTraySensor, '1')) {
    NoteDisc(false);
    DrivesSwapped = true;  // the first drive letter is the lower drive
  } else {
    if (++RetryCount >= kTrayOpenPolls) StepState = 8;  // the tray stays unseen
    return;
  }
  FirstTrayUnseen = false;
  StepState = 8;
}

void TZPThread::WatchSecondTray() {
  if (!Send(AtC00)) return;
  const bool upperOpen = Sensor(LastReply, kUpperTraySensor, '1');
  const bool lowerOpen = Sensor(LastReply, kLowerTraySensor, '1');
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
    StepState = 10;
  } else if (++RetryCount >= kTrayOpenPolls) {
    StepState = 10;
  }
}

void TZPThread::EvaluateTrays() {
  const int count = TestedDevice->DriveCount.load();
  const bool upper = UpperSeen();
  const bool lower = LowerSeen();
  if (count <= 0) return FailAndEnd(kTraysOpenRow, "The dual drives are not existing.");
  if (count > 2) return FailAndEnd(kTraysOpenRow, kTooManyDrives);
  if (upper && lower) {
    // Two trays opened for one drive online: the unit and the drive list disagree.
    if (count == 1) return FailAndEnd(kTraysOpenRow, kOneDriveTwoTrays);
    return BothTraysSeen();
  }
  if (!upper && !lower) {
    return FailAndEnd(kTraysOpenRow,
                      count == 1 ? "An error occurs when one tray opens. The other tray is not "
                                   "existing."
                                 : "An error occurs when trays open.");
  }
  if (lower) {
    return MissingDrive(count == 1 ? "The upper drive is not existing."
                                   : "An error occurs when the upper tray opens.",
                        22);
  }
  MissingDrive(count == 1 ? "The lower drive is not existing."
                          : "An error occurs when the lower tray opens.",
               11);
}

void TZPThread::MissingDrive(const char* message, int pairState) {
  if (!PairModel()) return FailAndEnd(kTraysOpenRow, message);
  // A pair model can still be tested on the drive that opened.
  if (FailAndAsk(kTraysOpenRow, message, ui::kMbIconError | ui::kMbOkCancel) == ui::kIdCancel) {
    return;
  }
  HeadingLogged = false;
  StepState = pairState;
}

void TZPThread::BothTraysSeen() {
  if (!PairModel()) {
    const char* occupied = nullptr;
    if (UpperTrayLoaded && LowerTrayLoaded) {
      occupied = "An error occurs when the trays already have discs.";
    } else if (LowerTrayLoaded) {
      occupied = kLowerOccupied;
    }
    if (occupied != nullptr) {
      // The discs already there are picked up and unloaded instead of loading new ones.
      FailAndAsk(kTraysOpenRow, occupied, ui::kMbIconError);
      HeadingLogged = false;
      StepState = 17;
      return;
    }
    // A disc on the upper tray alone is left to the upper tray's loading step to report.
    UpperTrayLoaded = false;
  }
  StepPassed(kTraysOpenRow, nullptr);
  StepState = 11;
}

// --- States 11 to 28 -------------------------------------------------------------------------

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
        !upperCounts || CharAt(LastReply, kUpperTraySensor) == TrayChar(upperOpen);
    const bool lowerThere =
        !lowerCounts || CharAt(LastReply, kLowerTraySensor) == TrayChar(lowerOpen);
    if (upperThere && lowerThere) return 0;
  }
  // Only a sensor that shows the opposite state counts as stuck; anything else is no evidence.
  std::uint8_t stuck = 0;
  if (upperCounts && CharAt(LastReply, kUpperTraySensor) == TrayChar(!upperOpen)) {
    stuck |= kUpperStuck;
  }
  if (lowerCounts && CharAt(LastReply, kLowerTraySensor) == TrayChar(!lowerOpen)) {
    stuck |= kLowerStuck;
  }
  return stuck;
}

void TZPThread::RunTrayStep(const TrayStep& step, int nextState) {
  StepBegin(step.row);
  const std::uint8_t stuck = SetTrays(step.upperOpen, step.lowerOpen);
  if (!RunActive) return;  // the link went while waiting: no mark
  if ((step.handled >> stuck) & 1u) {
    // Both trays stuck are named by the lower tray's direction, the one the step is about.
    const bool open = stuck == kUpperStuck ? step.upperOpen : step.lowerOpen;
    const int answer = FailAndAsk(step.row, TrayMessage(stuck, open), kErrorRetryCancel);
    if (answer == ui::kIdRetry || answer == ui::kIdCancel) return;
  }
  StepPassed(step.row, nullptr);
  StepState = nextState;
}

int TZPThread::AfterUpperClose() const {
  if (!PairModel()) return 13;
  // Without a usable lower drive there is nothing to load below: straight on to opening.
  return LowerSeen() ? 22 : 24;
}

bool TZPThread::PickFailed(int row, int state, const char* message) {
  switch (FailAndAsk(row, message, kErrorRetryCancel)) {
    case ui::kIdRetry:
      // The recovery runs first in the next cycle and hands back to this step in that cycle.
      ResumeState = state;
      ResumeRow = row;
      StepState = kMotorRecoveryState;
      return false;
    case ui::kIdCancel:
      return false;
    default:
      return true;
  }
}

void TZPThread::CheckedPickStep(const PickUp& pick, int nextState) {
  const MoveStep motion{.row = pick.row, .command = pick.command, .message = kMotorPickError};
  if (AttemptMove(motion) != StepResult::kDone) return;
  // The arm moved; the trays tell whether it took the discs.
  if (!Send(AtC00)) return;
  const char* left = DiscLeftOnTrays(LastReply, pick.upper, pick.lower);
  if (left != nullptr && !PickFailed(pick.row, pick.state, left)) return;
  StepPassed(pick.row, nullptr);
  StepState = nextState;
}

void TZPThread::ReportedPickStep(const PickUp& pick, int nextState) {
  const MoveStep motion{.row = pick.row, .command = pick.command, .message = kMotorPickError};
  if (!SendMoveCommand(motion)) return;
  if (ReplyHas("AT+O")) {
    // picked
  } else if (ReplyHas("AT+S01")) {
    const char* message = NothingPickedMessage(pick);
    if (message == nullptr || !PickFailed(pick.row, pick.state, message)) return;
  } else if (ReplyHas("AT+E") || ++RetryCount >= kUnexpectedPickReplies) {
    // An error, or a unit that keeps answering neither done nor refused: the operator decides.
    if (FailMoveStep(motion) != StepResult::kDone) return;
  } else {
    return;  // neither done nor refused: the command goes again next cycle, without a mark
  }
  StepPassed(pick.row, nullptr);
  StepState = nextState;
}

const char* TZPThread::NothingPickedMessage(const PickUp& pick) {
  if (!pick.upper) return kLowerPickError;
  // Both trays were open: the sensors tell which still holds its disc.
  if (!Send(AtC00)) return nullptr;
  const char* left = DiscLeftOnTrays(LastReply, true, true);
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

void TZPThread::MotorRecovery() {
  const MoveStep recovery{
      .row = ResumeRow, .command = AtR99, .message = kMotorPickError, .begin = false};
  if (AttemptMove(recovery) != StepResult::kDone) return;
  RetryPending = false;
  StepState = ResumeState;  // runs later in this same cycle, its heading already logged
}

// --- State map -------------------------------------------------------------------------------

void TZPThread::RunHandler(int state) {
  if (StepState != state) return;
  switch (state) {
    case 0:
      return DeviceInformation();
    case 1:
      return OutputCheck();
    case 2:
      return DrivesOnline();
    case 3:
      return EjectRampOut();
    case 4:
      return MoveStepTo({.row = 3, .command = AtF00, .message = kEjectRampError, .begin = false},
                        5);
    case 5:
      return AwaitOperatorStep(
          {.row = 4, .index = kInputBinSensor, .closeIndex = kZpSensorCloseIndex},
          kSupplyDiscsMessage, 6);
    case 6:
      return StartTraysOpen();
    case 7:
      return WatchFirstTray();
    case 8:
      return OpenTray(TestedDevice->DriveLetter2.load(), 9, 10);
    case 9:
      return WatchSecondTray();
    case 10:
      return EvaluateTrays();
    case 11:
      return LoadOntoTrayStep(6, 1, kUpperOccupied, 12);
    case 12:
      return RunTrayStep({.row = 7, .lowerOpen = true, .handled = kUpperFails}, AfterUpperClose());
    case 13:
      return RunTrayStep({.row = 8, .upperOpen = true, .lowerOpen = true, .handled = kUpperFails},
                         14);
    case 14:
      return CheckedPickStep({.row = 9, .state = 14, .command = AtG99, .upper = true}, 15);
    case 15:
      return RunTrayStep({.row = 10, .lowerOpen = true, .handled = kUpperFails}, 16);
    case 16:
      return MoveStepTo({.row = 11, .command = AtR04, .message = kFlipError}, 17);
    case 17:
      return RunTrayStep({.row = 12, .handled = kAnyFails}, 18);
    case 18:
      return RunTrayStep(
          {.row = 13, .upperOpen = UpperTrayLoaded, .lowerOpen = true, .handled = kAnyFails}, 19);
    case 19:
      return PickLowerStep();
    case 20:
      return RunTrayStep({.row = 15, .handled = kAnyFails}, 21);
    case 21:
      return UnloadStep(16, kUnloadLowerError);
    case 22:
      return LoadOntoTrayStep(8, 1, kLowerOccupied, 23);
    case 23:
      return RunTrayStep({.row = 9, .handled = kLowerFails}, 24);
    case 24:
      return RunTrayStep({.row = 10, .upperOpen = true, .lowerOpen = true, .handled = kAnyFails},
                         25);
    case 25:
      return ReportedPickStep(
          {.row = 11, .state = 25, .command = AtG01, .upper = true, .lower = true}, 26);
    case 26:
      return RunTrayStep({.row = 12, .handled = kAnyFails}, 27);
    case 27:
      return UnloadStep(13, kUnloadDualError);
    case kMotorRecoveryState:
      return MotorRecovery();
    default:
      return;
  }
}

void TZPThread::PickLowerStep() {
  if (UpperTrayLoaded) {
    // Discs were found on both trays: one motion picks both, and both trays are checked.
    return CheckedPickStep({.row = 14, .state = 19, .command = AtG99, .upper = true, .lower = true},
                           20);
  }
  ReportedPickStep({.row = 14, .state = 19, .command = AtG04, .lower = true}, 20);
}
