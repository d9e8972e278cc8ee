// The LQ40 test sequence.
#include "sequences/Lq40thread.h"

#include "device/Drives.h"
#include "platform/Platform.h"
#include "report/RunState.h"
#include "report/StepList.h"
#include "ui/Toolkit.h"

using namespace lq40;

void TLQ40Thread::CommandStep(int row, const CommandBlock& command, const char* message,
                              int nextState) {
  StepBegin(row);
  if (!Send(command)) return;
  // There is no retry of a device command: the box's OK ends the run.
  if (!ReplyHas("AT+O") && !FailFatal(row, message)) return;
  StepPassed(row, nullptr);
  StepState = nextState;
}

void TLQ40Thread::ReadyAreaStep(int row, int nextState) {
  StepBegin(row);
  if (!Send(Lq40Cmd12)) return;
  if (!ReplyHas("AT+O") && !FailFatal(row, kReadyAreaError)) return;
  StepPassed(row, nullptr);
  const int answer =
      Ask(kSupplyLoadingArea, ui::kMbIconInformation | ui::kMbOkCancel, kInformationCaption);
  if (answer == ui::kIdOk) StepState = nextState;
}

void TLQ40Thread::TrayStep(int row, bool open, std::uint32_t settleMs, const char* line,
                           int nextState) {
  if (const char letter = DriveLetter(); letter != 0) {
    MoveDriveTray(letter, open);
    platform::PauseOn(PauseEvent, settleMs);
  }
  StepBegin(row);
  if (DriveLetter() == 0) {
    // The drive left (before the move or while the tray settled): the step cannot have been
    // done. Retry looks again, as the drive check does; Cancel ends the run.
    FailAndAsk(row, kDriveOffline, ui::kMbIconError | ui::kMbRetryCancel);
    return;
  }
  StepPassed(row, line);
  StepState = nextState;
}

void TLQ40Thread::OutputStep(int row) {
  StepBegin(row);
  if (!Send(Lq40Cmd6)) return;
  if (ReplyHas("AT+O")) {
    StepPassed(row, nullptr);
  } else {
    FailAndAsk(row, kOutputError, ui::kMbIconError);
  }
  EndRun(RunEnding::kCompleted);
}

namespace {
using S = Lq40State;
// A successor the map names, as the steps take it; an unlisted one fails the build.
consteval int Next(S from, S to) {
  return ListedMove(kLq40Moves, from, to);
}
}  // namespace

void TLQ40Thread::RunHandler(int state) {
  if (StepState != state) return;
  const MoveAudit audit("LQ40", kLq40Moves, Run());
  const int row = RowOf(kLq40Rows, state);
  switch (static_cast<S>(state)) {
    case S::kDeviceInformation:
      return CommandStep(row, Lq40Cmd1, kDeviceError, Next(S::kDeviceInformation, S::kDriveOnline));
    case S::kDriveOnline:
      return DriveOnlineStep({.row = row,
                              .offline = kDriveOffline,
                              .onlineFormat = "LQ40_DVDRW_[%c] ON LINE = OK",
                              .closeTray = true},
                             Next(S::kDriveOnline, S::kReadyArea));
    case S::kReadyArea:
      return ReadyAreaStep(row, Next(S::kReadyArea, S::kPickFromInput));
    case S::kPickFromInput:
      return CommandStep(row, Lq40Cmd3, kPickInputError, Next(S::kPickFromInput, S::kOpenToLoad));
    case S::kOpenToLoad:
      return TrayStep(row, true, kLoadOpenSettleMs, kTrayOutLine,
                      Next(S::kOpenToLoad, S::kPutOnTray));
    case S::kPutOnTray:
      return CommandStep(row, Lq40Cmd5, kPutOnTrayError, Next(S::kPutOnTray, S::kCloseLoaded));
    case S::kCloseLoaded:
      return TrayStep(row, false, kCloseSettleMs, kTrayInLine,
                      Next(S::kCloseLoaded, S::kOpenToPick));
    case S::kOpenToPick:
      return TrayStep(row, true, kPickOpenSettleMs, kTrayOutLine,
                      Next(S::kOpenToPick, S::kPickFromTray));
    case S::kPickFromTray:
      return CommandStep(row, Lq40Cmd4, kPickTrayError, Next(S::kPickFromTray, S::kCloseEmpty));
    case S::kCloseEmpty:
      return TrayStep(row, false, kLastCloseSettleMs, kTrayInLine,
                      Next(S::kCloseEmpty, S::kToOutput));
    case S::kToOutput:
      return OutputStep(row);  // the run ends
  }
}
