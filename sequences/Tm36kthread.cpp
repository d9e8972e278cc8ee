// The TM36K test sequence and the TM36 printer-side steps.
#include "sequences/Tm36kthread.h"

#include <cstdint>
#include <cstdio>

#include "device/Device.h"
#include "platform/Platform.h"
#include "report/RunState.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "ui/Toolkit.h"

using namespace tm36;

void TTM36Thread::PrinterOnlineStep(int row, const char* severalPrinters, int nextState) {
  StepBegin(row);
  const std::int8_t count = TestedDevice->PrinterCount.load();
  const int port = TestedDevice->PrinterPort.load();
  if (count >= 2 || port == 0) {
    const int answer = FailAndAsk(row, count >= 2 ? severalPrinters : kNoPrinter,
                                  ui::kMbIconError | ui::kMbRetryCancel);
    if (answer != ui::kIdRetry && answer != ui::kIdCancel) StepState = nextState;
    return;
  }
  if (port == kPrinterHomePort) {
    char text[64];
    std::snprintf(text, sizeof text, "Printer On Line & Printer Port_[%d] = OK", port);
    StepPassed(row, text);
  } else {
    WriteLog("Printer On Line & Printer Port_[%d] = Warning", port);
    WriteLogText(kLogSeparator);
    StepWarned(row, kPrinterPortWarning);
  }
  StepState = nextState;
}

void TTM36Thread::TrayToPrintingStep(int row, int nextState) {
  MoveStepTo(
      {.row = row, .command = AtT02, .message = kPrintingAreaError, .commandAfterStatus = true},
      nextState);
}

void TTM36Thread::EjectTrayByPrinting(int nextState) {
  const std::string queue = TestedDevice->GetPrinterName();
  if (!queue.empty()) platform::ThePlatform().PrintEmptyDocument(queue.c_str());
  StepState = nextState;
}

void TTM36Thread::TrayOutStep(int row, int nextState, int recoveryState) {
  const SensorWait trayOut{.row = row, .index = kPrinterTraySensor, .wanted = '0'};
  switch (PollSensor(trayOut, kTrayOutPolls)) {
    case PollResult::kSeen:
      StepPassed(row, nullptr);
      StepState = nextState;
      break;
    case PollResult::kTimedOut:
      if (FailAndAsk(row, kEjectError, ui::kMbIconError) == ui::kIdOk) StepState = recoveryState;
      break;
    default:
      break;
  }
}

void TTM36Thread::TrayBackwardStep(int row, int nextState) {
  const MoveStep backward{.row = row, .command = AtM02, .message = kBackwardError, .begin = false};
  if (AttemptMove(backward) != StepResult::kDone) return;
  RetryPending = false;
  StepState = nextState;
}

void TTM36Thread::TrayHomeStep(int row, int nextState) {
  const MoveStep home{.row = row, .command = AtT00, .message = kLoadingAreaError, .begin = false};
  if (AttemptMove(home) != StepResult::kDone) return;
  RetryPending = false;
  HeadingLogged = false;  // the next step logs its own heading
  StepState = nextState;
}

void TTM36Thread::PaperModeStep(int row) {
  if (AttemptMove({.row = row, .command = AtP00, .message = kPaperModeError}) !=
      StepResult::kDone) {
    return;
  }
  StepPassed(row, nullptr);
  EndRun(RunEnding::kCompleted);
}

namespace {
using S = Tm36kState;
// A successor the map names, as the steps take it; an unlisted one fails the build.
consteval int Next(S from, S to) {
  return ListedMove(kTm36kMoves, from, to);
}
}  // namespace

void TTM36KThread::RunHandler(int state) {
  if (StepState != state) return;
  const MoveAudit audit("TM36K", kTm36kMoves, Run());
  const int row = RowOf(kTm36kRows, state);
  switch (static_cast<S>(state)) {
    case S::kDeviceInformation:
      return DeviceInformationStep("An error occurs with TM36K.",
                                   Next(S::kDeviceInformation, S::kPrinterOnline));
    case S::kPrinterOnline:
      return PrinterOnlineStep(row, "Support one printer only, please unplug other printers.",
                               Next(S::kPrinterOnline, S::kCdMode));
    case S::kCdMode:
      return MoveStepTo({.row = row, .command = AtP01, .message = kCdModeError},
                        Next(S::kCdMode, S::kToLoadingArea));
    case S::kToLoadingArea:
      return MoveStepTo({.row = row, .command = AtT00, .message = kLoadingAreaError},
                        Next(S::kToLoadingArea, S::kInputBin));
    case S::kInputBin:
      return AwaitOperatorStep({.row = row, .index = kInputBinSensor}, kSupplyDiscsMessage,
                               Next(S::kInputBin, S::kLoadDisc));
    case S::kLoadDisc:
      return MoveStepTo(
          {.row = row, .command = AtR01, .message = kLoadError, .alsoPasses = "AT+S07"},
          Next(S::kLoadDisc, S::kToPrintingArea));
    case S::kToPrintingArea:
      return TrayToPrintingStep(row, Next(S::kToPrintingArea, S::kEjectByPrinting));
    case S::kEjectByPrinting:
      return EjectTrayByPrinting(Next(S::kEjectByPrinting, S::kTrayOut));
    case S::kTrayOut:
      return TrayOutStep(row, Next(S::kTrayOut, S::kToRejectArea),
                         Next(S::kTrayOut, S::kTrayBackward));
    case S::kToRejectArea:
      return MoveStepTo({.row = row, .command = AtT01, .message = kRejectAreaError},
                        Next(S::kToRejectArea, S::kBackToLoadingArea));
    case S::kBackToLoadingArea:
      return MoveStepTo({.row = row, .command = AtT00, .message = kLoadingAreaError},
                        Next(S::kBackToLoadingArea, S::kPaperMode));
    case S::kPaperMode:
      return PaperModeStep(row);  // the run ends
    case S::kTrayBackward:
      return TrayBackwardStep(row, Next(S::kTrayBackward, S::kTrayHome));
    case S::kTrayHome:
      return TrayHomeStep(row, Next(S::kTrayHome, S::kToRejectArea));
  }
}
