// The TM36P test sequence.
#include "sequences/Tm36pthread.h"

#include <cstdint>

#include "device/Device.h"
#include "device/Drives.h"
#include "platform/Platform.h"
#include "report/RunState.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "ui/Toolkit.h"

using namespace tm36p;

namespace {
constexpr unsigned kErrorRetryCancel = ui::kMbIconError | ui::kMbRetryCancel;
// The HV22 part's sensors on link 2: a disc in the input bin.
constexpr std::size_t kHv22InputBinSensor = 5;
// Link 1 is the TM36 part (printer tray), link 2 the HV22 part (input bin, arm, drive tray).
constexpr int kHv22Link = 2;
}  // namespace

bool TTM36PThread::Hv22Associated(int row) {
  const std::int8_t count = TestedDevice->HvCount.load();
  const int port = TestedDevice->HvPort.load();
  if (count >= 2 || port == 0) {
    const int answer = FailAndAsk(row, count >= 2 ? kSeveralHv22 : kNoHv22, kErrorRetryCancel);
    return answer != ui::kIdRetry && answer != ui::kIdCancel;
  }
  if (port <= kHv22LastGoodPort) {
    WriteLog("HV22 On Line & HV22 Port_[%d] = OK", port);
    StepPassed(row, nullptr, RowLog::kLeaveOpen);  // the HV22 information below closes it
  } else {
    WriteLog("HV22 On Line & HV22 Port_[%d] = Warning", port);
    StepWarned(row, kHv22PortWarning);
  }
  return true;
}

void TTM36PThread::Hv22Information(int nextState) {
  // A fault of the HV22 part is the unit's fault: it marks "Get device information".
  if (!CloseDriveTrayIfOut(kHv22Link) || !CheckDeviceStatus(kHv22Error, 0, kHv22Link) ||
      !ReadDeviceInformation(kHv22Link)) {
    return;
  }
  WriteLogText(kLogSeparator);
  StepState = nextState;
}

void TTM36PThread::Hv22OnlineStep(int row, int nextState) {
  StepBegin(row);
  if (Hv22Associated(row)) Hv22Information(nextState);
}

bool TTM36PThread::DriveTrayTimedOut(int row, char wanted, int seen) {
  const SensorWait tray{
      .row = row, .index = drivetray::kTraySensor, .wanted = wanted, .link = kHv22Link};
  const PollResult polled = PollSensor(tray, kDriveTrayPolls);
  // The sensor reads the HV22 part's side of the tray, not the drive: a drive that left before
  // or while the tray moved fails the step as the drive check would.
  if ((polled == PollResult::kSeen || polled == PollResult::kTimedOut) && RunActive &&
      FailIfDriveLost(row, drivetray::kDriveOffline, seen)) {
    return false;
  }
  switch (polled) {
    case PollResult::kSeen:
      StepPassed(row, nullptr);
      StepState = seen;
      return false;
    case PollResult::kTimedOut:
      return true;
    default:
      return false;
  }
}

void TTM36PThread::TrayOpenStep(int row, int seen, int again, int skipDrive) {
  if (!DriveTrayTimedOut(row, '1', seen)) return;
  switch (FailAndAsk(row, kTrayOpenError, ui::kMbIconError | ui::kMbCancelTryContinue)) {
    case ui::kIdTryAgain:
      StepState = again;
      break;
    case ui::kIdContinue:
      // The disc goes straight onto the printer tray; that load logs its own heading.
      HeadingLogged = false;
      StepState = skipDrive;
      break;
    default:  // Cancel has ended the run; any other answer polls again
      break;
  }
}

void TTM36PThread::TrayCloseStep(int row, int seen, int again) {
  if (!DriveTrayTimedOut(row, '0', seen)) return;
  // Any other answer but Cancel polls again.
  if (FailAndAsk(row, kTrayCloseError, kErrorRetryCancel) == ui::kIdRetry) StepState = again;
}

void TTM36PThread::UnloadStep(int row, int nextState) {
  const MoveStep unload{.row = row, .command = AtR02, .message = kUnloadError, .link = kHv22Link};
  if (AttemptMove(unload) != StepResult::kDone) return;
  StepPassed(row, nullptr);
  platform::PauseOn(PauseEvent, kUnloadSettleMs);
  StepState = nextState;
}

namespace {
using S = Tm36pState;
// A successor the map names, as the steps take it; an unlisted one fails the build.
consteval int Next(S from, S to) {
  return ListedMove(kTm36pMoves, from, to);
}
}  // namespace

// NOLINTNEXTLINE(readability-function-size): the state map, one case per state of the table
void TTM36PThread::RunHandler(int state) {
  if (StepState != state) return;
  using namespace tm36;
  const MoveAudit audit("TM36P", kTm36pMoves, Run());
  const int row = RowOf(kTm36pRows, state);
  switch (static_cast<S>(state)) {
    case S::kDeviceInformation:
      return DeviceInformationStep(kDeviceError, Next(S::kDeviceInformation, S::kPrinterOnline));
    case S::kPrinterOnline:
      return PrinterOnlineStep(row, kSeveralPrinters, Next(S::kPrinterOnline, S::kHv22Online));
    case S::kHv22Online:
      return Hv22OnlineStep(row, Next(S::kHv22Online, S::kDriveOnline));
    case S::kDriveOnline:
      return DriveOnlineStep({.row = row}, Next(S::kDriveOnline, S::kCdMode));
    case S::kCdMode:
      return MoveStepTo({.row = row, .command = AtP01, .message = kCdModeError},
                        Next(S::kCdMode, S::kToLoadingArea));
    case S::kToLoadingArea:
      return MoveStepTo({.row = row, .command = AtT00, .message = kLoadingAreaError},
                        Next(S::kToLoadingArea, S::kInputBin));
    case S::kInputBin:
      return AwaitOperatorStep({.row = row, .index = kHv22InputBinSensor, .link = kHv22Link},
                               kSupplyDiscsMessage, Next(S::kInputBin, S::kOpenDriveTray));
    case S::kOpenDriveTray:
      MoveDriveTray(DriveLetter(), true);  // the sensor poll of the next state judges it
      StepState = Next(S::kOpenDriveTray, S::kTrayOpen);
      return;
    case S::kTrayOpen:
      return TrayOpenStep(row, Next(S::kTrayOpen, S::kLoadOntoDriveTray),
                          Next(S::kTrayOpen, S::kOpenDriveTray),
                          Next(S::kTrayOpen, S::kLoadOntoPrinterTray));
    case S::kLoadOntoDriveTray:
      return LoadOntoTrayStep(row, kHv22Link, drivetray::kOccupiedTrayError,
                              Next(S::kLoadOntoDriveTray, S::kPickUp));
    case S::kPickUp:
      return MoveStepTo({.row = row, .command = AtG01, .message = kPickError, .link = kHv22Link},
                        Next(S::kPickUp, S::kCloseDriveTray));
    case S::kCloseDriveTray:
      MoveDriveTray(DriveLetter(), false);
      StepState = Next(S::kCloseDriveTray, S::kTrayClose);
      return;
    case S::kTrayClose:
      return TrayCloseStep(row, Next(S::kTrayClose, S::kUnload),
                           Next(S::kTrayClose, S::kCloseDriveTray));
    case S::kUnload:
      return UnloadStep(row, Next(S::kUnload, S::kToPrintingArea));
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
    case S::kLoadOntoPrinterTray:
      return MoveStepTo({.row = row,
                         .command = AtR90,
                         .message = kLoadError,
                         .link = kHv22Link,
                         .alsoPasses = "AT+S07"},
                        Next(S::kLoadOntoPrinterTray, S::kToPrintingArea));
    case S::kTrayBackward:
      return TrayBackwardStep(row, Next(S::kTrayBackward, S::kTrayHome));
    case S::kTrayHome:
      return TrayHomeStep(row, Next(S::kTrayHome, S::kToRejectArea));
  }
}
