// The LQ40 test (TLQ40Thread): numbered commands that carry a disc from the loading area onto
// the drive tray and out to the output area, and drive tray moves given fixed settle times. A
// failed command ends the run. The thread holds the tested entry without owning it.
#pragma once

#include <cstdint>

#include "sequences/StateMap.h"
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
// The LQ40's own words for a drive that is not there (its drive check and its tray steps).
inline constexpr const char* kDriveOffline = "RW drive is not online";
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

// The LQ40's states in the runner's numbers (each cycle runs them from the highest down).
enum class Lq40State : int {
  kDeviceInformation = 0,
  kDriveOnline = 1,
  kReadyArea = 2,
  kPickFromInput = 3,
  kOpenToLoad = 4,
  kPutOnTray = 5,
  kCloseLoaded = 6,
  kOpenToPick = 7,
  kPickFromTray = 8,
  kCloseEmpty = 9,
  kToOutput = 10,
};

// Each state beside the row of LIST_LQ40 it reports on: here state and row are one.
inline constexpr StateRow<Lq40State> kLq40Rows[] = {
    {Lq40State::kDeviceInformation, 0},  // Get device information
    {Lq40State::kDriveOnline, 1},        // Check if drive is online
    {Lq40State::kReadyArea, 2},          // Autoloader moves to the ready area
    {Lq40State::kPickFromInput, 3},      // Pick up disc from input bin
    {Lq40State::kOpenToLoad, 4},         // Tray open
    {Lq40State::kPutOnTray, 5},          // Load disc to the tray
    {Lq40State::kCloseLoaded, 6},        // Tray close
    {Lq40State::kOpenToPick, 7},         // Tray open
    {Lq40State::kPickFromTray, 8},       // Pick up disc from the tray
    {Lq40State::kCloseEmpty, 9},         // Tray close
    {Lq40State::kToOutput, 10},          // Unload disc to output bin
};
static_assert(RowsEndAt(kLq40Rows, Lq40State::kToOutput));

// Every move of the LQ40 sequence: straight down the list, each in the next cycle. A failed
// command and kToOutput end the run.
inline constexpr Transition<Lq40State> kLq40Moves[] = {
    {Lq40State::kDeviceInformation, Lq40State::kDriveOnline, Cycle::kNext},
    {Lq40State::kDriveOnline, Lq40State::kReadyArea, Cycle::kNext},
    {Lq40State::kReadyArea, Lq40State::kPickFromInput, Cycle::kNext},
    {Lq40State::kPickFromInput, Lq40State::kOpenToLoad, Cycle::kNext},
    {Lq40State::kOpenToLoad, Lq40State::kPutOnTray, Cycle::kNext},
    {Lq40State::kPutOnTray, Lq40State::kCloseLoaded, Cycle::kNext},
    {Lq40State::kCloseLoaded, Lq40State::kOpenToPick, Cycle::kNext},
    {Lq40State::kOpenToPick, Lq40State::kPickFromTray, Cycle::kNext},
    {Lq40State::kPickFromTray, Lq40State::kCloseEmpty, Cycle::kNext},
    {Lq40State::kCloseEmpty, Lq40State::kToOutput, Cycle::kNext},
};
static_assert(CyclesAgree(kLq40Moves));

class TLQ40Thread : public TDriveTrayThread {
 public:
  using TDriveTrayThread::TDriveTrayThread;

 protected:
  int HighestState() const override { return static_cast<int>(Lq40State::kToOutput); }
  // The state map: the step of each state and the successor it moves to.
  void RunHandler(int state) override;

 private:
  // One numbered command on its row: "AT+O" passes; anything else fails the row with an
  // OK-only box whose OK ends the run (a box that could not be shown lets the step pass).
  void CommandStep(int row, const CommandBlock& command, const char* message, int nextState);
  // The arm to the ready area, then the operator confirms discs in the loading area (OK goes
  // on, Cancel ends the run with the row passed).
  void ReadyAreaStep(int row, int nextState);
  // Moves the drive tray, gives it its settle time, then logs the heading and the step's line;
  // the tray's position is not tested. Without its drive (it left during the run) the row fails
  // with the drive check's words and a Retry/Cancel box; any answer but Cancel looks again.
  void TrayStep(int row, bool open, std::uint32_t settleMs, const char* line, int nextState);
  // The disc to the output area; the run ends after it in every case.
  void OutputStep(int row);
};
