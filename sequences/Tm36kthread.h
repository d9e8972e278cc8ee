// The TM36K test (TTM36KThread) and the printer-side steps the two TM36 families share
// (TTM36Thread): printer check, printing area, eject by printing, tray-out poll and its
// recovery, paper mode. The threads hold the tested entry without owning it.
#pragma once

#include "sequences/StateMap.h"
#include "sequences/TrayMoves.h"

namespace tm36 {
// Failure words of the printer-side steps (the TM36P reuses them).
inline constexpr const char* kCdModeError = "An error occurs while switching to CD/DVD mode.";
inline constexpr const char* kLoadingAreaError =
    "An error occurs when tray moves to the loading area.";
inline constexpr const char* kRejectAreaError =
    "An error occurs when tray moves to the reject area.";
inline constexpr const char* kPrintingAreaError =
    "An error occurs when tray moves to the printing area.";
inline constexpr const char* kLoadError = "An error occurs while loading a disc.";
inline constexpr const char* kEjectError = "An error occurs when the printer ejects the tray.";
inline constexpr const char* kBackwardError = "An error occurs when tray backward.";
inline constexpr const char* kPaperModeError = "An error occurs while switching to paper mode.";
inline constexpr const char* kNoPrinter = "Printer is not connected.";
inline constexpr const char* kPrinterPortWarning = "An error with the printer port.";

// The printer belongs on this port of the autoloader's hub.
inline constexpr int kPrinterHomePort = 3;
// Polls of the tray sensor after the print job before the ejection counts as failed.
inline constexpr int kTrayOutPolls = 60;
// Sensor indexes of AT+C00 on link 1: a disc in the input bin; the printer tray (0 = out).
inline constexpr std::size_t kInputBinSensor = 5;
inline constexpr std::size_t kPrinterTraySensor = 12;
}  // namespace tm36

// The printer side of a TM36. Each step takes the row it reports on and the states it leads
// to, so that the TM36K and the TM36P place them in their own state maps. All on link 1. The
// drive steps come along for the TM36P, whose HV22 part has a drive; the TM36K has none.
class TTM36Thread : public TDriveTrayThread {
 protected:
  using TDriveTrayThread::TDriveTrayThread;

  // "Check if printer is online": one printer on port 3 passes, another port warns, none or
  // several fail with a Retry/Cancel box (Retry checks the entry again as it then stands).
  void PrinterOnlineStep(int row, const char* severalPrinters, int nextState);
  // "Tray moves to printing area": AT+T02; a retry after "AT+E" queries first.
  void TrayToPrintingStep(int row, int nextState);
  // Prints an empty document on the claimed printer, which draws the tray in and ejects it.
  // Tests nothing: a queue that cannot be selected or a job that cannot start shows as a tray
  // that never comes out in the next step.
  void EjectTrayByPrinting(int nextState);
  // "Check if tray opens": polls until the printer tray is out; after kTrayOutPolls misses the
  // row fails with an OK-only box and the run takes the recovery at recoveryState.
  void TrayOutStep(int row, int nextState, int recoveryState);
  // Recovery after a tray that did not come out: AT+M02 (tray backward), then AT+T00; both
  // report on the tray-out row without a heading or a passed mark. The second hands over to
  // nextState with a fresh heading.
  void TrayBackwardStep(int row, int nextState);
  void TrayHomeStep(int row, int nextState);
  // "Switch to paper mode": AT+P00; the run ends after it unless the operator retries.
  void PaperModeStep(int row);
};

// The TM36K's states in the runner's numbers (each cycle runs them from the highest down).
enum class Tm36kState : int {
  kDeviceInformation = 0,
  kPrinterOnline = 1,
  kCdMode = 2,
  kToLoadingArea = 3,
  kInputBin = 4,
  kLoadDisc = 5,
  kToPrintingArea = 6,
  kEjectByPrinting = 7,
  kTrayOut = 8,
  kToRejectArea = 9,
  kBackToLoadingArea = 10,
  kPaperMode = 11,
  kTrayBackward = 12,  // the recovery after a tray that did not come out
  kTrayHome = 13,
};

// Each state beside the row of LIST_TM36K it reports on.
inline constexpr StateRow<Tm36kState> kTm36kRows[] = {
    {Tm36kState::kDeviceInformation, 0},     // Get device information
    {Tm36kState::kPrinterOnline, 1},         // Check if printer is online
    {Tm36kState::kCdMode, 2},                // Switch to CD/DVD mode
    {Tm36kState::kToLoadingArea, 3},         // Tray moves to the loading area
    {Tm36kState::kInputBin, 4},              // Check disc in the input bin
    {Tm36kState::kLoadDisc, 5},              // Load disc to the tray
    {Tm36kState::kToPrintingArea, 6},        // Tray moves to printing area
    {Tm36kState::kEjectByPrinting, kNoRow},  // the print job: kTrayOut judges it on row 7
    {Tm36kState::kTrayOut, 7},               // Check if tray opens
    {Tm36kState::kToRejectArea, 8},          // Tray moves to reject area
    {Tm36kState::kBackToLoadingArea, 9},     // Tray moves to loading area
    {Tm36kState::kPaperMode, 10},            // Switch to paper mode
    {Tm36kState::kTrayBackward, 7},          // row 7 again, hidden: no heading, no mark
    {Tm36kState::kTrayHome, 7},              // row 7 again, hidden: no heading, no mark
};
static_assert(RowsEndAt(kTm36kRows, Tm36kState::kTrayHome));

// Every move of the TM36K sequence. kPaperMode ends the run.
inline constexpr Transition<Tm36kState> kTm36kMoves[] = {
    {Tm36kState::kDeviceInformation, Tm36kState::kPrinterOnline, Cycle::kNext},
    {Tm36kState::kPrinterOnline, Tm36kState::kCdMode, Cycle::kNext},
    {Tm36kState::kCdMode, Tm36kState::kToLoadingArea, Cycle::kNext},
    {Tm36kState::kToLoadingArea, Tm36kState::kInputBin, Cycle::kNext},
    {Tm36kState::kInputBin, Tm36kState::kLoadDisc, Cycle::kNext},
    {Tm36kState::kLoadDisc, Tm36kState::kToPrintingArea, Cycle::kNext},
    {Tm36kState::kToPrintingArea, Tm36kState::kEjectByPrinting, Cycle::kNext},
    {Tm36kState::kEjectByPrinting, Tm36kState::kTrayOut, Cycle::kNext},
    {Tm36kState::kTrayOut, Tm36kState::kToRejectArea, Cycle::kNext},
    {Tm36kState::kTrayOut, Tm36kState::kTrayBackward, Cycle::kNext},  // the tray stayed in
    {Tm36kState::kToRejectArea, Tm36kState::kBackToLoadingArea, Cycle::kNext},
    {Tm36kState::kBackToLoadingArea, Tm36kState::kPaperMode, Cycle::kNext},
    {Tm36kState::kTrayBackward, Tm36kState::kTrayHome, Cycle::kNext},
    // Recovered: the reject area runs in the same cycle, under a fresh heading.
    {Tm36kState::kTrayHome, Tm36kState::kToRejectArea, Cycle::kThis},
};
static_assert(CyclesAgree(kTm36kMoves));

class TTM36KThread : public TTM36Thread {
 public:
  using TTM36Thread::TTM36Thread;

 protected:
  int HighestState() const override { return static_cast<int>(Tm36kState::kTrayHome); }
  // The state map: the step of each state and the successors it may move to.
  void RunHandler(int state) override;
};
