// The TM36P test (TTM36PThread): a disc from the input bin through the drive of the unit's
// HV22 part (link 2) and on to the printer tray of its TM36 part (link 1), with the printer-side
// steps of the TM36. The thread holds the tested entry without owning it.
#pragma once

#include "sequences/Tm36kthread.h"

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

class TTM36PThread : public TTM36Thread {
 public:
  using TTM36Thread::TTM36Thread;

 protected:
  int HighestState() const override { return 22; }
  void RunHandler(int state) override;

 private:
  // "Check if HV22 is online": the association check, then the HV22 part's information and
  // EEPROM on link 2.
  void Hv22OnlineStep();
  // True when the step goes on to the HV22 information (passed, warned, or a failure let go).
  bool Hv22Associated();
  void Hv22Information();
  // The drive tray polls after the program moved the tray: the sensor of link 2 must show it
  // out ("Tray open") or in ("Tray close") within kDriveTrayPolls cycles.
  void TrayOpenStep();
  void TrayCloseStep();
  // "Unload disc": AT+R02 puts the disc on the printer tray, which is given time to settle.
  void UnloadStep();
};
