// The HV22 test (THVThread): input bin to the drive tray and back out to the output bin, with
// every drive tray move made by the program and confirmed by the unit's tray sensor, and the
// recovery of a blocked pick-up. The thread holds the tested entry without owning it.
#pragma once

#include "sequences/StateMap.h"
#include "sequences/TrayMoves.h"

namespace hv22 {
inline constexpr const char* kMotorError = "An error occurs with the motor.";
inline constexpr const char* kTrayOpenError = "An error occurs when the tray opens.";
inline constexpr const char* kTrayCloseError = "An error occurs when the tray closes up.";
inline constexpr const char* kPickBlockedError = "An error occurs when pick up disc.";
inline constexpr const char* kPickError = "An error occurs when the tray picks up a disc.";
inline constexpr const char* kUnloadError =
    "An error occurs while unloading a disc to the output bin.";
inline constexpr const char* kUsb3Line = "use USB 3.0 Connection.";
// Sensor polls after a tray move before it counts as not made, one per 500 ms.
inline constexpr int kTrayConfirmPolls = 21;
inline constexpr unsigned kTrayConfirmPauseMs = 500;
// Sensor index of AT+C00: a disc in the input bin.
inline constexpr std::size_t kInputBinSensor = 5;
}  // namespace hv22

// The HV22's states in the runner's numbers (each cycle runs them from the highest down).
enum class Hv22State : int {
  kDeviceInformation = 0,
  kDriveOnline = 1,
  kInputBin = 2,
  kOpenToLoad = 3,
  kLoadOntoTray = 4,
  kCloseLoaded = 5,
  kOpenToPick = 6,
  kPickUp = 7,
  kCloseEmpty = 8,
  kUnload = 9,
  kRecoveryClose = 10,  // the recovery of a blocked pick-up
  kRecoveryMotor = 11,
  kRecoveryOpen = 12,
};

// Each state beside the row of LIST_HV22 it reports on.
inline constexpr StateRow<Hv22State> kHv22Rows[] = {
    {Hv22State::kDeviceInformation, 0},  // Get device information
    {Hv22State::kDriveOnline, 1},        // Check if drive is online
    {Hv22State::kInputBin, 2},           // Check disc in the input bin
    {Hv22State::kOpenToLoad, 3},         // Tray open
    {Hv22State::kLoadOntoTray, 4},       // Load disc to the tray
    {Hv22State::kCloseLoaded, 5},        // Tray close
    {Hv22State::kOpenToPick, 6},         // Tray open
    {Hv22State::kPickUp, 7},             // Pick up disc from the tray
    {Hv22State::kCloseEmpty, 8},         // Tray close
    {Hv22State::kUnload, 9},             // Unload disc to output bin
    {Hv22State::kRecoveryClose, 7},      // row 7 again, hidden: no heading, no mark
    {Hv22State::kRecoveryMotor, 7},      // row 7 again, hidden: no heading, no mark
    {Hv22State::kRecoveryOpen, 7},       // row 7 again, hidden: no heading, no mark
};
static_assert(RowsEndAt(kHv22Rows, Hv22State::kRecoveryOpen));

// Every move of the HV22 sequence. kUnload ends the run.
inline constexpr Transition<Hv22State> kHv22Moves[] = {
    {Hv22State::kDeviceInformation, Hv22State::kDriveOnline, Cycle::kNext},
    {Hv22State::kDriveOnline, Hv22State::kInputBin, Cycle::kNext},
    {Hv22State::kInputBin, Hv22State::kOpenToLoad, Cycle::kNext},
    {Hv22State::kOpenToLoad, Hv22State::kLoadOntoTray, Cycle::kNext},
    {Hv22State::kLoadOntoTray, Hv22State::kCloseLoaded, Cycle::kNext},
    {Hv22State::kCloseLoaded, Hv22State::kOpenToPick, Cycle::kNext},
    {Hv22State::kOpenToPick, Hv22State::kPickUp, Cycle::kNext},
    {Hv22State::kPickUp, Hv22State::kCloseEmpty, Cycle::kNext},
    {Hv22State::kPickUp, Hv22State::kRecoveryClose, Cycle::kNext},  // blocked arm, Retry
    {Hv22State::kCloseEmpty, Hv22State::kUnload, Cycle::kNext},
    {Hv22State::kRecoveryClose, Hv22State::kRecoveryMotor, Cycle::kNext},
    {Hv22State::kRecoveryMotor, Hv22State::kRecoveryOpen, Cycle::kNext},
    // Recovered: the pick-up runs again in the same cycle, under the heading it logged.
    {Hv22State::kRecoveryOpen, Hv22State::kPickUp, Cycle::kThis},
};
static_assert(CyclesAgree(kHv22Moves));

class THVThread : public TDriveTrayThread {
 public:
  using TDriveTrayThread::TDriveTrayThread;

 protected:
  int HighestState() const override { return static_cast<int>(Hv22State::kRecoveryOpen); }
  // The state map: the step of each state and the successors it may move to.
  void RunHandler(int state) override;

  // Moves the drive tray (open: out) and waits for the unit's sensor to show it there: up to
  // 21 polls of AT+C00, 500 ms apart. False at once without a drive letter, after the last
  // poll without the wanted state, or when the link was lost (the run then ends).
  bool MoveTrayAndConfirm(bool open);
  // A tray step's move: confirmed, and the entry still has its drive letter. A tray step that
  // fails it says its own words (the tray opens, closes up), the drive gone or not.
  bool TrayMoved(bool open);

 private:
  // "Get device information": the drive tray tidied, the status query, information and EEPROM.
  void DeviceInformation(int row, int nextState);
  // A "Tray open" or "Tray close" row: the move, confirmed; a failure asks Retry/Cancel and
  // Retry repeats the whole move next cycle.
  void TrayStep(int row, bool open, const char* message, int nextState);
  // "Pick up disc from the tray": passed goes to `picked`; a blocked arm ("AT+S12") whose box
  // is answered Retry goes to `recovery`.
  void PickUpStep(int row, int picked, int recovery);
  // The pick-up recovery: close the tray, AT+R99, open the tray, all reporting on the pick-up
  // row without marks of their own. A tray step is true when it handed over to nextState.
  bool RecoveryTrayStep(int row, bool open, const char* message, int nextState);
  void MotorRecoveryStep(int row, int nextState);
  void UnloadStep(int row);
};
