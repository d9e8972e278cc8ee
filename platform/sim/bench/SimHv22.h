// The HV22 family's simulated unit (and the HV22 part a TM36P carries on link 2).
#pragma once

#include "platform/sim/bench/SimFamily.h"

namespace platform::sim::units {

// --- HV22: one drive, input bin, arm, output bin ------------------------------------------

class Hv22Unit : public SimUnit {
 public:
  using SimUnit::SimUnit;

 protected:
  std::string Motion(int link, const CommandKey& key) override {
    (void)link;
    if (Is(key, 'R', 0x01)) return LoadTray();
    if (Is(key, 'G', 0x01)) return PickFromTray();
    if (Is(key, 'R', 0x02)) return UnloadArm();
    if (Is(key, 'R', 0x90)) return LoadPast();
    if (Is(key, 'R', 0x99)) {
      recovered_ = true;  // frees a jammed arm
      return "O";
    }
    if (Idle(key)) return "O";
    return "E";
  }

  // Sensor field: arm, input bin, output bin, disc on the drive tray, spare, drive tray out,
  // three spares. Indexes 4 to 12 of the reply.
  std::string Sensors(int) const override {
    const SimDrive* drive = DriveIn(DriveSlot::kOnly);
    const bool disc = drive && drive->HasDisc();
    const bool out = drive && drive->TrayOpen();
    return {
        Bit(arm_ > 0), Bit(input_ > 0), Bit(output_ > 0), Bit(disc), '0', Bit(out), '0', '0', '0'};
  }

  // Where the arm's disc goes on AT+R02; the TM36P hands it to its printer tray.
  virtual std::string UnloadArm() {
    if (arm_ == 0 || OutputFull()) return "E";
    --arm_;
    ++output_;
    return "O";
  }
  // AT+R90: straight from the input bin past the drive; only a TM36P has somewhere to put it.
  virtual std::string LoadPast() { return "E"; }

  std::string TakeInput() {
    --input_;
    ++loads_;
    return input_ == 0 ? "S07" : "O";
  }

 private:
  std::string LoadTray() {
    SimDrive* drive = DriveIn(DriveSlot::kOnly);
    if (!drive || !drive->TrayOpen() || arm_ > 0) return "E";
    if (drive->HasDisc()) return "S12";
    if (input_ == 0) return "E";
    drive->PutDisc();
    return TakeInput();
  }

  std::string PickFromTray() {
    SimDrive* drive = DriveIn(DriveSlot::kOnly);
    if (!drive || arm_ > 0) return "E";
    if (!drive->TrayOpen() || PickBlocked()) return "S12";
    if (!drive->TakeDisc()) return "S01";
    ++arm_;
    return "O";
  }

  // A jammed arm stays blocked until a motor recovery (AT+R99).
  bool PickBlocked() const { return Active(ConditionKind::kPickBlocked) && !recovered_; }
};

}  // namespace platform::sim::units
