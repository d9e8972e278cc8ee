// The bench as data: hubs, the USB devices on their ports, the autoloader units and their
// scripted faults, as read from a bench file. Plain values; SimBench builds the live bench from it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "models/ModelCatalogue.h"

namespace platform::sim {

inline constexpr std::size_t kEepromSize = 128;
inline constexpr std::size_t kMaxChunk = 64;  // a reply chunk is at most one 64-byte read

enum class HubKind { kRootHub, kRootHub30, kHub };

// A hub's ParentIdPrefix: derived from its place in the tree, given literally, or missing.
enum class PrefixMode { kDerived, kGiven, kMissing };

struct BenchHub {
  std::string id;
  HubKind kind = HubKind::kHub;
  std::string parent;  // empty for a root hub
  int parentPort = 0;
  int ports = 4;
  PrefixMode prefixMode = PrefixMode::kDerived;
  std::string prefix;  // with kGiven
};

// A model of the catalogue, as its first row (a model with several products: its first product's
// row); two units are of one model when their Model is the same row. The bench knows no model the
// catalogue does not list.
using Model = const models::ModelRow*;

enum class DeviceKind { kAutoloader, kPrinter, kCdRom, kDisk, kOther };

// What a USB device is to its unit.
enum class DeviceRole { kLink1, kLink2, kPrinter, kDrive, kExtra };

// One USB device on a hub port, as Windows would enumerate it.
struct BenchDevice {
  DeviceKind kind = DeviceKind::kOther;
  DeviceRole role = DeviceRole::kExtra;
  int unit = -1;  // owning unit's index, -1 for extras
  std::string hub;
  int port = 0;
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  std::optional<std::string> serial;  // no serial-number string when empty
  std::string description;            // DeviceDesc, FriendlyName, or the printer's queue name
  bool hasQueue = false;              // printers: a print queue is installed for it
  char letter = 0;                    // drives and disks
  bool present = true;                // plugged in when the bench starts
};

// The optical drive slots a unit's sensors tell apart.
enum class DriveSlot { kOnly, kUpper, kLower };

struct BenchDrive {
  int device = -1;  // index into BenchModel::devices
  DriveSlot slot = DriveSlot::kOnly;
  bool disc = false;      // a disc lies on the tray at the start
  bool trayOpen = false;  // the tray is out at the start
};

// One command link (USB autoloader interface) of a unit: link 1, and link 2 of a TM36P.
struct BenchLink {
  int device = -1;
  std::string firmware;
  std::array<std::uint8_t, kEepromSize> eeprom{};
};

// A command as the log writes it: "AT+R01", "AT+?", "LQ40_CMD[5]".
struct CommandKey {
  std::uint8_t numbered = 0;  // LQ40 command number (byte 1); 0 for letter commands
  char letter = 0;
  std::uint8_t number = 0;
  bool operator==(const CommandKey&) const = default;
};

// Starts a condition or fires an event: at a virtual time, or once the unit has answered its
// n-th command (counted over all its links).
struct Trigger {
  std::int64_t atMs = 0;
  int afterCommand = 0;  // 0: by time (or by prompt)
  // By prompt: while the atPrompt-th message box of the run is shown (counting only boxes with
  // promptText, when given), before it is answered.
  int atPrompt = 0;
  std::string promptText;

  bool ByPrompt() const { return atPrompt > 0; }
  bool ByTime() const { return afterCommand == 0 && !ByPrompt(); }
};

// Replaces the reply of a command's occurrences `occurrence` .. occurrence + times - 1
// (times 0: every one from there on). The unit then does nothing else for that command.
struct ReplyFault {
  int link = 0;  // 0: either link
  CommandKey command;
  int occurrence = 1;
  int times = 1;
  std::vector<std::string> chunks;  // the reply, chunk by chunk (may be empty: no reply)
};

enum class ConditionKind {
  kTrayNeverOpens,      // drive
  kTrayNeverCloses,     // drive
  kPrinterNeverEjects,  // TM36
  kOutputFull,
  kOutputDetached,   // ZP output bin
  kRampClosed,       // ZP output ramp
  kMotor,            // ZP motor code "E1000", "E2000", "E3000"
  kRecoveryRequest,  // ZP asks for AT+R99
  kPickBlocked,      // HV22 pick-ups answer "AT+S12" until AT+R99
  kSilent,           // reads give nothing
  kBabble,           // reads give chunks without "AT+"
  kReadsHang,        // reads never complete (the platform gives up on each)
};

struct Condition {
  ConditionKind kind = ConditionKind::kSilent;
  Trigger from;
  std::optional<std::int64_t> untilMs;
  char drive = 0;    // tray conditions
  std::string code;  // kMotor
};

enum class EventKind { kAddDiscs, kUnplug, kPlug };

// Whom a plug or unplug event concerns.
enum class EventTarget { kUnit, kHv22, kPrinter, kDrive, kDevice };

struct BenchEvent {
  EventKind kind = EventKind::kAddDiscs;
  Trigger when;
  int count = 0;  // kAddDiscs
  EventTarget target = EventTarget::kUnit;
  char drive = 0;   // kDrive
  std::string hub;  // kDevice: the device on this hub and port (any device of the bench)
  int port = 0;
};

struct DiscSupply {
  int input = 0;
  int output = 0;
  int outputCapacity = 100;
  bool printerTray = false;  // TM36: a disc on the printer tray at the start
};

struct BenchUnit {
  std::string name;
  Model model = &models::kModels[0];
  std::vector<BenchLink> links;  // 1, or 2 for a TM36P (link 2: its HV22 part)
  int printer = -1;              // device index, TM36 models
  std::vector<BenchDrive> drives;
  DiscSupply discs;
  std::vector<ReplyFault> replies;
  std::vector<Condition> conditions;
  std::vector<BenchEvent> events;
};

struct BenchModel {
  std::string source;  // file name, or "demo"
  std::vector<BenchHub> hubs;
  std::vector<BenchDevice> devices;
  std::vector<BenchUnit> units;
};

// --- Names and texts -------------------------------------------------------------------------

const char* ModelName(Model model);
std::optional<Model> ParseModel(const std::string& text);
// What the model catalogue says of a bench model.
const models::ModelRow& CatalogueRow(Model model);
// The USB product number of a model's link 1 (a model with several: its first; an HV22's is
// chosen by the bench).
std::uint16_t ProductOf(Model model);
// True when the catalogue lists this product for the model.
bool IsProductOf(Model model, std::uint16_t product);
// True when the catalogue lists more than one product for the model (the bench file picks one).
bool HasProductChoice(Model model);
// The model of the HV22 part a unit with an HV22 link carries on link 2.
Model Hv22PartModel();
bool IsZp(Model model);
// A TM36K or TM36P: the models with a printer.
bool IsTm36(Model model);
// ZP61 and ZP65 unload to an output bin, ZP71 and ZP75 to an output ramp.
bool HasOutputBin(Model model);
bool HasOutputRamp(Model model);
// The HV family (its arm can jam).
bool IsHv(Model model);
// A TM36P: a unit with an HV22 part on link 2.
bool HasHv22Part(Model model);
// The names of the models for which `fits` holds, in the catalogue's order: "TM36K, TM36P".
std::string ModelNames(bool (*fits)(Model), const char* separator = ", ");
// A model's name after its article: "a TM36K", "an HV22".
std::string WithArticle(const char* name);
// The names of the models for which `fits` holds, joined by " or " after the first one's article:
// "a TM36K or TM36P".
std::string AnyModel(bool (*fits)(Model));

std::string FormatCommand(const CommandKey& key);
std::optional<CommandKey> ParseCommand(const std::string& text);
// The key of an 8-byte block: the numbered command when byte 1 is set, else letter and number.
CommandKey KeyOfBlock(const std::uint8_t* block);

}  // namespace platform::sim
