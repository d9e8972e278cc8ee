// The TM36 printer-side steps, shared by the TM36K and the TM36P.
#include "sequences/Tm36printer.h"

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
