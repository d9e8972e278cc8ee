// The test of the dual-drive autoloaders ZP61, ZP65, ZP71 and ZP75 (TZPThread): device, output,
// drive, eject-ramp and input-bin checks, which drive is the upper one, then loading, picking
// and unloading. The thread holds the tested entry without owning it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sequences/StateMap.h"
#include "sequences/StepPatterns.h"

// The states of the sequence. The runner calls the handlers from the highest number down in
// every cycle, so the numbers are the run's timing: a move to a lower number runs later in the
// same cycle, any other waits for the next (kZpTransitions says which, and the build checks it).
enum class ZpState : int {
  // The checks, on both step lists.
  kDeviceInformation = 0,
  kOutputBin = 1,
  kDrivesOnline = 2,
  kEjectRampOut = 3,
  kEjectRampIn = 4,  // hidden: no heading of its own, it passes the ramp's row
  kInputBin = 5,
  kOpenFirstTray = 6,
  kWatchFirstTray = 7,
  kOpenSecondTray = 8,
  kWatchSecondTray = 9,
  kEvaluateTrays = 10,
  // Loading the upper tray, on both step lists.
  kLoadUpper = 11,
  kCloseUpper = 12,
  // ZP65 and ZP75: one drive picks at a time; the upper disc is flipped to the lower tray.
  kOpenUpper = 13,
  kPickUpper = 14,
  kCloseUpperAfterPick = 15,
  kFlipToLower = 16,
  kCloseLower = 17,
  kOpenLower = 18,
  kPickLower = 19,
  kCloseLowerAfterPick = 20,
  kUnloadLower = 21,  // ends the run
  // ZP61 and ZP71: both drives are loaded and picked together.
  kPairLoadLower = 22,
  kPairCloseLower = 23,
  kPairOpenTrays = 24,
  kPairPick = 25,
  kPairCloseTrays = 26,
  kPairUnload = 27,  // ends the run
  // Runs first in every cycle and hands back to the pick-up it interrupted (ResumeState).
  kMotorRecovery = 28,
};

constexpr int StateNumber(ZpState state) {
  return static_cast<int>(state);
}

namespace zp {
// The step-list row a state reports on. States 11 to 21 run on rows 6 to 16 of the ZP65 and
// ZP75 lists. The ZP61 and ZP71 lists are shorter: after row 7 they give their rows 8 to 13 to
// states 22 to 27, so those row numbers name different steps on the two lists.
// The motor recovery reports on the row of the pick-up it recovers (ResumeRow).
inline constexpr int kResumedRow = -1;
inline constexpr StateRow<ZpState> kZpRows[] = {
    {ZpState::kDeviceInformation, 0},     // Get device information
    {ZpState::kOutputBin, 1},             // Check output bin
    {ZpState::kDrivesOnline, 2},          // Check if drives are online
    {ZpState::kEjectRampOut, 3},          // Check eject ramp
    {ZpState::kEjectRampIn, 3},           //   (the ramp back in)
    {ZpState::kInputBin, 4},              // Check disc in the input bin
    {ZpState::kOpenFirstTray, 5},         // Check if trays open
    {ZpState::kWatchFirstTray, 5},        //
    {ZpState::kOpenSecondTray, 5},        //
    {ZpState::kWatchSecondTray, 5},       //
    {ZpState::kEvaluateTrays, 5},         //
    {ZpState::kLoadUpper, 6},             // Load disc to the upper tray
    {ZpState::kCloseUpper, 7},            // Upper tray close
    {ZpState::kOpenUpper, 8},             // ZP65/ZP75: Upper tray open
    {ZpState::kPickUpper, 9},             //   Pick up disc from upper tray
    {ZpState::kCloseUpperAfterPick, 10},  //   Upper tray close
    {ZpState::kFlipToLower, 11},          //   Load disc to lower tray
    {ZpState::kCloseLower, 12},           //   Lower tray close
    {ZpState::kOpenLower, 13},            //   Lower tray open
    {ZpState::kPickLower, 14},            //   Pick up disc from lower tray
    {ZpState::kCloseLowerAfterPick, 15},  //   Lower tray close
    {ZpState::kUnloadLower, 16},          //   Unload discs to output bin
    {ZpState::kPairLoadLower, 8},         // ZP61/ZP71: Load disc to the lower tray
    {ZpState::kPairCloseLower, 9},        //   Lower tray close
    {ZpState::kPairOpenTrays, 10},        //   Trays open
    {ZpState::kPairPick, 11},             //   Pick up discs
    {ZpState::kPairCloseTrays, 12},       //   Trays close
    {ZpState::kPairUnload, 13},           //   Unload discs to output bin
    {ZpState::kMotorRecovery, kResumedRow},
};
static_assert(RowsEndAt(kZpRows, ZpState::kMotorRecovery));

// Every move of the sequence. A state not listed as a `from` ends the run or waits in place; a
// handler that waits (Retry, a sensor not there yet, a silent check) acts again next cycle.
inline constexpr Transition<ZpState> kZpTransitions[] = {
    {ZpState::kDeviceInformation, ZpState::kOutputBin, Cycle::kNext},
    {ZpState::kOutputBin, ZpState::kDrivesOnline, Cycle::kNext},
    {ZpState::kDrivesOnline, ZpState::kEjectRampOut, Cycle::kNext},
    {ZpState::kEjectRampOut, ZpState::kEjectRampIn, Cycle::kNext},
    {ZpState::kEjectRampIn, ZpState::kInputBin, Cycle::kNext},
    {ZpState::kInputBin, ZpState::kOpenFirstTray, Cycle::kNext},
    {ZpState::kOpenFirstTray, ZpState::kWatchFirstTray, Cycle::kNext},
    {ZpState::kOpenFirstTray, ZpState::kOpenSecondTray, Cycle::kNext},  // no first drive letter
    {ZpState::kWatchFirstTray, ZpState::kOpenSecondTray, Cycle::kNext},
    {ZpState::kOpenSecondTray, ZpState::kWatchSecondTray, Cycle::kNext},
    {ZpState::kOpenSecondTray, ZpState::kEvaluateTrays, Cycle::kNext},  // no second drive letter
    {ZpState::kWatchSecondTray, ZpState::kEvaluateTrays, Cycle::kNext},
    // Both trays seen, or a pair model tested on the upper drive alone.
    {ZpState::kEvaluateTrays, ZpState::kLoadUpper, Cycle::kNext},
    // ZP65/ZP75 with discs already on the trays: no loading, they are picked and unloaded.
    {ZpState::kEvaluateTrays, ZpState::kCloseLower, Cycle::kNext},
    // A pair model tested on the lower drive alone.
    {ZpState::kEvaluateTrays, ZpState::kPairLoadLower, Cycle::kNext},
    {ZpState::kLoadUpper, ZpState::kCloseUpper, Cycle::kNext},
    {ZpState::kCloseUpper, ZpState::kOpenUpper, Cycle::kNext},      // ZP65/ZP75
    {ZpState::kCloseUpper, ZpState::kPairLoadLower, Cycle::kNext},  // pair, lower tray seen
    {ZpState::kCloseUpper, ZpState::kPairOpenTrays, Cycle::kNext},  // pair, no lower tray
    {ZpState::kOpenUpper, ZpState::kPickUpper, Cycle::kNext},
    {ZpState::kPickUpper, ZpState::kCloseUpperAfterPick, Cycle::kNext},
    {ZpState::kPickUpper, ZpState::kMotorRecovery, Cycle::kNext},  // Retry after a failed pick
    {ZpState::kCloseUpperAfterPick, ZpState::kFlipToLower, Cycle::kNext},
    {ZpState::kFlipToLower, ZpState::kCloseLower, Cycle::kNext},
    {ZpState::kCloseLower, ZpState::kOpenLower, Cycle::kNext},
    {ZpState::kOpenLower, ZpState::kPickLower, Cycle::kNext},
    {ZpState::kPickLower, ZpState::kCloseLowerAfterPick, Cycle::kNext},
    {ZpState::kPickLower, ZpState::kMotorRecovery, Cycle::kNext},
    {ZpState::kCloseLowerAfterPick, ZpState::kUnloadLower, Cycle::kNext},
    {ZpState::kPairLoadLower, ZpState::kPairCloseLower, Cycle::kNext},
    {ZpState::kPairCloseLower, ZpState::kPairOpenTrays, Cycle::kNext},
    {ZpState::kPairOpenTrays, ZpState::kPairPick, Cycle::kNext},
    {ZpState::kPairPick, ZpState::kPairCloseTrays, Cycle::kNext},
    {ZpState::kPairPick, ZpState::kMotorRecovery, Cycle::kNext},
    {ZpState::kPairCloseTrays, ZpState::kPairUnload, Cycle::kNext},
    // The recovery runs first in the cycle after the Retry; the pick-up follows in that cycle.
    {ZpState::kMotorRecovery, ZpState::kPickUpper, Cycle::kThis},
    {ZpState::kMotorRecovery, ZpState::kPickLower, Cycle::kThis},
    {ZpState::kMotorRecovery, ZpState::kPairPick, Cycle::kThis},
};
static_assert(CyclesAgree(kZpTransitions), "a state's number no longer gives its move's cycle");
}  // namespace zp

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
  int HighestState() const override { return StateNumber(ZpState::kMotorRecovery); }
  // Runs the state's entry of the map when StepState is that state, then hands the move it made,
  // if any, to Moved.
  void RunHandler(int state) override;
  // Every move the worker makes, after the handler that made it (the shared step patterns set
  // StepState themselves, so the move is seen here, not where it is made): a hook for tests that
  // follow the path. A move kZpTransitions does not list is noted in the run, as every family's.
  virtual void Moved(ZpState /*from*/, ZpState /*to*/) {}

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
  ZpState ResumeState = ZpState::kDeviceInformation;  // where the motor recovery hands back to
  int ResumeRow = 0;                                  // the row it reports a failure against

 private:
  // The successors a handler is given by the map, where it has more than one.
  struct OpenMoves {
    ZpState watch;    // the tray was sent out: watch for it
    ZpState noDrive;  // the drive has no letter: nothing to watch
  };
  struct TraysMoves {
    ZpState bothSeen;      // both trays opened, no disc in the way
    ZpState discsOnTrays;  // ZP65/ZP75: discs already lay there, they are unloaded instead
    ZpState upperAlone;    // a pair model goes on with the upper drive alone
    ZpState lowerAlone;    // ... or with the lower drive alone
  };
  struct PickMoves {
    ZpState next;      // picked, or the operator let the failure go
    ZpState recovery;  // Retry: the motor recovery...
    ZpState resume;    // ... which hands back to this pick-up
  };
  // One tray step: the states it wants the trays in, and which SetTrays results fail its row.
  struct TrayStep {
    int row = 0;
    bool upperOpen = false;
    bool lowerOpen = false;
    unsigned handled = 0;  // bit r set: result r fails the row
  };
  // One pick-up: its row, its motion and the trays it empties.
  struct PickUp {
    int row = 0;
    CommandBlock command{};
    bool upper = false;
    bool lower = false;
  };

  // The state map: each state's handler and where it may go. The one place a successor is named.
  void StateMap(ZpState state, int row);
  // The only write of StepState in the family's own code.
  void MoveTo(ZpState to) { StepState = StateNumber(to); }

  bool BinModel() const;
  bool PairModel() const;
  // Whether the tray that SetTrays takes for the upper (lower) drive was seen open.
  bool UpperSeen() const;
  bool LowerSeen() const;

  // The checks.
  void DeviceInformation(int row, ZpState next);
  bool TidyUpTrays();
  bool TrayStatusPasses(int row, const std::string& status);
  void FailAndEnd(int row, const char* message);
  void OutputCheck(int row, ZpState next);
  void DrivesOnline(int row, ZpState next);
  void EjectRampOut(int row, ZpState next);
  void StartTraysOpen(int row, OpenMoves moves);
  void OpenTray(char letter, OpenMoves moves);
  void NoteDisc(bool upper);
  void WatchFirstTray(ZpState next);
  void WatchSecondTray(ZpState next);
  void EvaluateTrays(int row, const TraysMoves& moves);
  void MissingDrive(int row, const char* message, ZpState next);
  void BothTraysSeen(int row, const TraysMoves& moves);

  // Tray moves, picking, unloading, motor recovery.
  void RunTrayStep(const TrayStep& step, ZpState next);
  // For a tray step: when a counted drive has left, the row fails with the drive check's words
  // ("The dual drives are not online." when the entry has none left, else "One of the dual
  // drives is not online.") and Retry/Cancel asks; Retry moves the trays again next cycle, an
  // answer that lets it go moves on to `next` without a mark. True when a drive is lost.
  bool FailIfDriveLost(int row, ZpState next);
  bool PickFailed(int row, const char* message, PickMoves moves);
  void CheckedPickStep(const PickUp& pick, PickMoves moves);
  void ReportedPickStep(const PickUp& pick, PickMoves moves);
  const char* NothingPickedMessage(const PickUp& pick);
  void PickLowerStep(int row, PickMoves moves);
  void UnloadStep(int row, const char* message);
  void MotorRecovery(int row);
};
