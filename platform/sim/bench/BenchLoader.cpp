// Bench file reader: walks the JSON with a cursor that knows the field path, so that every
// complaint names the file, the field and the reason.
#include "platform/sim/bench/BenchLoader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>

namespace platform::sim {
namespace {

using Json = nlohmann::json;

// A position in the document: the value and its path ("units[0].drives[1].letter").
class Cursor {
 public:
  Cursor(const Json& value, std::string path, const std::string& source)
      : value_(value), path_(std::move(path)), source_(source) {}

  const Json& Value() const { return value_; }
  const std::string& Path() const { return path_; }

  [[noreturn]] void Fail(const std::string& reason) const {
    throw BenchError(source_ + ": " + (path_.empty() ? "(top level)" : path_) + ": " + reason);
  }

  bool Has(const char* key) const { return value_.contains(key); }
  bool IsNull(const char* key) const { return Has(key) && value_.at(key).is_null(); }

  Cursor At(const char* key) const {
    return Cursor(value_.at(key), path_.empty() ? key : path_ + "." + key, source_);
  }
  Cursor At(std::size_t index) const {
    return Cursor(value_.at(index), path_ + "[" + std::to_string(index) + "]", source_);
  }

  void ExpectObject(std::initializer_list<const char*> allowed) const {
    if (!value_.is_object()) Fail("must be an object");
    // Ignored, but a number or a list there is a field gone astray.
    if (Has("comment") && !value_.at("comment").is_string()) At("comment").Fail("must be a text");
    for (const auto& field : value_.items()) {
      const std::string& key = field.key();  // a named copy: clang 14 cannot capture a binding
      if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; })) {
        At(key.c_str()).Fail("unknown field");
      }
    }
  }

  std::vector<Cursor> Items(const char* key) const {
    std::vector<Cursor> items;
    if (!Has(key)) return items;
    const Cursor list = At(key);
    if (!list.value_.is_array()) list.Fail("must be a list");
    for (std::size_t i = 0; i < list.value_.size(); ++i) items.push_back(list.At(i));
    return items;
  }

  std::string Text(const char* key, const std::string& fallback, std::size_t maxLength) const {
    if (!Has(key)) return fallback;
    return At(key).AsText(maxLength);
  }

  std::string AsText(std::size_t maxLength) const {
    if (!value_.is_string()) Fail("must be a text");
    std::string text = value_.get<std::string>();
    if (text.size() > maxLength) Fail("longer than " + std::to_string(maxLength) + " characters");
    for (unsigned char c : text) {
      if (c < 0x20 || c > 0x7E) Fail("holds a character outside printable ASCII");
    }
    return text;
  }

  std::int64_t Int(const char* key, std::int64_t fallback, std::int64_t low,
                   std::int64_t high) const {
    if (!Has(key)) return fallback;
    const Cursor item = At(key);
    if (!item.value_.is_number_integer()) item.Fail("must be a whole number");
    const std::int64_t n = item.value_.get<std::int64_t>();
    if (n < low || n > high) {
      item.Fail(std::to_string(n) + " is out of range " + std::to_string(low) + ".." +
                std::to_string(high));
    }
    return n;
  }

  bool Bool(const char* key, bool fallback) const {
    if (!Has(key)) return fallback;
    const Cursor item = At(key);
    if (!item.value_.is_boolean()) item.Fail("must be true or false");
    return item.value_.get<bool>();
  }

  // A 16-bit USB number written "0x1723", "1723" or "VID_1723" (or "PID_" and the digits).
  std::uint16_t UsbNumber(const char* key, std::uint16_t fallback) const {
    if (!Has(key)) return fallback;
    const Cursor item = At(key);
    std::string text = item.AsText(12);
    for (const char* head : {"0x", "0X", "VID_", "PID_", "vid_", "pid_"}) {
      if (text.rfind(head, 0) == 0) text = text.substr(std::string(head).size());
    }
    if (text.empty() || text.size() > 4 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(c) != 0; })) {
      item.Fail("must be four hexadecimal digits, like \"0x1723\"");
    }
    return static_cast<std::uint16_t>(std::stoul(text, nullptr, 16));
  }

 private:
  const Json& value_;
  std::string path_;
  const std::string& source_;
};

// Placement of a device before free ports are handed out.
struct Placement {
  int device;
  Cursor where;
  bool autoPort;
};

constexpr std::int64_t kMaxMs = std::int64_t{1} << 40;
constexpr std::size_t kMaxText = 40;

class Loader {
 public:
  explicit Loader(const std::string& source) { model_.source = source; }

  BenchModel Load(const Json& root) {
    const Cursor top(root, "", model_.source);
    top.ExpectObject({"hubs", "units", "devices", "comment"});
    if (top.Items("hubs").empty()) top.Fail("a bench needs at least one hub in \"hubs\"");
    for (const Cursor& hub : top.Items("hubs")) ReadHub(hub);
    CheckHubTree(top);
    for (const Cursor& unit : top.Items("units")) ReadUnit(unit);
    for (const Cursor& device : top.Items("devices")) ReadExtra(device);
    AssignPorts();
    CheckLetters();
    CheckEventDevices();
    CheckSharedHubs();
    CheckBoxEvents();
    return std::move(model_);
  }

 private:
  // --- Hubs ---------------------------------------------------------------------------------

  void ReadHub(const Cursor& c) {
    c.ExpectObject({"id", "kind", "parent", "port", "ports", "parent_id_prefix", "comment"});
    BenchHub hub;
    if (!c.Has("id")) c.Fail("a hub needs an \"id\"");
    hub.id = c.At("id").AsText(kMaxText);
    if (hub.id.empty()) c.At("id").Fail("must not be empty");
    if (hubIndex_.count(hub.id)) c.At("id").Fail("hub \"" + hub.id + "\" is listed twice");
    hub.parent = c.Text("parent", "", kMaxText);
    const std::string kind = c.Text("kind", hub.parent.empty() ? "root_hub" : "hub", 16);
    if (kind == "root_hub") {
      hub.kind = HubKind::kRootHub;
    } else if (kind == "root_hub30") {
      hub.kind = HubKind::kRootHub30;
    } else if (kind == "hub") {
      hub.kind = HubKind::kHub;
    } else {
      c.At("kind").Fail("\"" + kind + "\" is not a hub kind (root_hub, root_hub30, hub)");
    }
    if (hub.kind == HubKind::kHub && hub.parent.empty()) c.Fail("a hub needs a \"parent\"");
    if (hub.kind != HubKind::kHub && !hub.parent.empty()) {
      c.At("parent").Fail("a root hub has no parent");
    }
    if (!hub.parent.empty()) {
      if (!c.Has("port")) c.Fail("a hub on a parent hub needs the parent's \"port\"");
      hub.parentPort = static_cast<int>(c.Int("port", 0, 1, 15));
    } else if (c.Has("port")) {
      c.At("port").Fail("a root hub sits on no port");
    }
    hub.ports = static_cast<int>(c.Int("ports", 4, 1, 15));
    if (c.IsNull("parent_id_prefix")) {
      hub.prefixMode = PrefixMode::kMissing;
    } else if (c.Has("parent_id_prefix")) {
      hub.prefixMode = PrefixMode::kGiven;
      hub.prefix = c.At("parent_id_prefix").AsText(23);
    }
    hubIndex_[hub.id] = model_.hubs.size();
    hubCursors_.push_back(c);
    model_.hubs.push_back(hub);
  }

  void CheckHubTree(const Cursor&) {
    for (std::size_t i = 0; i < model_.hubs.size(); ++i) {
      const BenchHub& hub = model_.hubs[i];
      if (hub.parent.empty()) continue;
      const Cursor c = hubCursors_[i];
      const auto parent = hubIndex_.find(hub.parent);
      if (parent == hubIndex_.end()) c.At("parent").Fail("no hub \"" + hub.parent + "\"");
      Occupy(hub.parent, hub.parentPort, c.At("port"), "hub \"" + hub.id + "\"");
      std::set<std::string> seen{hub.id};
      for (std::string up = hub.parent; !up.empty(); up = model_.hubs[hubIndex_[up]].parent) {
        if (!seen.insert(up).second) c.At("parent").Fail("hubs hang on each other in a loop");
      }
      const auto below = static_cast<int>(seen.size()) - 1;  // the hub and those above but the root
      if (below > kMaxHubsBelowRoot) {
        c.At("parent").Fail("a chain of " + std::to_string(below) +
                            " hubs below the root hub ends in hub \"" + hub.id + "\"; USB allows " +
                            std::to_string(kMaxHubsBelowRoot) + " (seven tiers)");
      }
    }
  }

  void Occupy(const std::string& hubId, int port, const Cursor& c, const std::string& what) {
    const BenchHub& hub = model_.hubs[hubIndex_.at(hubId)];
    if (port > hub.ports) {
      c.Fail("hub \"" + hubId + "\" has only " + std::to_string(hub.ports) + " ports");
    }
    const auto [it, fresh] = occupied_.emplace(std::make_pair(hubId, port), what);
    if (!fresh) {
      c.Fail("port " + std::to_string(port) + " of hub \"" + hubId + "\" is taken by " +
             it->second);
    }
  }

  // --- Devices ------------------------------------------------------------------------------

  // Reads "hub" and "port" of a device; fallbackHub when "hub" is missing.
  int AddDevice(BenchDevice device, const Cursor& c, const std::string& fallbackHub) {
    device.hub = c.Text("hub", fallbackHub, kMaxText);
    if (device.hub.empty()) c.Fail("needs a \"hub\"");
    if (!hubIndex_.count(device.hub)) {
      (c.Has("hub") ? c.At("hub") : c).Fail("no hub \"" + device.hub + "\"");
    }
    device.present = c.Bool("present", true);
    const int index = static_cast<int>(model_.devices.size());
    const bool autoPort = !c.Has("port");
    if (!autoPort) {
      device.port = static_cast<int>(c.Int("port", 0, 1, 15));
      Occupy(device.hub, device.port, c.At("port"), "another device");
    }
    model_.devices.push_back(device);
    placements_.push_back({index, c, autoPort});
    return index;
  }

  void AssignPorts() {
    for (const Placement& p : placements_) {
      if (!p.autoPort) continue;
      BenchDevice& device = model_.devices[p.device];
      const BenchHub& hub = model_.hubs[hubIndex_.at(device.hub)];
      for (int port = 1; port <= hub.ports && device.port == 0; ++port) {
        if (!occupied_.count({device.hub, port})) device.port = port;
      }
      if (device.port == 0) p.where.Fail("hub \"" + device.hub + "\" has no free port left");
      occupied_.emplace(std::make_pair(device.hub, device.port), "another device");
    }
  }

  std::optional<std::string> Serial(const Cursor& c, const std::string& fallback) {
    if (c.IsNull("serial")) return std::nullopt;
    return c.Text("serial", fallback, 31);
  }

  char Letter(const Cursor& c) {
    if (!c.Has("letter")) c.Fail("needs a drive \"letter\"");
    const std::string text = c.At("letter").AsText(1);
    const char letter = text.empty() ? 0 : static_cast<char>(std::toupper(text[0]));
    if (letter < 'A' || letter > 'Z') c.At("letter").Fail("must be one letter A to Z");
    letters_.push_back({letter, c.At("letter")});
    return letter;
  }

  void CheckLetters() {
    std::map<char, std::string> seen;
    for (const auto& [letter, c] : letters_) {
      const auto [it, fresh] = seen.emplace(letter, c.Path());
      if (!fresh) c.Fail(std::string("drive letter ") + letter + " is also used by " + it->second);
    }
  }

  void ReadExtra(const Cursor& c) {
    c.ExpectObject({"kind", "hub", "port", "letter", "queue", "name", "vid", "pid", "serial",
                    "present", "comment"});
    BenchDevice device;
    const std::string kind = c.Text("kind", "", 16);
    if (kind == "printer") {
      device.kind = DeviceKind::kPrinter;
      ReadQueue(c, device);
    } else if (kind == "cdrom" || kind == "disk") {
      device.kind = kind == "cdrom" ? DeviceKind::kCdRom : DeviceKind::kDisk;
      device.letter = Letter(c);
      device.description = c.Text("name", kind == "cdrom" ? kDriveName : "USB Disk", kMaxText);
    } else if (kind == "other") {
      device.kind = DeviceKind::kOther;
      device.description = c.Text("name", "USB Input Device", kMaxText);
    } else {
      (c.Has("kind") ? c.At("kind") : c)
          .Fail("\"kind\" must be one of printer, cdrom, disk, other");
    }
    device.vid = c.UsbNumber("vid", DefaultVid(device.kind));
    device.pid = c.UsbNumber("pid", DefaultPid(device.kind));
    device.serial = Serial(c, "EXT" + std::to_string(model_.devices.size()));
    AddDevice(device, c, "");
  }

  void ReadQueue(const Cursor& c, BenchDevice& device) {
    device.hasQueue = !c.IsNull("queue");
    device.description =
        device.hasQueue ? c.Text("queue", "Disc Printer", 59) : "No Install Software";
    if (device.hasQueue && device.description.empty()) c.At("queue").Fail("must not be empty");
  }

  static std::uint16_t DefaultVid(DeviceKind kind) {
    return kind == DeviceKind::kPrinter ? 0x04F9 : kind == DeviceKind::kOther ? 0x046D : 0x0E8D;
  }
  static std::uint16_t DefaultPid(DeviceKind kind) {
    return kind == DeviceKind::kPrinter ? 0x2042 : kind == DeviceKind::kOther ? 0xC31C : 0x1806;
  }

  static constexpr const char* kDriveName = "VELTRANE DVD-RW USB Device";

  // --- Units --------------------------------------------------------------------------------

  void ReadUnit(const Cursor& c) {
    c.ExpectObject({"name", "model", "vendor", "product", "serial", "firmware", "description",
                    "hub", "port", "eeprom", "present", "printer", "hv22", "drives", "discs",
                    "faults", "comment"});
    BenchUnit unit;
    const int index = static_cast<int>(model_.units.size());
    if (!c.Has("model")) c.Fail("a unit needs a \"model\"");
    const std::string modelText = c.At("model").AsText(kMaxText);
    const auto model = ParseModel(modelText);
    if (!model) {
      c.At("model").Fail("\"" + modelText + "\" is not a model (" +
                         ModelNames([](Model) { return true; }) + ")");
    }
    unit.model = *model;
    unit.name =
        c.Text("name", std::string(ModelName(unit.model)) + "-" + std::to_string(index), kMaxText);
    if (!c.Has("hub")) c.Fail("a unit needs the \"hub\" it hangs on");
    unit.links.push_back(ReadLink(c, unit, index, DeviceRole::kLink1));
    ReadPrinter(c, unit, index);
    ReadHv22(c, unit, index);
    ReadDrives(c, unit, index);
    ReadDiscs(c, unit);
    model_.units.push_back(unit);
    for (const Cursor& fault : c.Items("faults")) ReadFault(fault, model_.units.back());
  }

  BenchLink ReadLink(const Cursor& c, const BenchUnit& unit, int index, DeviceRole role) {
    // Link 2 is the HV22 part; a model with several products takes its own from the file.
    const Model linkModel = role == DeviceRole::kLink2 ? Hv22PartModel() : unit.model;
    const bool choice = HasProductChoice(linkModel);
    BenchDevice device;
    device.kind = DeviceKind::kAutoloader;
    device.role = role;
    device.unit = index;
    device.vid = c.UsbNumber("vendor", models::kAutoloaderVendors[0].id);
    if (!models::IsAutoloaderVendor(device.vid)) {
      c.At("vendor").Fail("an autoloader's vendor is 0x1723 or 0x1717");
    }
    device.pid = choice ? c.UsbNumber("product", ProductOf(linkModel)) : ProductOf(linkModel);
    if (choice && !IsProductOf(linkModel, device.pid)) {
      c.At("product").Fail(WithArticle(linkModel->name) + "'s product is " + Products(linkModel));
    }
    if (!choice && c.Has("product")) {
      c.At("product").Fail("only " + AnyModel(HasProductChoice) + " has a choice of product");
    }
    const char* model = ModelName(linkModel);
    device.serial = Serial(c, std::string(model) + "-" + std::to_string(1000 + index));
    device.description = c.Text("description", model, kMaxText);
    BenchLink link;
    link.device = AddDevice(device, c, "");
    link.firmware = c.Text("firmware", DefaultFirmware(unit.model, role), kMaxText);
    if (role == DeviceRole::kLink1) CheckIdentifiedAs(c, unit.model, link.firmware);
    if (link.firmware.find(';') != std::string::npos) {
      c.At("firmware").Fail("must not hold \";\", which separates reply fields");
    }
    if (link.firmware.find("AT+") != std::string::npos) {
      c.At("firmware").Fail("must not hold \"AT+\", which ends a reply");
    }
    link.eeprom = ReadEeprom(c, device.serial.value_or(model));
    return link;
  }

  static std::string DefaultFirmware(Model model, DeviceRole role) {
    if (role == DeviceRole::kLink2) return "HV22 V2.10";
    return model->firmware;
  }

  // "0x0923 or 0x0945": the products the catalogue lists for a model.
  static std::string Products(Model model) {
    std::string text;
    for (const models::ModelRow& row : models::kModels) {
      if (std::string_view(row.name) != model->name) continue;
      char number[8];
      std::snprintf(number, sizeof number, "0x%04X", row.product);
      text += (text.empty() ? "" : " or ") + std::string(number);
    }
    return text;
  }

  // Models that share a product are told apart by their identification (discovery names the unit
  // by it): a unit's firmware text must name the model it is given as.
  static void CheckIdentifiedAs(const Cursor& c, Model model, const std::string& firmware) {
    if (!model->toldByModelName) return;
    const models::ModelRow* named = models::NamedByIdentification(model->productText, firmware);
    if (named == nullptr || std::string_view(named->name) == model->name) return;
    if (model->identifiedBy[0] != 0) {
      c.At("firmware")
          .Fail(WithArticle(model->name) + " identifies itself by \"" + model->identifiedBy +
                "\" in its firmware text");
    }
    c.At("firmware")
        .Fail("\"" + std::string(named->identifiedBy) + "\" would make this " + model->name +
              " identify as " + WithArticle(named->name));
  }

  std::array<std::uint8_t, kEepromSize> ReadEeprom(const Cursor& c, const std::string& seed) {
    std::array<std::uint8_t, kEepromSize> bytes{};
    if (!c.Has("eeprom")) {
      std::uint32_t h = 2166136261u;
      for (unsigned char ch : seed) h = (h ^ ch) * 16777619u;
      for (std::size_t i = 0; i < kEepromSize; ++i) {
        h = h * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(0x80 | (h >> 16));  // never ASCII: never a token
      }
      return bytes;
    }
    const Cursor e = c.At("eeprom");
    const std::string hex = e.AsText(2 * kEepromSize);
    if (hex.size() != 2 * kEepromSize ||
        !std::all_of(hex.begin(), hex.end(), [](char ch) { return std::isxdigit(ch) != 0; })) {
      e.Fail("must be 256 hexadecimal digits (128 bytes)");
    }
    for (std::size_t i = 0; i < kEepromSize; ++i) {
      bytes[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    for (std::size_t at = 0; at < kEepromSize; at += 8) {
      const std::string block(bytes.begin() + at, bytes.begin() + at + 8);
      if (block.find("OK") != std::string::npos || block.find("AT+") != std::string::npos) {
        e.Fail("the 8 bytes from " + std::to_string(at) +
               " hold \"OK\" or \"AT+\", which would end the data chunk's reply");
      }
    }
    return bytes;
  }

  void ReadPrinter(const Cursor& c, BenchUnit& unit, int index) {
    if (!c.Has("printer") || c.IsNull("printer")) return;
    const Cursor p = c.At("printer");
    if (!IsTm36(unit.model)) p.Fail("only " + AnyModel(IsTm36) + " has a printer");
    p.ExpectObject({"hub", "port", "queue", "vid", "pid", "serial", "present", "comment"});
    BenchDevice device;
    device.kind = DeviceKind::kPrinter;
    device.role = DeviceRole::kPrinter;
    device.unit = index;
    ReadQueue(p, device);
    device.vid = p.UsbNumber("vid", DefaultVid(device.kind));
    device.pid = p.UsbNumber("pid", DefaultPid(device.kind));
    device.serial = Serial(p, "PRN" + std::to_string(1000 + index));
    unit.printer = AddDevice(device, p, model_.devices[unit.links[0].device].hub);
  }

  void ReadHv22(const Cursor& c, BenchUnit& unit, int index) {
    if (!CatalogueRow(unit.model).hv22Link) {
      if (c.Has("hv22")) c.At("hv22").Fail("only " + AnyModel(HasHv22Part) + " has an HV22 part");
      return;
    }
    if (!c.Has("hv22")) c.Fail(AnyModel(HasHv22Part) + " needs its \"hv22\" part (hub and port)");
    const Cursor h = c.At("hv22");
    h.ExpectObject({"vendor", "product", "serial", "firmware", "description", "hub", "port",
                    "eeprom", "present", "comment"});
    if (!h.Has("hub")) h.Fail("the HV22 part needs the \"hub\" it hangs on");
    unit.links.push_back(ReadLink(h, unit, index, DeviceRole::kLink2));
  }

  void ReadDrives(const Cursor& c, BenchUnit& unit, int index) {
    const auto most = static_cast<std::size_t>(CatalogueRow(unit.model).drives);
    const std::vector<Cursor> drives = c.Items("drives");
    if (drives.size() > most) {
      c.At("drives").Fail(std::string("a ") + ModelName(unit.model) + " has at most " +
                          std::to_string(most) + " drive(s); list others under \"devices\"");
    }
    const std::string home = model_.devices[unit.links.back().device].hub;
    for (std::size_t i = 0; i < drives.size(); ++i) {
      const Cursor& d = drives[i];
      d.ExpectObject({"letter", "hub", "port", "slot", "name", "disc", "tray", "vid", "pid",
                      "serial", "present", "comment"});
      BenchDevice device;
      device.kind = DeviceKind::kCdRom;
      device.role = DeviceRole::kDrive;
      device.unit = index;
      device.letter = Letter(d);
      device.description = d.Text("name", kDriveName, kMaxText);
      device.vid = d.UsbNumber("vid", DefaultVid(device.kind));
      device.pid = d.UsbNumber("pid", DefaultPid(device.kind));
      device.serial = Serial(d, std::string("DRV") + device.letter + std::to_string(1000 + index));
      BenchDrive drive;
      drive.slot = ReadSlot(d, unit.model, i);
      drive.disc = d.Bool("disc", false);
      const std::string tray = d.Text("tray", "closed", 8);
      if (tray != "open" && tray != "closed") d.At("tray").Fail("must be \"open\" or \"closed\"");
      drive.trayOpen = tray == "open";
      drive.device = AddDevice(device, d, home);
      unit.drives.push_back(drive);
      driveCursors_.emplace_back(drive.device, d);
    }
    if (unit.drives.size() == 2 && unit.drives[0].slot == unit.drives[1].slot) {
      drives[1].Fail("both drives sit in the same slot");
    }
  }

  static DriveSlot ReadSlot(const Cursor& d, Model model, std::size_t i) {
    if (!IsZp(model)) {
      if (d.Has("slot")) d.At("slot").Fail("only a ZP model has upper and lower drives");
      return DriveSlot::kOnly;
    }
    const std::string slot = d.Text("slot", i == 0 ? "upper" : "lower", 8);
    if (slot != "upper" && slot != "lower") d.At("slot").Fail("must be \"upper\" or \"lower\"");
    return slot == "upper" ? DriveSlot::kUpper : DriveSlot::kLower;
  }

  void ReadDiscs(const Cursor& c, BenchUnit& unit) {
    if (!c.Has("discs")) return;
    const Cursor d = c.At("discs");
    d.ExpectObject({"input", "output", "output_capacity", "printer_tray", "comment"});
    unit.discs.input = static_cast<int>(d.Int("input", 0, 0, 1000));
    unit.discs.outputCapacity = static_cast<int>(d.Int("output_capacity", 100, 1, 1000));
    unit.discs.output = static_cast<int>(d.Int("output", 0, 0, unit.discs.outputCapacity));
    unit.discs.printerTray = d.Bool("printer_tray", false);
    if (unit.discs.printerTray && !IsTm36(unit.model)) {
      d.At("printer_tray").Fail("only " + AnyModel(IsTm36) + " has a printer tray");
    }
  }

  // --- Faults -------------------------------------------------------------------------------

  void ReadFault(const Cursor& c, BenchUnit& unit) {
    if (!c.Value().is_object()) c.Fail("must be an object");
    if (!c.Has("kind")) c.Fail("a fault needs a \"kind\"");
    const std::string kind = c.At("kind").AsText(kMaxText);
    if (kind == "reply") return ReadReplyFault(c, unit);
    if (kind == "add_discs" || kind == "unplug" || kind == "plug") return ReadEvent(c, unit, kind);
    ReadCondition(c, unit, kind);
  }

  void ReadReplyFault(const Cursor& c, BenchUnit& unit) {
    c.ExpectObject(
        {"kind", "command", "occurrence", "times", "link", "answer", "chunks", "comment"});
    ReplyFault fault;
    if (!c.Has("command")) c.Fail("a reply fault needs the \"command\" it answers");
    const std::string text = c.At("command").AsText(kMaxText);
    const auto key = ParseCommand(text);
    if (!key) {
      c.At("command").Fail("\"" + text + "\" is not a command (AT+?, AT+R01, LQ40_CMD[5], ...)");
    }
    fault.command = *key;
    fault.occurrence = static_cast<int>(c.Int("occurrence", 1, 1, 1000000));
    fault.times = static_cast<int>(c.Int("times", 1, 0, 1000000));
    fault.link = static_cast<int>(c.Int("link", 0, 1, 2));
    if (fault.link == 2 && unit.links.size() < 2) c.At("link").Fail("this unit has no link 2");
    if (c.Has("answer") == c.Has("chunks")) c.Fail("give either \"answer\" or \"chunks\"");
    fault.chunks = c.Has("answer") ? Answer(c.At("answer")) : Chunks(c.At("chunks"));
    unit.replies.push_back(fault);
  }

  static std::vector<std::string> Answer(const Cursor& c) {
    static const std::map<std::string, std::vector<std::string>> kAnswers = {
        {"ok", {"OK AT+O"}},      {"error", {"OK AT+E"}}, {"S01", {"OK AT+S01"}},
        {"S07", {"OK AT+S07"}},   {"S08", {"OK AT+S08"}}, {"S12", {"OK AT+S12"}},
        {"unaccepted", {"AT+O"}}, {"none", {}},
    };
    const std::string text = c.AsText(kMaxText);
    const auto it = kAnswers.find(text);
    if (it == kAnswers.end()) {
      c.Fail("\"" + text + "\" is not an answer (ok, error, S01, S07, S08, S12, unaccepted, none)");
    }
    return it->second;
  }

  static std::vector<std::string> Chunks(const Cursor& c) {
    if (!c.Value().is_array()) c.Fail("must be a list of texts");
    if (c.Value().empty()) c.Fail("needs at least one chunk (\"answer\": \"none\" gives no reply)");
    std::vector<std::string> chunks;
    for (std::size_t i = 0; i < c.Value().size(); ++i) {
      const Cursor item = c.At(i);
      const std::string chunk =
          item.Value().is_object() ? ChunkBytes(item) : item.AsText(kMaxChunk);
      if (chunk.empty()) item.Fail("an empty chunk cannot be read from a pipe");
      chunks.push_back(chunk);
    }
    return chunks;
  }

  // {"hex": "8F00C3"}: a chunk of any bytes (line noise, 8-bit text, zeros), two digits a byte.
  static std::string ChunkBytes(const Cursor& c) {
    c.ExpectObject({"hex", "comment"});
    if (!c.Has("hex")) c.Fail("a byte chunk needs its \"hex\" digits");
    const Cursor hex = c.At("hex");
    const std::string digits = hex.AsText(2 * kMaxChunk);
    if (digits.size() % 2 != 0 ||
        !std::all_of(digits.begin(), digits.end(), [](char d) { return std::isxdigit(d) != 0; })) {
      hex.Fail("must be pairs of hexadecimal digits, like \"8F00C3\"");
    }
    std::string bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    }
    return bytes;
  }

  Trigger ReadTrigger(const Cursor& c, const char* timeKey) {
    Trigger t;
    if (c.Has(timeKey) && c.Has("after_command")) {
      c.Fail(std::string("give either \"") + timeKey + "\" or \"after_command\"");
    }
    t.atMs = c.Int(timeKey, 0, 0, kMaxMs);
    t.afterCommand = static_cast<int>(c.Int("after_command", 0, 1, 1000000));
    return t;
  }

  void ReadEvent(const Cursor& c, BenchUnit& unit, const std::string& kind) {
    c.ExpectObject({"kind", "at_ms", "after_command", "at_prompt", "prompt_text", "count", "target",
                    "drive", "hub", "port", "comment"});
    BenchEvent event;
    if ((c.Has("at_prompt") || c.Has("prompt_text")) &&
        (c.Has("at_ms") || c.Has("after_command"))) {
      c.Fail("give one of \"at_ms\", \"after_command\" or \"at_prompt\"/\"prompt_text\"");
    }
    event.when = ReadTrigger(c, "at_ms");
    if (c.Has("at_prompt") || c.Has("prompt_text")) {
      event.when.atPrompt = static_cast<int>(c.Int("at_prompt", 1, 1, 100000));
      event.when.promptText = c.Text("prompt_text", "", 300);
      boxEvents_.emplace_back(static_cast<int>(model_.units.size()) - 1,
                              c.At(c.Has("at_prompt") ? "at_prompt" : "prompt_text"));
    }
    if (kind == "add_discs") {
      event.kind = EventKind::kAddDiscs;
      if (!c.Has("count")) c.Fail("add_discs needs a \"count\"");
      event.count = static_cast<int>(c.Int("count", 0, 1, 1000));
      if (c.Has("target") || c.Has("drive")) c.Fail("add_discs fills the input bin: no target");
      unit.events.push_back(event);
      return;
    }
    event.kind = kind == "plug" ? EventKind::kPlug : EventKind::kUnplug;
    if (c.Has("count")) c.At("count").Fail("only add_discs has a count");
    const std::string target = c.Text("target", "unit", 8);
    static const std::map<std::string, EventTarget> kTargets = {{"unit", EventTarget::kUnit},
                                                                {"hv22", EventTarget::kHv22},
                                                                {"printer", EventTarget::kPrinter},
                                                                {"drive", EventTarget::kDrive},
                                                                {"device", EventTarget::kDevice}};
    const auto it = kTargets.find(target);
    if (it == kTargets.end()) c.At("target").Fail("must be unit, hv22, printer, drive or device");
    event.target = it->second;
    if (event.target == EventTarget::kDevice) {
      // Any device of the bench, by where it sits: an extra printer the operator unplugs.
      if (!c.Has("hub") || !c.Has("port")) c.Fail("a device target needs \"hub\" and \"port\"");
      event.hub = c.Text("hub", "", 64);
      event.port = static_cast<int>(c.Int("port", 0, 1, 127));
      eventDevices_.push_back({event.hub, event.port, c});
    } else if (c.Has("hub") || c.Has("port")) {
      c.Fail("\"hub\" and \"port\" name a device target only");
    }
    if (event.target == EventTarget::kHv22 && unit.links.size() < 2) {
      c.At("target").Fail("this unit has no HV22 part");
    }
    if (event.target == EventTarget::kPrinter && unit.printer < 0) {
      c.At("target").Fail("this unit has no printer");
    }
    if (event.target == EventTarget::kDrive) event.drive = UnitDrive(c, unit);
    unit.events.push_back(event);
  }

  // A device target names a device by where it sits; once every device has its port, one must
  // sit there.
  void CheckEventDevices() {
    for (const EventDevice& e : eventDevices_) {  // no bindings: clang 14 cannot capture them
      if (!hubIndex_.count(e.hub)) e.where.At("hub").Fail("no hub \"" + e.hub + "\"");
      const bool there =
          std::any_of(model_.devices.begin(), model_.devices.end(),
                      [&](const BenchDevice& d) { return d.hub == e.hub && d.port == e.port; });
      if (!there) {
        e.where.At("port").Fail("no device sits on port " + std::to_string(e.port) + " of hub \"" +
                                e.hub + "\"");
      }
    }
  }

  // The system gives every drive on an autoloader's hub to the first autoloader there (and lists
  // no second one): a unit's drive on a hub where another unit's autoloader comes first could
  // never be that unit's.
  void CheckSharedHubs() {
    for (const auto& [device, where] : driveCursors_) {
      const BenchDevice& drive = model_.devices[static_cast<std::size_t>(device)];
      int ownPort = 0;  // the drive's unit's autoloader on the drive's hub, if it sits there
      for (const BenchLink& link : model_.units[static_cast<std::size_t>(drive.unit)].links) {
        const BenchDevice& own = model_.devices[static_cast<std::size_t>(link.device)];
        if (own.hub == drive.hub && (ownPort == 0 || own.port < ownPort)) ownPort = own.port;
      }
      for (const BenchDevice& other : model_.devices) {
        if (other.kind != DeviceKind::kAutoloader || other.unit == drive.unit ||
            other.hub != drive.hub || (ownPort != 0 && other.port > ownPort)) {
          continue;
        }
        (where.Has("hub") ? where.At("hub") : where)
            .Fail("hub \"" + drive.hub + "\" holds units[" + std::to_string(other.unit) +
                  "]'s autoloader on port " + std::to_string(other.port) +
                  ", which the system gives every drive on its hub: this drive could not be its "
                  "own unit's");
      }
    }
  }

  // Each run counts its own boxes, and a box names its unit by serial: on a bench of several
  // units, a unit whose boxes an event waits for needs a serial no other unit has.
  void CheckBoxEvents() {
    if (model_.units.size() < 2) return;
    auto serialOf = [this](std::size_t unit) {
      return model_.devices[static_cast<std::size_t>(model_.units[unit].links[0].device)].serial;
    };
    for (const auto& [unit, where] : boxEvents_) {
      const auto serial = serialOf(static_cast<std::size_t>(unit));
      if (!serial) {
        where.Fail("this unit has no serial, so its boxes cannot be told from another unit's");
      }
      for (std::size_t other = 0; other < model_.units.size(); ++other) {
        if (static_cast<int>(other) != unit && serialOf(other) == serial) {
          where.Fail("units[" + std::to_string(other) + "] has the same serial \"" + *serial +
                     "\", so this unit's boxes cannot be told from its");
        }
      }
    }
  }

  char UnitDrive(const Cursor& c, const BenchUnit& unit) {
    if (!c.Has("drive")) c.Fail("needs the \"drive\" letter it concerns");
    const std::string text = c.At("drive").AsText(1);
    const char letter = text.empty() ? 0 : static_cast<char>(std::toupper(text[0]));
    for (const BenchDrive& d : unit.drives) {
      if (model_.devices[d.device].letter == letter) return letter;
    }
    c.At("drive").Fail("\"" + text + "\" is not a drive of this unit");
  }

  void ReadCondition(const Cursor& c, BenchUnit& unit, const std::string& kind) {
    struct Row {
      const char* name;
      ConditionKind kind;
      bool (*fits)(Model);
      std::string models;
    };
    static const Row kRows[] = {
        {"tray_never_opens", ConditionKind::kTrayNeverOpens, [](Model) { return true; }, ""},
        {"tray_never_closes", ConditionKind::kTrayNeverCloses, [](Model) { return true; }, ""},
        {"printer_never_ejects", ConditionKind::kPrinterNeverEjects, IsTm36, ModelNames(IsTm36)},
        {"output_full", ConditionKind::kOutputFull, [](Model) { return true; }, ""},
        {"output_detached", ConditionKind::kOutputDetached, HasOutputBin, ModelNames(HasOutputBin)},
        {"ramp_closed", ConditionKind::kRampClosed, HasOutputRamp, ModelNames(HasOutputRamp)},
        {"motor", ConditionKind::kMotor, IsZp, "ZP models"},
        {"recovery_request", ConditionKind::kRecoveryRequest, IsZp, "ZP models"},
        {"pick_blocked", ConditionKind::kPickBlocked, IsHv, ModelNames(IsHv)},
        {"silent", ConditionKind::kSilent, [](Model) { return true; }, ""},
        {"babble", ConditionKind::kBabble, [](Model) { return true; }, ""},
        {"reads_hang", ConditionKind::kReadsHang, [](Model) { return true; }, ""},
    };
    const Row* row = nullptr;
    for (const Row& r : kRows) {
      if (kind == r.name) row = &r;
    }
    if (!row) c.At("kind").Fail("\"" + kind + "\" is not a fault kind");
    if (!row->fits(unit.model)) {
      c.At("kind").Fail(kind + " applies to " + row->models + " only, not to a " +
                        ModelName(unit.model));
    }
    c.ExpectObject({"kind", "from_ms", "after_command", "until_ms", "drive", "code", "comment"});
    Condition condition;
    condition.kind = row->kind;
    condition.from = ReadTrigger(c, "from_ms");
    if (c.Has("until_ms")) {
      condition.untilMs = c.Int("until_ms", 0, 0, kMaxMs);
      // After a command the start is not known in advance; by time it is.
      if (condition.from.afterCommand == 0 && *condition.untilMs < condition.from.atMs) {
        c.At("until_ms")
            .Fail(std::to_string(*condition.untilMs) + " is before from_ms " +
                  std::to_string(condition.from.atMs));
      }
    }
    const bool tray =
        row->kind == ConditionKind::kTrayNeverOpens || row->kind == ConditionKind::kTrayNeverCloses;
    if (tray) condition.drive = UnitDrive(c, unit);
    if (!tray && c.Has("drive")) c.At("drive").Fail("only tray faults name a drive");
    if (row->kind == ConditionKind::kMotor) {
      condition.code = c.Text("code", "E1000", 8);
      if (condition.code != "E1000" && condition.code != "E2000" && condition.code != "E3000") {
        c.At("code").Fail("a motor code is E1000, E2000 or E3000");
      }
    } else if (c.Has("code")) {
      c.At("code").Fail("only a motor fault has a code");
    }
    unit.conditions.push_back(condition);
  }

  BenchModel model_;
  std::map<std::string, std::size_t> hubIndex_;
  std::vector<Cursor> hubCursors_;
  std::map<std::pair<std::string, int>, std::string> occupied_;
  std::vector<Placement> placements_;
  std::vector<std::pair<char, Cursor>> letters_;
  struct EventDevice {
    std::string hub;
    int port;
    Cursor where;
  };
  std::vector<EventDevice> eventDevices_;
  std::vector<std::pair<int, Cursor>> driveCursors_;  // by the drive's device
  std::vector<std::pair<int, Cursor>> boxEvents_;     // by unit: events at its boxes
};

// The parser keeps the last of two equal keys in an object ("units": [...], "units": [] would
// drop every unit without a word): a first pass over the text finds them, with their path.
class DuplicateKeys : public nlohmann::json_sax<Json> {
 public:
  std::string found;  // the path of the first key given twice; empty when none is

  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override {
    Value();
    frames_.push_back({false, 0, {}, {}});
    return true;
  }
  bool key(string_t& key) override {
    Frame& frame = frames_.back();
    frame.key = key;
    if (frame.keys.insert(key).second) return true;
    found = Path();
    return false;
  }
  bool end_object() override {
    frames_.pop_back();
    return true;
  }
  bool start_array(std::size_t) override {
    Value();
    frames_.push_back({true, 0, {}, {}});
    return true;
  }
  bool end_array() override {
    frames_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;  // the real parse says what is wrong
  }

 private:
  struct Frame {
    bool array;
    std::size_t items;  // values begun in an array
    std::set<std::string> keys;
    std::string key;  // the key whose value is being read
  };

  bool Value() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().items;
    return true;
  }

  std::string Path() const {
    std::string path;
    for (const Frame& f : frames_) {
      if (f.array) {
        path += "[" + std::to_string(f.items - 1) + "]";
      } else {
        path += (path.empty() ? "" : ".") + f.key;
      }
    }
    return path;
  }

  std::vector<Frame> frames_;
};

}  // namespace

BenchModel ParseBench(const std::string& text, const std::string& source) {
  if (text.size() > kMaxBenchBytes) {
    throw BenchError(source + ": larger than " + std::to_string(kMaxBenchBytes >> 20) +
                     " MB, the most a bench file may hold");
  }
  DuplicateKeys duplicates;
  Json::sax_parse(text, &duplicates, nlohmann::json::input_format_t::json, false);
  if (!duplicates.found.empty()) {
    throw BenchError(source + ": " + duplicates.found + ": given twice in one object");
  }
  Json root;
  try {
    root = Json::parse(text);
  } catch (const Json::exception& e) {
    // Syntax errors, and numbers the parser cannot hold ("1e400" overflows a double).
    throw BenchError(source + ": not valid JSON: " + e.what());
  }
  return Loader(source).Load(root);
}

BenchModel LoadBenchFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw BenchError(path + ": cannot be read");
  // Read at most one byte past the limit: a device that never ends (/dev/zero) is not read whole.
  std::string text;
  char buffer[1 << 16];
  while (text.size() <= kMaxBenchBytes && file.read(buffer, sizeof buffer).gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(file.gcount()));
  }
  if (file.bad()) throw BenchError(path + ": cannot be read");
  return ParseBench(text, path);
}

}  // namespace platform::sim
