// The test of the dual-drive autoloaders ZP61, ZP65, ZP71 and ZP75 (TZPThread): device, output,
// drive, eject-ramp and input-bin checks, which drive is the upper one, then loading, picking
// and unloading. The thread holds the tested entry without owning it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sequences/StepPatterns.h"

namespace zp {
// Characters of the sixteen-character sensor field of AT+C00 ("}" at kZpSensorCloseIndex).
inline constexpr std::size_t kRecoverySensor = 4;    // '1': the unit asks for AT+R99
inline constexpr std::size_t kUpperDiscSensor = 8;   // '0': a disc lies on the upper tray
inline constexpr std::size_t kUpperTraySensor = 10;  // '1' open, '0' closed
inline constexpr std::size_t kLowerDiscSensor = 11;  // '0': a disc lies on the lower tray
inline constexpr std::size_t kLowerTraySensor = 14;  // '1' open, '0' closed
inline constexpr std::size_t kInputBinSensor = 17;   // '1': discs in the input bin

// A tray closed by the tidy-up at the start is given this long before the status query.
inline constexpr std::uint32_t kTidyPauseMs = 1500;
// Cycles the trays-open check waits for each tray to show open.
inline constexpr int kTrayOpenPolls = 20;
// SetTrays: sensor polls, kTrayPollMs apart, before a tray counts as stuck.
inline constexpr int kSetTraysPolls = 21;
inline constexpr std::uint32_t kTrayPollMs = 500;

// A pick-up answered neither done nor refused is sent again each cycle, this many times at most
// before the row fails.
inline constexpr int kUnexpectedPickReplies = 20;

// SetTrays result bits: this tray did not reach its wanted state.
inline constexpr std::uint8_t kUpperStuck = 1;
inline constexpr std::uint8_t kLowerStuck = 2;

// The motor recovery state: it runs first in every cycle and hands back to ResumeState.
inline constexpr int kMotorRecoveryState = 28;

inline constexpr const char* kMotorError = "An error with the motor.";
inline constexpr const char* kMotorPickError = "An error ocurrs with motor.";
inline constexpr const char* kEjectRampError = "An error with the eject ramp";
inline constexpr const char* kUpperOccupied =
    "An error occurs when the upper tray already has disc on it.";
inline constexpr const char* kLowerOccupied =
    "An error occurs when the lower tray already has disc on it.";
inline constexpr const char* kFlipError =
    "An error occurs when a disc is flipped to the lower drive.";
inline constexpr const char* kUpperPickError =
    "An error occurs when the upper drive picks up a disc.";
inline constexpr const char* kLowerPickError =
    "An error occurs when the lower drive picks up a disc.";
inline constexpr const char* kDualPickError = "An error occurs when the dual drives pick up discs.";
// The unit reported a failed pick-up, yet no open tray still holds a disc.
inline constexpr const char* kPickUnexplained =
    "An error occurs when discs are picked up from the trays.";
// State 10 when the drive list and the trays disagree.
inline constexpr const char* kTooManyDrives =
    "More drives are online than the dual drives. Unplug the other drives.";
inline constexpr const char* kOneDriveTwoTrays =
    "Both trays open, but only one of the dual drives is online.";
inline constexpr const char* kOutputDetached = "The output bin is not attached properly.";
inline constexpr const char* kUnloadLowerError =
    "An error occurs when a disc is unloaded to the output bin from the lower drive.";
inline constexpr const char* kUnloadDualError =
    "An error occurs when discs are unloaded to the output bin from the dual drives.";
}  // namespace zp

class TZPThread : public TStepThread {
 public:
  using TStepThread::TStepThread;

 protected:
  int HighestState() const override { return zp::kMotorRecoveryState; }
  void RunHandler(int state) override;

  // Moves the trays of the drives seen open by the trays-open check to the wanted states (true
  // open) and waits for the unit's sensors. Bits of the result: kUpperStuck, kLowerStuck, from
  // the last of up to kSetTraysPolls polls; 0 when every counted tray got there, when no tray
  // counts, or when the run ended (lost link, shut-down) while waiting.
  std::uint8_t SetTrays(bool upperOpen, bool lowerOpen);

  // The trays-open check sets these. Until then every flag is clear.
  bool FirstTrayUnseen = false;   // DriveLetter1's tray was not seen open
  bool SecondTrayUnseen = false;  // DriveLetter2's tray was not seen open
  bool DrivesSwapped = false;     // DriveLetter1 is the lower drive
  bool UpperTrayLoaded = false;   // a disc lay on the upper tray when it first showed open
  bool LowerTrayLoaded = false;   // the same for the lower tray
  int ResumeState = 0;            // where the motor recovery hands back to
  int ResumeRow = 0;              // the row it reports a failure against

 private:
  // One tray step: the states it wants the trays in, and which SetTrays results fail its row.
  struct TrayStep {
    int row = 0;
    bool upperOpen = false;
    bool lowerOpen = false;
    unsigned handled = 0;  // bit r set: result r fails the row
  };
  // One pick-up: its row, its state (where the motor recovery hands back), its motion and the
  // trays it empties.
  struct PickUp {
    int row = 0;
    int state = 0;
    CommandBlock command{};
    bool upper = false;
    bool lower = false;
  };

  bool BinModel() const;
  bool PairModel() const;
  // Whether the tray that SetTrays takes for the upper (lower) drive was seen open.
  bool UpperSeen() const;
  bool LowerSeen() const;

  // States 0 to 10: the checks.
  void DeviceInformation();
  bool TidyUpTrays();
  bool TrayStatusPasses(const std::string& status);
  void FailAndEnd(int row, const char* message);
  void OutputCheck();
  void DrivesOnline();
  void EjectRampOut();
  void StartTraysOpen();
  void OpenTray(char letter, int watchState, int skipState);
  void NoteDisc(bool upper);
  void WatchFirstTray();
  void WatchSecondTray();
  void EvaluateTrays();
  void MissingDrive(const char* message, int pairState);
  void BothTraysSeen();

  // States 11 to 28: tray moves, picking, unloading, motor recovery.
  void RunTrayStep(const TrayStep& step, int nextState);
  int AfterUpperClose() const;
  bool PickFailed(int row, int state, const char* message);
  void CheckedPickStep(const PickUp& pick, int nextState);
  void ReportedPickStep(const PickUp& pick, int nextState);
  const char* NothingPickedMessage(const PickUp& pick);
  void PickLowerStep();
  void UnloadStep(int row, const char* message);
  void MotorRecovery();
};
