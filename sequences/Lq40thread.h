// The LQ40 test (TLQ40Thread): numbered commands that carry a disc from the loading area onto
// the drive tray and out to the output area, and drive tray moves given fixed settle times. A
// failed command ends the run. The thread holds the tested entry without owning it.
#pragma once

#include <cstdint>

#include "sequences/TrayMoves.h"

namespace lq40 {
inline constexpr const char* kDeviceError = "An error occurs with Tandro";
inline constexpr const char* kReadyAreaError =
    "An error occurs when autoloader moves to the waiting area.";
inline constexpr const char* kPickInputError =
    "An error occurs when autoloader picks up a disc from the loading area.";
inline constexpr const char* kPutOnTrayError =
    "An error occurs when a disc is unloaded to the tray.";
inline constexpr const char* kPickTrayError =
    "An error occurs when autoloader picks up a disc from the tray.";
inline constexpr const char* kOutputError =
    "An error occurs when autoloader unloads a disc in the output area.";
inline constexpr const char* kSupplyLoadingArea = "Supply the loading area with discs.";
inline constexpr const char* kInformationCaption = "Information";
inline constexpr const char* kTrayOutLine = "LQ40_TrayOut = OK";
inline constexpr const char* kTrayInLine = "LQ40_TrayIn = OK";
// Settle times after the tray moves: open to load, close, open to pick up, the last close.
inline constexpr std::uint32_t kLoadOpenSettleMs = 2000;
inline constexpr std::uint32_t kCloseSettleMs = 2000;
inline constexpr std::uint32_t kPickOpenSettleMs = 4000;
inline constexpr std::uint32_t kLastCloseSettleMs = 500;
}  // namespace lq40

class TLQ40Thread : public TDriveTrayThread {
 public:
  using TDriveTrayThread::TDriveTrayThread;

 protected:
  int HighestState() const override { return 10; }
  void RunHandler(int state) override;

 private:
  // One numbered command on row `state`: "AT+O" passes; anything else fails the row with an
  // OK-only box whose OK ends the run (a box that could not be shown lets the step pass).
  void CommandStep(int state, const CommandBlock& command, const char* message);
  // The arm to the ready area, then the operator confirms discs in the loading area (OK goes
  // on, Cancel ends the run with the row passed).
  void ReadyAreaStep();
  // Moves the drive tray, gives it its settle time, then logs the heading and the step's line;
  // the tray's position is not tested.
  void TrayStep(int state, bool open, std::uint32_t settleMs, const char* line);
  // The disc to the output area; the run ends after it in every case.
  void OutputStep();
};
