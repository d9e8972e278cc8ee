// Drive check and drive tray tidy-up.
#include "sequences/TrayMoves.h"

#include <cstdio>

#include "device/Device.h"
#include "device/Drives.h"
#include "platform/Platform.h"
#include "report/RunState.h"
#include "report/StepList.h"
#include "ui/Toolkit.h"

using namespace drivetray;

char TDriveTrayThread::DriveLetter() const {
  return TestedDevice->DriveLetter1.load();
}

bool TDriveTrayThread::DriveLost() const {
  return checkedLetter_ != 0 && DriveLetter() == 0;
}

bool TDriveTrayThread::FailIfDriveLost(int row, const char* offline, int nextState) {
  if (!DriveLost()) return false;
  const int answer = FailAndAsk(row, offline, ui::kMbIconError | ui::kMbRetryCancel);
  if (answer != ui::kIdRetry && answer != ui::kIdCancel) {
    HeadingLogged = false;
    StepState = nextState;
  }
  return true;
}

void TDriveTrayThread::DriveOnlineStep(const DriveCheck& check, int nextState) {
  StepBegin(check.row);
  if (TestedDevice->DriveCount.load() == 0) {
    const int answer = FailAndAsk(check.row, check.offline, ui::kMbIconError | ui::kMbRetryCancel);
    if (answer != ui::kIdRetry && answer != ui::kIdCancel) StepState = nextState;
    return;
  }
  const char letter = DriveLetter();
  if (check.closeTray) MoveDriveTray(letter, false);
  char text[64];
  std::snprintf(text, sizeof text, check.onlineFormat, letter);
  StepPassed(check.row, text);
  checkedLetter_ = letter;
  StepState = nextState;
}

bool TDriveTrayThread::CloseDriveTrayIfOut(int link) {
  // The sensor read is housekeeping, not part of the unit's record.
  Run().CommandLogging = false;
  const bool sent = Send(AtC00, link);
  Run().CommandLogging = true;
  if (!sent) return false;
  if (!SensorReads(Reply(), kTraySensor, '1')) return true;
  const char letter = DriveLetter();
  if (letter != 0) MoveDriveTray(letter, false);
  platform::PauseOn(PauseEvent, kTidyPauseMs);
  return true;
}
