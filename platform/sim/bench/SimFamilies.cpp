// The model families' motions and sensors. Status replies: "O" done, "E" device error, "S07"
// loaded the input bin's last disc, "S12" the tray to load already holds a disc (or, on the
// HV22, the arm is blocked by a closed tray or jammed), "S01" a pick-up found no disc, "S08" the
// output bin is not attached.
#include "platform/sim/bench/SimUnit.h"

namespace platform::sim {
namespace {

bool Is(const CommandKey& key, char letter, std::uint8_t number) {
  return key.letter == letter && key.number == number;
}

// Commands that no sequence sends but the catalogue defines: accepted and ignored.
bool Idle(const CommandKey& key) {
  return Is(key, 'M', 0x01) || Is(key, 'I', 0x08) || Is(key, 'I', 0x99);
}

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

// The simulated unit of each family of the catalogue, by its family.
struct SimFamily {
  models::WorkerClass family;
  SimUnit* (*make)(const BenchModel&, int, const std::vector<SimDrive*>&, const SimUnit::Clock&);
};

template <class Unit>
SimUnit* MakeUnit(const BenchModel& bench, int index, const std::vector<SimDrive*>& drives,
                  const SimUnit::Clock& now) {
  return new Unit(bench, index, drives, now);
}

constexpr SimFamily kSimFamilies[] = {
    {models::WorkerClass::kTM36K, MakeUnit<Tm36Unit>},
    {models::WorkerClass::kTM36P, MakeUnit<Tm36Unit>},
    {models::WorkerClass::kHV, MakeUnit<Hv22Unit>},
    {models::WorkerClass::kLQ40, MakeUnit<Lq40Unit>},
    {models::WorkerClass::kZP, MakeUnit<ZpUnit>},
};
static_assert(models::CoversFamilies(kSimFamilies), "one simulated unit for each family");

}  // namespace

std::unique_ptr<SimUnit> SimUnit::Make(const BenchModel& bench, int index,
                                       const std::vector<SimDrive*>& drives, const Clock& now) {
  const models::WorkerClass family = bench.units.at(index).model->worker;
  for (const SimFamily& row : kSimFamilies) {
    if (row.family == family) return std::unique_ptr<SimUnit>(row.make(bench, index, drives, now));
  }
  return nullptr;
}

}  // namespace platform::sim
