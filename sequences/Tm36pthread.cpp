// The TM36P test sequence.
#include "sequences/Tm36pthread.h"

#include "console/RunState.h"
#include "console/StepList.h"
#include "console/TestLog.h"
#include "device/Device.h"
#include "device/Drives.h"
#include "platform/Platform.h"
#include "ui/Toolkit.h"

using namespace tm36p;

namespace {
constexpr unsigned kErrorRetryCancel = ui::kMbIconError | ui::kMbRetryCancel;
// The HV22 part's sensors on link 2: a disc in the input bin.
constexpr std::size_t kHv22InputBinSensor = 5;
// Link 1 is the TM36 part (printer tray), link 2 the HV22 part (input bin, arm, drive tray).
constexpr int kHv22Link = 2;
}  // namespace

bool TTM36PThread::Hv22Associated() {
  const int count = TestedDevice->HvCount.load();
  const int port = TestedDevice->HvPort.load();
  if (count >= 2 || port == 0) {
    const int answer = FailAndAsk(2, count >= 2 ? kSeveralHv22 : kNoHv22, kErrorRetryCancel);
    return answer != ui::kIdRetry && answer != ui::kIdCancel;
  }
  if (port <= kHv22LastGoodPort) {
    WriteLog("HV22 On Line & HV22 Port_[%d] = OK", port);
    StepPassed(2, "NOLINE");  // the HV22 information below closes the row's log
  } else {
    WriteLog("HV22 On Line & HV22 Port_[%d] = Warning", port);
    StepWarned(2, kHv22PortWarning);
  }
  return true;
}

void TTM36PThread::Hv22Information() {
  // A fault of the HV22 part is the unit's fault: it marks "Get device information".
  if (!CloseDriveTrayIfOut(kHv22Link) || !CheckDeviceStatus(kHv22Error, 0, kHv22Link) ||
      !ReadDeviceInformation(kHv22Link)) {
    return;
  }
  WriteLogText(kLogSeparator);
  StepState = 3;
}

void TTM36PThread::Hv22OnlineStep() {
  StepBegin(2);
  if (Hv22Associated()) Hv22Information();
}

void TTM36PThread::TrayOpenStep() {
  const SensorWait out{.row = 7, .index = drivetray::kTraySensor, .wanted = '1', .link = kHv22Link};
  switch (PollSensor(out, kDriveTrayPolls)) {
    case PollResult::kSeen:
      StepPassed(7, nullptr);
      StepState = 9;
      return;
    case PollResult::kTimedOut:
      break;
    default:
      return;
  }
  switch (FailAndAsk(7, kTrayOpenError, ui::kMbIconError | ui::kMbCancelTryContinue)) {
    case ui::kIdTryAgain:
      StepState = 7;  // opens the tray again in this cycle, then polls afresh
      break;
    case ui::kIdContinue:
      // The disc goes straight onto the printer tray; that load logs its own heading.
      HeadingLogged = false;
      StepState = 20;
      break;
    default:  // Cancel has ended the run; any other answer polls again
      break;
  }
}

void TTM36PThread::TrayCloseStep() {
  const SensorWait in{.row = 10, .index = drivetray::kTraySensor, .wanted = '0', .link = kHv22Link};
  switch (PollSensor(in, kDriveTrayPolls)) {
    case PollResult::kSeen:
      StepPassed(10, nullptr);
      StepState = 13;
      return;
    case PollResult::kTimedOut:
      break;
    default:
      return;
  }
  // Retry closes the tray again in this cycle; any other answer but Cancel polls again.
  if (FailAndAsk(10, kTrayCloseError, kErrorRetryCancel) == ui::kIdRetry) StepState = 11;
}

void TTM36PThread::UnloadStep() {
  const MoveStep unload{.row = 11, .command = AtR02, .message = kUnloadError, .link = kHv22Link};
  if (AttemptMove(unload) != StepResult::kDone) return;
  StepPassed(11, nullptr);
  platform::PauseOn(PauseEvent, kUnloadSettleMs);
  StepState = 14;
}

void TTM36PThread::RunHandler(int state) {
  if (StepState != state) return;
  using namespace tm36;
  switch (state) {
    case 0:
      return DeviceInformationStep(kDeviceError, 1);
    case 1:
      return PrinterOnlineStep(1, kSeveralPrinters, 2);
    case 2:
      return Hv22OnlineStep();
    case 3:
      return DriveOnlineStep({.row = 3}, 4);
    case 4:
      return MoveStepTo({.row = 4, .command = AtP01, .message = kCdModeError}, 5);
    case 5:
      return MoveStepTo({.row = 5, .command = AtT00, .message = kLoadingAreaError}, 6);
    case 6:
      return AwaitOperatorStep({.row = 6, .index = kHv22InputBinSensor, .link = kHv22Link},
                               kSupplyDiscsMessage, 7);
    case 7:
      MoveDriveTray(DriveLetter(), true);  // the sensor poll of the next state judges it
      StepState = 8;
      return;
    case 8:
      return TrayOpenStep();
    case 9:
      return LoadOntoTrayStep(8, kHv22Link, drivetray::kOccupiedTrayError, 10);
    case 10:
      return MoveStepTo({.row = 9, .command = AtG01, .message = kPickError, .link = kHv22Link}, 11);
    case 11:
      MoveDriveTray(DriveLetter(), false);
      StepState = 12;
      return;
    case 12:
      return TrayCloseStep();
    case 13:
      return UnloadStep();
    case 14:
      return TrayToPrintingStep(12, 15);
    case 15:
      return EjectTrayByPrinting(16);
    case 16:
      return TrayOutStep(13, 17, 21);
    case 17:
      return MoveStepTo({.row = 14, .command = AtT01, .message = kRejectAreaError}, 18);
    case 18:
      return MoveStepTo({.row = 15, .command = AtT00, .message = kLoadingAreaError}, 19);
    case 19:
      return PaperModeStep(16);
    case 20:
      // The drive bypassed: AT+R90 loads from the input bin straight onto the printer tray.
      return MoveStepTo({.row = 8,
                         .command = AtR90,
                         .message = kLoadError,
                         .link = kHv22Link,
                         .alsoPasses = "AT+S07"},
                        14);
    case 21:
      return TrayBackwardStep(13, 22);
    case 22:
      return TrayHomeStep(13, 17);  // 17 acts in this same cycle
    default:
      return;
  }
}
