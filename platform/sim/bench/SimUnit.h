// A simulated autoloader: its physical state and the common command handling (identification,
// device information, EEPROM, sensor framing, scripted replies); one subclass per model family
// adds its motions and sensors. Owned by SimBench and used only with the bench's lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/bench/BenchModel.h"
#include "platform/sim/bench/SimDrive.h"

namespace platform::sim {

using Reply = std::vector<std::string>;  // the chunks, in order; each at most 64 bytes

// Where the printer tray of a TM36 stands.
enum class PrinterTray { kLoading, kPrinting, kReject, kOut };

// What a unit holds, for tests and status displays.
struct UnitSnapshot {
  int input = 0;
  int arm = 0;
  int output = 0;
  int reject = 0;
  bool printerDisc = false;
  PrinterTray printerTray = PrinterTray::kLoading;
  bool cdMode = false;
  int commands = 0;  // command blocks taken in, both links
  int printJobs = 0;
};

class SimUnit {
 public:
  using Clock = std::function<std::int64_t()>;

  // drives: the unit's drives in the order of its bench entry (already made by the bench).
  static std::unique_ptr<SimUnit> Make(const BenchModel& bench, int index,
                                       const std::vector<SimDrive*>& drives, const Clock& now);
  virtual ~SimUnit() = default;

  const BenchUnit& Bench() const { return unit_; }

  // Takes one 8-byte command block on link 1 or 2 and returns its reply (empty while silent or
  // babbling). Counts the command for scripted faults.
  Reply Command(int link, const std::uint8_t* block);
  // True while the unit babbles: every read gives a chunk without "AT+".
  bool Babbling() const;
  // True while no read of the unit's pipes completes (its commands get no reply).
  bool ReadsHang() const;
  int CommandCount() const { return commands_; }

  // A print job reached the unit's printer: the printer draws the tray in and ejects it.
  void PrintJob();
  void AddDiscs(int count) { input_ += count; }
  // Discs inside the unit (input, arm, output, reject, printer tray); drives count apart.
  int HeldDiscs() const { return input_ + arm_ + output_ + reject_ + (printerDisc_ ? 1 : 0); }
  UnitSnapshot Snapshot() const;
  // Whether a scripted fault holds the tray of drive `letter` from moving `open`.
  bool TrayHeld(char letter, bool open) const;

  // Use Make; public so that the family classes can inherit it.
  SimUnit(const BenchModel& bench, int index, std::vector<SimDrive*> drives, Clock now);

 protected:
  // The family's answer to a motion or mode command: the status after "AT+" ("O", "E",
  // "S07", ...). Unknown commands answer "E".
  virtual std::string Motion(int link, const CommandKey& key) = 0;
  // The sensor characters of AT+C00 (9 for the TM36 and HV22, 16 for the ZP family).
  virtual std::string Sensors(int link) const = 0;
  // Status codes carried by the AT+? reply ("{S0000}" when nothing to report).
  virtual std::string StatusCodes() const { return "{S0000}"; }
  // LQ40 numbered commands; other families do not know them.
  virtual Reply Numbered(int link, int number);

  bool Active(ConditionKind kind) const;
  bool OutputFull() const;
  SimDrive* DriveIn(DriveSlot slot) const;
  static char Bit(bool on) { return on ? '1' : '0'; }
  static Reply Status(const std::string& code) { return {"OK AT+" + code}; }

  Reply Identification(int link) const;
  const std::string& Serial(int link) const;
  const BenchDevice& LinkDevice(int link) const;

  // Physical state.
  int input_ = 0;
  int arm_ = 0;
  int output_ = 0;
  int reject_ = 0;
  int loads_ = 0;  // discs loaded so far: shown in the device information
  bool printerDisc_ = false;
  PrinterTray printerTray_ = PrinterTray::kLoading;
  bool cdMode_ = false;
  bool ejectRampOut_ = false;
  bool recovered_ = false;  // AT+R99 answered a recovery request
  int printJobs_ = 0;

 private:
  bool ConditionOn(const Condition& c) const;
  const ReplyFault* ScriptedReply(int link, const CommandKey& key);
  Reply Answer(int link, const std::uint8_t* block);
  Reply Information(int link) const;
  Reply Eeprom(int link, std::uint8_t start) const;

  const BenchModel& bench_;
  const BenchUnit& unit_;
  const std::vector<SimDrive*> drives_;
  const Clock now_;
  int commands_ = 0;
  std::vector<int> replySeen_;  // per scripted reply: matching commands seen
};

}  // namespace platform::sim
