// The HV22 test (THVThread): input bin to the drive tray and back out to the output bin, with
// every drive tray move made by the program and confirmed by the unit's tray sensor, and the
// recovery of a blocked pick-up. The thread holds the tested entry without owning it.
#pragma once

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
// The rows that the pick-up recovery reports on.
inline constexpr int kPickRow = 7;
}  // namespace hv22

class THVThread : public TDriveTrayThread {
 public:
  using TDriveTrayThread::TDriveTrayThread;

 protected:
  int HighestState() const override { return 15; }
  void RunHandler(int state) override;

  // Moves the drive tray (open: out) and waits for the unit's sensor to show it there: up to
  // 21 polls of AT+C00, 500 ms apart. False at once without a drive letter, after the last
  // poll without the wanted state, or when the link was lost (the run then ends).
  bool MoveTrayAndConfirm(bool open);

 private:
  void DeviceInformation();
  // A "Tray open" or "Tray close" row: the move, confirmed; a failure asks Retry/Cancel and
  // Retry repeats the whole move next cycle.
  void TrayStep(int row, bool open, const char* message, int nextState);
  void PickUpStep();
  // The pick-up recovery: close the tray, AT+R99, open the tray, all reporting on the pick-up
  // row without marks of their own; the last hands back to the pick-up in the same cycle.
  // A tray step is true when it handed over to nextState.
  bool RecoveryTrayStep(bool open, const char* message, int nextState);
  void MotorRecoveryStep();
  void UnloadStep();
};
