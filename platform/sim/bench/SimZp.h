// The ZP family's simulated unit.
#pragma once

#include "platform/sim/bench/SimFamily.h"

namespace platform::sim::units {

// --- ZP61, ZP65, ZP71, ZP75: upper and lower drive, eject ramp, output bin or ramp --------

class ZpUnit : public SimUnit {
 public:
  using SimUnit::SimUnit;

 protected:
  std::string Motion(int, const CommandKey& key) override {
    if (Is(key, 'R', 0x99)) {
      recovered_ = true;
      return "O";
    }
    if (Idle(key)) return "O";
    if (Active(ConditionKind::kMotor)) return "E";
    if (Is(key, 'R', 0x01)) return LoadTopmostOpen();
    if (Is(key, 'R', 0x04)) return FlipToLower();
    if (Is(key, 'G', 0x01) || Is(key, 'G', 0x99)) return Pick(true);
    if (Is(key, 'G', 0x04)) return Pick(false);
    if (Is(key, 'R', 0x02)) return Unload();
    if (Is(key, 'F', 0x02) || Is(key, 'F', 0x00)) {
      ejectRampOut_ = key.number == 0x02;
      return "O";
    }
    return "E";
  }

  // Sensor field, indexes 4 to 19 of the reply: recovery wanted, arm, output holds discs,
  // eject ramp out, upper tray empty ("0" = a disc on it), spare, upper tray out, lower tray
  // empty, two spares, lower tray out, output ready, spare, input bin, two spares.
  std::string Sensors(int) const override {
    const SimDrive* upper = DriveIn(DriveSlot::kUpper);
    const SimDrive* lower = DriveIn(DriveSlot::kLower);
    std::string s(16, '0');
    s[0] = Bit(RecoveryWanted());
    s[1] = Bit(arm_ > 0);
    s[2] = Bit(output_ > 0);
    s[3] = Bit(ejectRampOut_);
    s[4] = Bit(!(upper && upper->HasDisc()));
    s[6] = Bit(upper && upper->TrayOpen());
    s[7] = Bit(!(lower && lower->HasDisc()));
    s[10] = Bit(lower && lower->TrayOpen());
    s[11] = Bit(OutputReady());
    s[13] = Bit(input_ > 0);
    return s;
  }

  std::string StatusCodes() const override {
    std::string codes;
    for (const Condition& c : Bench().conditions) {
      if (c.kind == ConditionKind::kMotor && Active(ConditionKind::kMotor)) {
        codes += "{" + c.code + "}";
        break;
      }
    }
    const SimDrive* upper = DriveIn(DriveSlot::kUpper);
    const SimDrive* lower = DriveIn(DriveSlot::kLower);
    if (upper && upper->TrayOpen()) codes += "{S0010}";
    if (lower && lower->TrayOpen()) codes += "{S0011}";
    if (HasOutputBin(Bench().model)) {
      if (OutputFull()) codes += "{E0002}";
      if (Active(ConditionKind::kOutputDetached)) codes += "{S0008}";
    } else if (Active(ConditionKind::kRampClosed)) {
      codes += "{E0003}";
    }
    return codes.empty() ? "{S0000}" : codes;
  }

 private:
  bool RecoveryWanted() const { return Active(ConditionKind::kRecoveryRequest) && !recovered_; }

  bool OutputReady() const {
    return HasOutputBin(Bench().model) ? !Active(ConditionKind::kOutputDetached) && !OutputFull()
                                       : !Active(ConditionKind::kRampClosed);
  }

  static bool Open(const SimDrive* d) { return d && d->TrayOpen(); }

  std::string LoadTopmostOpen() {
    SimDrive* upper = DriveIn(DriveSlot::kUpper);
    SimDrive* target = Open(upper) ? upper : DriveIn(DriveSlot::kLower);
    if (!Open(target)) return "E";
    if (target->HasDisc()) return "S12";
    if (input_ == 0) return "E";
    target->PutDisc();
    --input_, ++loads_;
    return input_ == 0 ? "S07" : "O";
  }

  // The arm's disc (or, with an empty arm, one from the input bin) onto the lower tray.
  std::string FlipToLower() {
    SimDrive* lower = DriveIn(DriveSlot::kLower);
    if (!Open(lower)) return "E";
    if (lower->HasDisc()) return "S12";
    if (arm_ == 0 && input_ == 0) return "E";
    lower->PutDisc();
    ++loads_;
    (arm_ > 0 ? arm_ : input_) -= 1;
    return "O";
  }

  // Picks the discs of every open tray (both, or the lower one only).
  std::string Pick(bool both) {
    int picked = 0;
    for (DriveSlot slot : {DriveSlot::kUpper, DriveSlot::kLower}) {
      if (slot == DriveSlot::kUpper && !both) continue;
      SimDrive* drive = DriveIn(slot);
      if (drive && drive->TakeDisc()) ++picked;
    }
    arm_ += picked;
    return picked > 0 ? "O" : "S01";
  }

  std::string Unload() {
    if (arm_ == 0) return "E";
    if (HasOutputBin(Bench().model) && Active(ConditionKind::kOutputDetached)) return "S08";
    if (!OutputReady() || output_ + arm_ > Bench().discs.outputCapacity) return "E";
    output_ += arm_;
    arm_ = 0;
    return "O";
  }
};

}  // namespace platform::sim::units
