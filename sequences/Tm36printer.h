// The printer-side steps the two TM36 families share (TTM36Thread): printer check, printing
// area, eject by printing, tray-out poll and its recovery, paper mode; and their failure words.
// The TM36K (Tm36kthread.h) and the TM36P (Tm36pthread.h) derive from it.
#pragma once

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
