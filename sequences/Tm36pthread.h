// The TM36P test (TTM36PThread): a disc from the input bin through the drive of the unit's
// HV22 part (link 2) and on to the printer tray of its TM36 part (link 1), with the printer-side
// steps of the TM36. The thread holds the tested entry without owning it.
#pragma once

#include "sequences/StateMap.h"
#include "sequences/Tm36printer.h"

namespace tm36p {
inline constexpr const char* kDeviceError = "An error occurs with TM36P.";
inline constexpr const char* kSeveralPrinters =
    "Support one printer only, please unplug another printers.";
inline constexpr const char* kSeveralHv22 =
    "Support one HV22 only, please unplug other HV22 devices.";
inline constexpr const char* kNoHv22 = "HV22 is not online.";
inline constexpr const char* kHv22PortWarning = "An error with HV22 port.";
inline constexpr const char* kHv22Error = "An error occurs with HV22 of TM36P.";
inline constexpr const char* kTrayOpenError = "An error occurs when tray opens.";
inline constexpr const char* kTrayCloseError = "An error occurs when tray closes up.";
inline constexpr const char* kPickError = "An error occurs while picking up a disc.";
inline constexpr const char* kUnloadError = "An error occurs while unloading a disc.";

// The HV22 part belongs on port 1 or 2 of the TM36's hub.
inline constexpr int kHv22LastGoodPort = 2;
// Polls of the drive tray sensor (link 2) before a tray move counts as not made.
inline constexpr int kDriveTrayPolls = 20;
// How long the disc unloaded onto the printer tray is given to settle there.
inline constexpr std::uint32_t kUnloadSettleMs = 700;
}  // namespace tm36p

// The TM36P's states in the runner's numbers (each cycle runs them from the highest down).
enum class Tm36pState : int {
  kDeviceInformation = 0,
  kPrinterOnline = 1,
  kHv22Online = 2,
  kDriveOnline = 3,
  kCdMode = 4,
  kToLoadingArea = 5,
  kInputBin = 6,
  kOpenDriveTray = 7,
  kTrayOpen = 8,
  kLoadOntoDriveTray = 9,
  kPickUp = 10,
  kCloseDriveTray = 11,
  kTrayClose = 12,
  kUnload = 13,
  kToPrintingArea = 14,
  kEjectByPrinting = 15,
  kTrayOut = 16,
  kToRejectArea = 17,
  kBackToLoadingArea = 18,
  kPaperMode = 19,
  kLoadOntoPrinterTray = 20,  // the drive bypassed: AT+R90 from the input bin
  kTrayBackward = 21,         // the recovery after a tray that did not come out
  kTrayHome = 22,
};

// Each state beside the row of LIST_TM36P it reports on.
inline constexpr StateRow<Tm36pState> kTm36pRows[] = {
    {Tm36pState::kDeviceInformation, 0},     // Get device information
    {Tm36pState::kPrinterOnline, 1},         // Check if printer is online
    {Tm36pState::kHv22Online, 2},            // Check if HV22 is online
    {Tm36pState::kDriveOnline, 3},           // Check if drive is online
    {Tm36pState::kCdMode, 4},                // Switch to CD/DVD mode
    {Tm36pState::kToLoadingArea, 5},         // Tray moves to the loading area
    {Tm36pState::kInputBin, 6},              // Check disc in the input bin
    {Tm36pState::kOpenDriveTray, kNoRow},    // the move: kTrayOpen judges it on row 7
    {Tm36pState::kTrayOpen, 7},              // Tray open
    {Tm36pState::kLoadOntoDriveTray, 8},     // Load disc to the tray
    {Tm36pState::kPickUp, 9},                // Pick up disc
    {Tm36pState::kCloseDriveTray, kNoRow},   // the move: kTrayClose judges it on row 10
    {Tm36pState::kTrayClose, 10},            // Tray close
    {Tm36pState::kUnload, 11},               // Unload disc
    {Tm36pState::kToPrintingArea, 12},       // Tray moves to printing area
    {Tm36pState::kEjectByPrinting, kNoRow},  // the print job: kTrayOut judges it on row 13
    {Tm36pState::kTrayOut, 13},              // Check if tray opens
    {Tm36pState::kToRejectArea, 14},         // Tray moves to reject area
    {Tm36pState::kBackToLoadingArea, 15},    // Tray moves to loading area
    {Tm36pState::kPaperMode, 16},            // Switch to paper mode
    {Tm36pState::kLoadOntoPrinterTray, 8},   // row 8 again: the load, with its own heading
    {Tm36pState::kTrayBackward, 13},         // row 13 again, hidden: no heading, no mark
    {Tm36pState::kTrayHome, 13},             // row 13 again, hidden: no heading, no mark
};
static_assert(RowsEndAt(kTm36pRows, Tm36pState::kTrayHome));

// Every move of the TM36P sequence. kPaperMode ends the run.
inline constexpr Transition<Tm36pState> kTm36pMoves[] = {
    {Tm36pState::kDeviceInformation, Tm36pState::kPrinterOnline, Cycle::kNext},
    {Tm36pState::kPrinterOnline, Tm36pState::kHv22Online, Cycle::kNext},
    {Tm36pState::kHv22Online, Tm36pState::kDriveOnline, Cycle::kNext},
    {Tm36pState::kDriveOnline, Tm36pState::kCdMode, Cycle::kNext},
    {Tm36pState::kCdMode, Tm36pState::kToLoadingArea, Cycle::kNext},
    {Tm36pState::kToLoadingArea, Tm36pState::kInputBin, Cycle::kNext},
    {Tm36pState::kInputBin, Tm36pState::kOpenDriveTray, Cycle::kNext},
    {Tm36pState::kOpenDriveTray, Tm36pState::kTrayOpen, Cycle::kNext},
    {Tm36pState::kTrayOpen, Tm36pState::kLoadOntoDriveTray, Cycle::kNext},
    // Try Again: the tray is opened again in this cycle, then polled afresh.
    {Tm36pState::kTrayOpen, Tm36pState::kOpenDriveTray, Cycle::kThis},
    // Continue: the disc goes straight onto the printer tray.
    {Tm36pState::kTrayOpen, Tm36pState::kLoadOntoPrinterTray, Cycle::kNext},
    {Tm36pState::kLoadOntoDriveTray, Tm36pState::kPickUp, Cycle::kNext},
    {Tm36pState::kPickUp, Tm36pState::kCloseDriveTray, Cycle::kNext},
    {Tm36pState::kCloseDriveTray, Tm36pState::kTrayClose, Cycle::kNext},
    {Tm36pState::kTrayClose, Tm36pState::kUnload, Cycle::kNext},
    // Retry: the tray is closed again in this cycle.
    {Tm36pState::kTrayClose, Tm36pState::kCloseDriveTray, Cycle::kThis},
    {Tm36pState::kUnload, Tm36pState::kToPrintingArea, Cycle::kNext},
    {Tm36pState::kToPrintingArea, Tm36pState::kEjectByPrinting, Cycle::kNext},
    {Tm36pState::kEjectByPrinting, Tm36pState::kTrayOut, Cycle::kNext},
    {Tm36pState::kTrayOut, Tm36pState::kToRejectArea, Cycle::kNext},
    {Tm36pState::kTrayOut, Tm36pState::kTrayBackward, Cycle::kNext},  // the tray stayed in
    {Tm36pState::kToRejectArea, Tm36pState::kBackToLoadingArea, Cycle::kNext},
    {Tm36pState::kBackToLoadingArea, Tm36pState::kPaperMode, Cycle::kNext},
    {Tm36pState::kLoadOntoPrinterTray, Tm36pState::kToPrintingArea, Cycle::kThis},
    {Tm36pState::kTrayBackward, Tm36pState::kTrayHome, Cycle::kNext},
    // Recovered: the reject area runs in the same cycle, under a fresh heading.
    {Tm36pState::kTrayHome, Tm36pState::kToRejectArea, Cycle::kThis},
};
static_assert(CyclesAgree(kTm36pMoves));

class TTM36PThread : public TTM36Thread {
 public:
  using TTM36Thread::TTM36Thread;

 protected:
  int HighestState() const override { return static_cast<int>(Tm36pState::kTrayHome); }
  // The state map: the step of each state and the successors it may move to.
  void RunHandler(int state) override;

 private:
  // "Check if HV22 is online": the association check, then the HV22 part's information and
  // EEPROM on link 2, then nextState.
  void Hv22OnlineStep(int row, int nextState);
  // True when the step goes on to the HV22 information (passed, warned, or a failure let go).
  bool Hv22Associated(int row);
  void Hv22Information(int nextState);
  // One poll of the HV22 drive's tray sensor for `wanted` ('1' out, '0' in): seen, the row
  // passes and the run moves to `seen`. True only when the polls ran out: the caller fails the
  // row and asks.
  bool DriveTrayTimedOut(int row, char wanted, int seen);
  // The drive tray polls after the program moved the tray: the sensor of link 2 must show it
  // out ("Tray open") or in ("Tray close") within kDriveTrayPolls cycles. Seen goes to
  // `seen`; after the failure's box, Try Again (open) or Retry (close) goes to `again`, and
  // Continue (open) to `skipDrive`.
  void TrayOpenStep(int row, int seen, int again, int skipDrive);
  void TrayCloseStep(int row, int seen, int again);
  // "Unload disc": AT+R02 puts the disc on the printer tray, which is given time to settle.
  void UnloadStep(int row, int nextState);
};
