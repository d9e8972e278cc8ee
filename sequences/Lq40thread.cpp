// The LQ40 test sequence.
#include "sequences/Lq40thread.h"

#include "console/RunState.h"
#include "console/StepList.h"
#include "device/Drives.h"
#include "platform/Platform.h"
#include "ui/Toolkit.h"

using namespace lq40;

void TLQ40Thread::CommandStep(int state, const CommandBlock& command, const char* message) {
  StepBegin(state);
  if (!Send(command)) return;
  // There is no retry of a device command: the box's OK ends the run.
  if (!ReplyHas("AT+O") && !FailFatal(state, message)) return;
  StepPassed(state, nullptr);
  StepState = state + 1;
}

void TLQ40Thread::ReadyAreaStep() {
  StepBegin(2);
  if (!Send(Lq40Cmd12)) return;
  if (!ReplyHas("AT+O") && !FailFatal(2, kReadyAreaError)) return;
  StepPassed(2, nullptr);
  const int answer =
      Ask(kSupplyLoadingArea, ui::kMbIconInformation | ui::kMbOkCancel, kInformationCaption);
  if (answer == ui::kIdOk) StepState = 3;
}

void TLQ40Thread::TrayStep(int state, bool open, std::uint32_t settleMs, const char* line) {
  MoveDriveTray(DriveLetter(), open);
  platform::PauseOn(PauseEvent, settleMs);
  StepBegin(state);
  StepPassed(state, line);
  StepState = state + 1;
}

void TLQ40Thread::OutputStep() {
  StepBegin(10);
  if (!Send(Lq40Cmd6)) return;
  if (ReplyHas("AT+O")) {
    StepPassed(10, nullptr);
  } else {
    FailAndAsk(10, kOutputError, ui::kMbIconError);
  }
  EndRun(RunEnding::kCompleted);
}

void TLQ40Thread::RunHandler(int state) {
  if (StepState != state) return;
  switch (state) {
    case 0:
      return CommandStep(0, Lq40Cmd1, kDeviceError);
    case 1:
      return DriveOnlineStep({.row = 1,
                              .offline = "RW drive is not online",
                              .onlineFormat = "LQ40_DVDRW_[%c] ON LINE = OK",
                              .closeTray = true},
                             2);
    case 2:
      return ReadyAreaStep();
    case 3:
      return CommandStep(3, Lq40Cmd3, kPickInputError);
    case 4:
      return TrayStep(4, true, kLoadOpenSettleMs, kTrayOutLine);
    case 5:
      return CommandStep(5, Lq40Cmd5, kPutOnTrayError);
    case 6:
      return TrayStep(6, false, kCloseSettleMs, kTrayInLine);
    case 7:
      return TrayStep(7, true, kPickOpenSettleMs, kTrayOutLine);
    case 8:
      return CommandStep(8, Lq40Cmd4, kPickTrayError);
    case 9:
      return TrayStep(9, false, kLastCloseSettleMs, kTrayInLine);
    case 10:
      return OutputStep();
    default:
      return;
  }
}
