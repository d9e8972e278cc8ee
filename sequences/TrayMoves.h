// Steps around the optical drive of a single-drive autoloader part (HV22, LQ40, and the HV22
// part of a TM36P): the drive check and the tidy-up of a tray left out (loading onto the tray
// is a step pattern). TDriveTrayThread owns nothing; it reads the tested entry's drive fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sequences/StepPatterns.h"

namespace drivetray {
// In the sensor field of an HV22 (or a TM36P's link 2): '1' while the drive tray is out.
inline constexpr std::size_t kTraySensor = 9;
// How long a tray closed by the tidy-up is given before the unit is asked anything else.
inline constexpr std::uint32_t kTidyPauseMs = 1500;
inline constexpr const char* kDriveOffline = "RW drive is not online.";
inline constexpr const char* kOccupiedTrayError =
    "An error occurs when the tray already has disc on it.";
}  // namespace drivetray

// What the drive check says: the failure's words and the pass line (a format for the letter).
struct DriveCheck {
  int row = 0;
  const char* offline = drivetray::kDriveOffline;
  const char* onlineFormat = "DVDRW_[%c] ON LINE = OK";
  bool closeTray = false;  // close the drive's tray before passing
};

class TDriveTrayThread : public TStepThread {
 protected:
  using TStepThread::TStepThread;

  // The entry's first drive letter, 0 when it has none.
  char DriveLetter() const;
  // True when the drive check passed on a drive (a letter) the entry no longer has: it left
  // during the run (and has not come back), so no step that needs it can be done. A check that
  // passed on a count without a letter leaves the steps as they were.
  bool DriveLost() const;
  // For a step that needs the drive: when it is lost, the row fails with the drive check's
  // `offline` words and a Retry/Cancel box asks, as that check does (Retry: the step looks
  // again next cycle; an answer that lets it go moves on to nextState without a mark). True
  // when the drive is lost and the step must not go on.
  bool FailIfDriveLost(int row, const char* offline, int nextState);

  // "Check if drive is online" (no command): no drive fails the row with a Retry/Cancel box
  // (Retry checks the entry again as discovery then leaves it; another answer goes on without
  // a mark); a drive passes with the online line.
  void DriveOnlineStep(const DriveCheck& check, int nextState);

  // The tidy-up before a unit's status query: an unlogged AT+C00 on the link; when it shows the
  // drive tray out, the tray is closed (if the entry has a drive letter) and the unit gets 1.5 s.
  // False when the link was lost (the run ends).
  bool CloseDriveTrayIfOut(int link);

 private:
  char checkedLetter_ = 0;  // the letter the drive check passed with (0: none, or not passed)
};
