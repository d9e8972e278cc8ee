// The HV22 test sequence.
#include "sequences/Hvthread.h"

#include "console/RunState.h"
#include "console/StepList.h"
#include "console/TestLog.h"
#include "device/Device.h"
#include "device/Drives.h"
#include "platform/Platform.h"
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
    if (SensorReads(LastReply, drivetray::kTraySensor, open ? '1' : '0')) return true;
  }
  return false;
}

void THVThread::DeviceInformation() {
  StepBegin(0);
  if (TestedDevice->Usb3Connection.load() != 0) WriteLogText(kUsb3Line);
  if (!CloseDriveTrayIfOut(1) || !CheckDeviceStatus(kMotorError) || !ReadDeviceInformation()) {
    return;
  }
  StepPassed(0, nullptr);
  StepState = 1;
}

void THVThread::TrayStep(int row, bool open, const char* message, int nextState) {
  StepBegin(row);
  if (!MoveTrayAndConfirm(open)) {
    const int answer = FailAndAsk(row, message, kErrorRetryCancel);
    if (answer == ui::kIdRetry || answer == ui::kIdCancel) return;
  }
  StepPassed(row, nullptr);
  StepState = nextState;
}

void THVThread::PickUpStep() {
  const MoveStep pick{.row = kPickRow, .command = AtG01, .message = kPickError};
  if (!SendMoveCommand(pick)) return;
  if (MoveReplyPasses(pick)) {
    StepPassed(kPickRow, nullptr);
    StepState = 8;
    return;
  }
  if (ReplyHas("AT+S12")) {
    // The arm is blocked: Retry runs the recovery (10, 11, 12) before picking again.
    if (FailAndAsk(kPickRow, kPickBlockedError, kErrorRetryCancel) == ui::kIdRetry) {
      StepState = 10;
    }
    return;
  }
  FailMoveStep(pick);  // every answer but Cancel picks again next cycle
}

bool THVThread::RecoveryTrayStep(bool open, const char* message, int nextState) {
  if (!MoveTrayAndConfirm(open)) {
    const int answer = FailAndAsk(kPickRow, message, kErrorRetryCancel);
    if (answer == ui::kIdRetry || answer == ui::kIdCancel) return false;
  }
  StepState = nextState;
  return true;
}

void THVThread::MotorRecoveryStep() {
  const MoveStep motor{.row = kPickRow, .command = AtR99, .message = kMotorError, .begin = false};
  if (AttemptMove(motor) == StepResult::kDone) StepState = 12;
}

void THVThread::UnloadStep() {
  if (AttemptMove({.row = 9, .command = AtR02, .message = kUnloadError}) != StepResult::kDone) {
    return;
  }
  StepPassed(9, nullptr);
  EndRun(RunEnding::kCompleted);
}

void THVThread::RunHandler(int state) {
  if (StepState != state) return;
  switch (state) {
    case 0:
      return DeviceInformation();
    case 1:
      return DriveOnlineStep({.row = 1}, 2);
    case 2:
      return AwaitOperatorStep({.row = 2, .index = kInputBinSensor}, kSupplyDiscsMessage, 3);
    case 3:
      return TrayStep(3, true, kTrayOpenError, 4);
    case 4:
      return LoadOntoTrayStep(4, 1, drivetray::kOccupiedTrayError, 5);
    case 5:
      return TrayStep(5, false, kTrayCloseError, 6);
    case 6:
      return TrayStep(6, true, kTrayOpenError, 7);
    case 7:
      return PickUpStep();
    case 8:
      return TrayStep(8, false, kTrayCloseError, 9);
    case 9:
      return UnloadStep();
    case 10:
      RecoveryTrayStep(false, kTrayCloseError, 11);
      return;
    case 11:
      return MotorRecoveryStep();
    case 12:
      // Back to the pick-up, which acts again in this cycle under the heading it logged.
      if (RecoveryTrayStep(true, kTrayOpenError, 7)) RetryPending = false;
      return;
    default:  // 13 to 15 have no action
      return;
  }
}
