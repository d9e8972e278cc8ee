// The TM36 families' simulated unit (TM36K and TM36P).
#pragma once

#include "platform/sim/bench/SimHv22.h"

namespace platform::sim::units {

// --- TM36K and TM36P: printer tray between loading, printing and reject areas -------------
// A TM36P carries an HV22 part on link 2 whose output is the printer tray.

class Tm36Unit : public Hv22Unit {
 public:
  using Hv22Unit::Hv22Unit;

 protected:
  std::string Motion(int link, const CommandKey& key) override {
    if (link == 2) return Hv22Unit::Motion(link, key);
    if (Is(key, 'P', 0x01) || Is(key, 'P', 0x00)) return Mode(key.number == 0x01);
    if (Is(key, 'T', 0x00)) return MoveTray(PrinterTray::kLoading);
    if (Is(key, 'T', 0x02)) return MoveTray(PrinterTray::kPrinting);
    if (Is(key, 'T', 0x01)) return MoveTray(PrinterTray::kReject);
    if (Is(key, 'M', 0x02)) return MoveTray(PrinterTray::kPrinting);  // tray backward
    if (Is(key, 'R', 0x01)) return LoadPast();
    if (Idle(key)) return "O";
    return "E";
  }

  // Sensor field: arm, input bin, tray at loading / printing / reject area, disc on the tray,
  // CD/DVD mode, reject area holds discs, and "0" once the printer has ejected the tray.
  std::string Sensors(int link) const override {
    if (link == 2) return Hv22Unit::Sensors(link);
    const PrinterTray t = printerTray_;
    return {Bit(arm_ > 0),
            Bit(input_ > 0),
            Bit(t == PrinterTray::kLoading),
            Bit(t == PrinterTray::kPrinting),
            Bit(t == PrinterTray::kReject),
            Bit(printerDisc_),
            Bit(cdMode_),
            Bit(reject_ > 0),
            Bit(t != PrinterTray::kOut)};
  }

  std::string UnloadArm() override {
    if (arm_ == 0 || !TrayReady()) return "E";
    if (printerDisc_) return "S12";
    --arm_;
    printerDisc_ = true;
    return "O";
  }

  std::string LoadPast() override {
    if (!TrayReady() || !cdMode_) return "E";
    if (printerDisc_) return "S12";
    if (input_ == 0) return "E";
    printerDisc_ = true;
    return TakeInput();
  }

 private:
  bool TrayReady() const { return printerTray_ == PrinterTray::kLoading; }

  std::string Mode(bool cd) {
    cdMode_ = cd;
    return "O";
  }

  // At the reject area the disc slides off the tray.
  std::string MoveTray(PrinterTray to) {
    printerTray_ = to;
    if (to == PrinterTray::kReject && printerDisc_) {
      printerDisc_ = false;
      ++reject_;
    }
    return "O";
  }
};

}  // namespace platform::sim::units
