// The LQ40 family's simulated unit.
#pragma once

#include "platform/sim/bench/SimFamily.h"

namespace platform::sim::units {

// --- LQ40: numbered commands, one drive ---------------------------------------------------

class Lq40Unit : public SimUnit {
 public:
  using SimUnit::SimUnit;

 protected:
  std::string Motion(int, const CommandKey&) override { return "E"; }
  std::string Sensors(int) const override { return "000000000"; }

  // 1 identification (exactly four chunks), 12 arm to the ready area, 3 pick from the input,
  // 5 put on the tray, 4 pick from the tray, 6 unload to the output; 2 and 9 do nothing.
  Reply Numbered(int link, int number) override {
    if (number == 1) {
      const std::string serial = Serial(link).empty() ? "-" : Serial(link);
      return {LinkDevice(link).description, Bench().links[0].firmware, serial, "OK AT+O"};
    }
    return Status(Act(number));
  }

 private:
  std::string Act(int number) {
    SimDrive* drive = DriveIn(DriveSlot::kOnly);
    switch (number) {
      case 2:
      case 9:
      case 12:
        return "O";
      case 3:
        if (input_ == 0 || arm_ > 0) return "E";
        --input_, ++arm_;
        return "O";
      case 5:
        if (arm_ == 0 || !drive || !drive->PutDisc()) return "E";
        --arm_, ++loads_;
        return "O";
      case 4:
        if (arm_ > 0 || !drive || !drive->TakeDisc()) return "E";
        ++arm_;
        return "O";
      case 6:
        if (arm_ == 0 || OutputFull()) return "E";
        --arm_, ++output_;
        return "O";
      default:
        return "E";
    }
  }
};

}  // namespace platform::sim::units
