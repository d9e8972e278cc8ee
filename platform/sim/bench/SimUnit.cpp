// Common command handling of the simulated autoloaders.
#include "platform/sim/bench/SimUnit.h"

namespace platform::sim {

SimUnit::SimUnit(const BenchModel& bench, int index, std::vector<SimDrive*> drives, Clock now)
    : bench_(bench),
      unit_(bench.units.at(index)),
      drives_(std::move(drives)),
      now_(std::move(now)),
      replySeen_(unit_.replies.size(), 0) {
  input_ = unit_.discs.input;
  output_ = unit_.discs.output;
  printerDisc_ = unit_.discs.printerTray;
}

Reply SimUnit::Command(int link, const std::uint8_t* block) {
  // A scripted reply is counted even while the unit is silent, so occurrences stay in step
  // with what the host sent.
  const ReplyFault* scripted = ScriptedReply(link, KeyOfBlock(block));
  Reply reply;
  if (!Active(ConditionKind::kSilent) && !Active(ConditionKind::kBabble) && !ReadsHang()) {
    reply = scripted ? scripted->chunks : Answer(link, block);
  }
  ++commands_;  // conditions "after the n-th command" hold from here on
  return reply;
}

bool SimUnit::Babbling() const {
  return Active(ConditionKind::kBabble);
}

bool SimUnit::ReadsHang() const {
  return Active(ConditionKind::kReadsHang);
}

const ReplyFault* SimUnit::ScriptedReply(int link, const CommandKey& key) {
  const ReplyFault* chosen = nullptr;
  for (std::size_t i = 0; i < unit_.replies.size(); ++i) {
    const ReplyFault& f = unit_.replies[i];
    if (!(f.command == key) || (f.link != 0 && f.link != link)) continue;
    const int seen = ++replySeen_[i];
    const bool inRange = seen >= f.occurrence && (f.times == 0 || seen < f.occurrence + f.times);
    if (inRange && !chosen) chosen = &f;
  }
  return chosen;
}

Reply SimUnit::Answer(int link, const std::uint8_t* block) {
  const CommandKey key = KeyOfBlock(block);
  if (key.numbered != 0) return Numbered(link, key.numbered);
  if (key.letter == '?' && key.number == 0) return Identification(link);
  if (key.letter == 'C' && key.number == 0) return {"C00{" + Sensors(link) + "} OK AT+O"};
  if (key.letter == 'I' && key.number == 0) return Information(link);
  if (key.letter == 'I' && key.number == 1) return Eeprom(link, block[4]);
  return Status(Motion(link, key));
}

Reply SimUnit::Numbered(int, int) {
  return Status("E");
}

const BenchDevice& SimUnit::LinkDevice(int link) const {
  const std::size_t i = link == 2 && unit_.links.size() > 1 ? 1 : 0;
  return bench_.devices[unit_.links[i].device];
}

const std::string& SimUnit::Serial(int link) const {
  static const std::string kNone;
  const BenchDevice& device = LinkDevice(link);
  return device.serial ? *device.serial : kNone;
}

// Firmware text, status codes, serial number, end: discovery names a unit by the third field.
// Without a serial the status codes ride in the final chunk, so no third field appears.
Reply SimUnit::Identification(int link) const {
  const std::size_t i = link == 2 && unit_.links.size() > 1 ? 1 : 0;
  const std::string& firmware = unit_.links[i].firmware;
  if (Serial(link).empty()) return {firmware, StatusCodes() + " OK AT+O"};
  return {firmware, StatusCodes(), Serial(link), "OK AT+O"};
}

// Title, then label and value pairs: the log shows the title and the values.
Reply SimUnit::Information(int link) const {
  const std::size_t i = link == 2 && unit_.links.size() > 1 ? 1 : 0;
  const std::string serial = Serial(link).empty() ? "-" : Serial(link);
  return {
      "Device Information",    "Model", LinkDevice(link).description, "Serial", serial, "Firmware",
      unit_.links[i].firmware, "Loads", std::to_string(loads_),       "OK AT+O"};
}

// Eight bytes from `start` in a chunk of their own, then the end of the reply.
Reply SimUnit::Eeprom(int link, std::uint8_t start) const {
  const std::size_t i = link == 2 && unit_.links.size() > 1 ? 1 : 0;
  std::string data(8, '\0');
  for (std::size_t k = 0; k < 8; ++k) {
    data[k] = static_cast<char>(unit_.links[i].eeprom[(start + k) % kEepromSize]);
  }
  return {data, "OK AT+O"};
}

bool SimUnit::ConditionOn(const Condition& c) const {
  const std::int64_t now = now_();
  const bool started =
      c.from.afterCommand > 0 ? commands_ >= c.from.afterCommand : now >= c.from.atMs;
  return started && (!c.untilMs || now < *c.untilMs);
}

bool SimUnit::Active(ConditionKind kind) const {
  for (const Condition& c : unit_.conditions) {
    if (c.kind == kind && ConditionOn(c)) return true;
  }
  return false;
}

bool SimUnit::TrayHeld(char letter, bool open) const {
  const ConditionKind kind =
      open ? ConditionKind::kTrayNeverOpens : ConditionKind::kTrayNeverCloses;
  for (const Condition& c : unit_.conditions) {
    if (c.kind == kind && c.drive == letter && ConditionOn(c)) return true;
  }
  return false;
}

bool SimUnit::OutputFull() const {
  return Active(ConditionKind::kOutputFull) || output_ >= unit_.discs.outputCapacity;
}

SimDrive* SimUnit::DriveIn(DriveSlot slot) const {
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    if (unit_.drives[i].slot == slot) return drives_[i];
  }
  return nullptr;
}

void SimUnit::PrintJob() {
  ++printJobs_;
  if (printerTray_ == PrinterTray::kPrinting && !Active(ConditionKind::kPrinterNeverEjects)) {
    printerTray_ = PrinterTray::kOut;
  }
}

UnitSnapshot SimUnit::Snapshot() const {
  return {input_,       arm_,    output_,   reject_,   printerDisc_,
          printerTray_, cdMode_, commands_, printJobs_};
}

}  // namespace platform::sim
