// The HV22 test sequence.
#include "sequences/Hvthread.h"

#include "device/Device.h"
#include "device/Drives.h"
#include "platform/Platform.h"
#include "report/RunState.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "ui/Toolkit.h"

using namespace hv22;

namespace {
constexpr unsigned kErrorRetryCancel = ui::kMbIconError | ui::kMbRetryCancel;
}  // namespace

bool THVThread::MoveTrayAndConfirm(bool open) {
  const char letter = DriveLetter();
  if (letter == 0) return false;
  MoveDriveTray(letter, open);  // the sensor tells whether it moved
  for (int poll = 0; poll < kTrayConfirmPolls; ++poll) {
    platform::PauseOn(PauseEvent, kTrayConfirmPauseMs);
    if (!Send(AtC00) || Terminated()) {
      EndRun(RunEnding::kLinkLost);
      return false;
    }
    if (SensorReads(Reply(), drivetray::kTraySensor, open ? '1' : '0')) return true;
  }
  return false;
}

bool THVThread::TrayMoved(bool open) {
  // The sensor reads the unit's side of the tray, not the drive: a drive that left while its
  // tray moved has not done the step either.
  return MoveTrayAndConfirm(open) && DriveLetter() != 0;
}

void THVThread::DeviceInformation(int row, int nextState) {
  StepBegin(row);
  if (TestedDevice->Usb3Connection.load() != 0) WriteLogText(kUsb3Line);
  if (!CloseDriveTrayIfOut(1) || !CheckDeviceStatus(kMotorError, row) || !ReadDeviceInformation()) {
    return;
  }
  StepPassed(row, nullptr);
  StepState = nextState;
}

void THVThread::TrayStep(int row, bool open, const char* message, int nextState) {
  StepBegin(row);
  if (!TrayMoved(open)) {
    const int answer = FailAndAsk(row, message, kErrorRetryCancel);
    if (answer == ui::kIdRetry || answer == ui::kIdCancel) return;
  }
  StepPassed(row, nullptr);
  StepState = nextState;
}

void THVThread::PickUpStep(int row, int picked, int recovery) {
  const MoveStep pick{.row = row, .command = AtG01, .message = kPickError};
  if (!SendMoveCommand(pick)) return;
  if (MoveReplyPasses(pick)) {
    StepPassed(row, nullptr);
    StepState = picked;
    return;
  }
  if (ReplyHas("AT+S12")) {
    // The arm is blocked: Retry runs the recovery before picking again.
    if (FailAndAsk(row, kPickBlockedError, kErrorRetryCancel) == ui::kIdRetry) {
      StepState = recovery;
    }
    return;
  }
  FailMoveStep(pick);  // every answer but Cancel picks again next cycle
}

bool THVThread::RecoveryTrayStep(int row, bool open, const char* message, int nextState) {
  if (!TrayMoved(open)) {
    const int answer = FailAndAsk(row, message, kErrorRetryCancel);
    if (answer == ui::kIdRetry || answer == ui::kIdCancel) return false;
  }
  StepState = nextState;
  return true;
}

void THVThread::MotorRecoveryStep(int row, int nextState) {
  const MoveStep motor{.row = row, .command = AtR99, .message = kMotorError, .begin = false};
  if (AttemptMove(motor) == StepResult::kDone) StepState = nextState;
}

void THVThread::UnloadStep(int row) {
  if (AttemptMove({.row = row, .command = AtR02, .message = kUnloadError}) != StepResult::kDone) {
    return;
  }
  StepPassed(row, nullptr);
  EndRun(RunEnding::kCompleted);
}

namespace {
using S = Hv22State;
// A successor the map names, as the steps take it; an unlisted one fails the build.
consteval int Next(S from, S to) {
  return ListedMove(kHv22Moves, from, to);
}
}  // namespace

void THVThread::RunHandler(int state) {
  if (StepState != state) return;
  const MoveAudit audit("HV22", kHv22Moves, Run());
  const int row = RowOf(kHv22Rows, state);
  switch (static_cast<S>(state)) {
    case S::kDeviceInformation:
      return DeviceInformation(row, Next(S::kDeviceInformation, S::kDriveOnline));
    case S::kDriveOnline:
      return DriveOnlineStep({.row = row}, Next(S::kDriveOnline, S::kInputBin));
    case S::kInputBin:
      return AwaitOperatorStep({.row = row, .index = kInputBinSensor}, kSupplyDiscsMessage,
                               Next(S::kInputBin, S::kOpenToLoad));
    case S::kOpenToLoad:
      return TrayStep(row, true, kTrayOpenError, Next(S::kOpenToLoad, S::kLoadOntoTray));
    case S::kLoadOntoTray:
      return LoadOntoTrayStep(row, 1, drivetray::kOccupiedTrayError,
                              Next(S::kLoadOntoTray, S::kCloseLoaded));
    case S::kCloseLoaded:
      return TrayStep(row, false, kTrayCloseError, Next(S::kCloseLoaded, S::kOpenToPick));
    case S::kOpenToPick:
      return TrayStep(row, true, kTrayOpenError, Next(S::kOpenToPick, S::kPickUp));
    case S::kPickUp:
      return PickUpStep(row, Next(S::kPickUp, S::kCloseEmpty), Next(S::kPickUp, S::kRecoveryClose));
    case S::kCloseEmpty:
      return TrayStep(row, false, kTrayCloseError, Next(S::kCloseEmpty, S::kUnload));
    case S::kUnload:
      return UnloadStep(row);  // the run ends
    case S::kRecoveryClose:
      RecoveryTrayStep(row, false, kTrayCloseError, Next(S::kRecoveryClose, S::kRecoveryMotor));
      return;
    case S::kRecoveryMotor:
      return MotorRecoveryStep(row, Next(S::kRecoveryMotor, S::kRecoveryOpen));
    case S::kRecoveryOpen:
      // Back to the pick-up under the heading it logged.
      if (RecoveryTrayStep(row, true, kTrayOpenError, Next(S::kRecoveryOpen, S::kPickUp))) {
        RetryPending = false;
      }
      return;
  }
}
