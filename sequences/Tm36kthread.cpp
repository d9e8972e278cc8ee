// The TM36K test sequence and the TM36 printer-side steps.
#include "sequences/Tm36kthread.h"

#include <cstdio>

#include "console/RunState.h"
#include "console/StepList.h"
#include "console/TestLog.h"
#include "device/Device.h"
#include "platform/Platform.h"
#include "ui/Toolkit.h"

using namespace tm36;

void TTM36Thread::PrinterOnlineStep(int row, const char* severalPrinters, int nextState) {
  StepBegin(row);
  const int count = TestedDevice->PrinterCount.load();
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

void TTM36KThread::RunHandler(int state) {
  if (StepState != state) return;
  switch (state) {
    case 0:
      return DeviceInformationStep("An error occurs with TM36K.", 1);
    case 1:
      return PrinterOnlineStep(1, "Support one printer only, please unplug other printers.", 2);
    case 2:
      return MoveStepTo({.row = 2, .command = AtP01, .message = kCdModeError}, 3);
    case 3:
      return MoveStepTo({.row = 3, .command = AtT00, .message = kLoadingAreaError}, 4);
    case 4:
      return AwaitOperatorStep({.row = 4, .index = kInputBinSensor}, kSupplyDiscsMessage, 5);
    case 5:
      return MoveStepTo({.row = 5, .command = AtR01, .message = kLoadError, .alsoPasses = "AT+S07"},
                        6);
    case 6:
      return TrayToPrintingStep(6, 7);
    case 7:
      return EjectTrayByPrinting(8);
    case 8:
      return TrayOutStep(7, 9, 12);
    case 9:
      return MoveStepTo({.row = 8, .command = AtT01, .message = kRejectAreaError}, 10);
    case 10:
      return MoveStepTo({.row = 9, .command = AtT00, .message = kLoadingAreaError}, 11);
    case 11:
      return PaperModeStep(10);
    case 12:
      return TrayBackwardStep(7, 13);
    case 13:
      return TrayHomeStep(7, 9);
    default:  // 14 and 15 have no action
      return;
  }
}
