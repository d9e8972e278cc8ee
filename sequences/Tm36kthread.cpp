// The TM36K test sequence.
#include "sequences/Tm36kthread.h"

#include "report/RunState.h"

using namespace tm36;

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
