// The TM36K test (TTM36KThread), on the printer-side steps of the TM36 (Tm36printer.h). The
// thread holds the tested entry without owning it.
#pragma once

#include "sequences/StateMap.h"
#include "sequences/Tm36printer.h"

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
