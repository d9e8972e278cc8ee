// The simulated USB bus: topology, the registry keys Windows keeps for it, SetupDi snapshots,
// logical drives and device notifications. Hub controls, drives and pipes: SimUsbFiles.cpp.
// The ids follow Windows' rules, derived in SimIds.cpp.
#include "platform/sim/SimUsb.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/sim/SimIds.h"
#include "platform/sim/SimUsbState.h"

namespace platform::sim {
namespace {

constexpr const char* kEnumUsb = "SYSTEM\\CurrentControlSet\\Enum\\USB\\";
constexpr const char* kEnumUsbStor = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\";
constexpr const char* kPrinters = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
constexpr const char* kMountedDevices = "SYSTEM\\MountedDevices";
constexpr const char* kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr const char* kUsbClassGuid = "{36fc9e60-c465-11cf-8056-444553540000}";
constexpr const char* kHubClassSuffix = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr const char* kVolumeClass = "#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
// External hubs need some vendor and product; these name no real product.
constexpr std::uint16_t kHubVid = 0xFFFE;
constexpr std::uint16_t kHubPid = 0x0001;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A token for USBSTOR and USBPRINT names: letters and digits, others as "_", at most n.
std::string Token(const std::string& text, std::size_t n) {
  std::string out;
  for (char c : text) {
    if (out.size() == n) break;
    out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return out.empty() ? std::string("Device") : out;
}

}  // namespace

SimUsb::SimUsb(SimRegistry& registry) : registry_(registry), state_(std::make_shared<State>()) {
  // The host's own fixed disk: a letter that is no USB drive, with the binary MountedDevices
  // value (disk signature and partition offset) Windows keeps for such a disk.
  State::Drive host;
  host.type = kDriveFixed;
  state_->drives[2] = host;
  const std::uint8_t signature[12] = {0x5A, 0x1E, 0x7C, 0x39, 0, 0, 0x10, 0, 0, 0, 0, 0};
  registry_.SetBinary(kMountedDevices, "\\DosDevices\\C:", signature);
}

SimUsb::~SimUsb() = default;

int SimUsb::AddHub(const UsbHubSpec& layout) {
  std::lock_guard lock(state_->mutex);
  State::Hub hub;
  hub.layout = layout;
  const int id = static_cast<int>(state_->hubs.size());
  if (hub.layout.name.empty()) hub.layout.name = "hub" + std::to_string(id);
  const bool root = layout.parent < 0 || layout.parent >= id;
  if (root) hub.layout.parent = -1;
  hub.depth = root ? 0 : state_->hubs[static_cast<std::size_t>(layout.parent)].depth + 1;
  if (!layout.noPrefix) {
    hub.prefix = layout.prefix.empty() ? HubIdPrefix(hub.depth, hub.layout.name) : layout.prefix;
  }
  std::string enumName;
  if (root) {
    hub.instanceId = RootHubInstanceId(hub.layout.name);
    enumName = layout.usb30 ? "ROOT_HUB30" : "ROOT_HUB20";
  } else {
    const auto& parent = state_->hubs[static_cast<std::size_t>(layout.parent)];
    hub.instanceId = PortInstanceId(parent.prefix, layout.parentPort);
    enumName = VidPidKey(kHubVid, kHubPid);
  }
  hub.path = "\\\\?\\usb#" + AsciiLower(enumName) + "#" + hub.instanceId + kHubClassSuffix;
  hub.address = state_->nextAddress++;
  char driver[64];
  std::snprintf(driver, sizeof driver, "%s\\%04d", kUsbClassGuid, state_->nextDriverIndex++);
  hub.driverKey = driver;

  const std::string key = kEnumUsb + enumName + "\\" + hub.instanceId;
  if (hub.prefix) registry_.SetString(key, "ParentIdPrefix", *hub.prefix);
  registry_.SetString(key, "Service", root ? (layout.usb30 ? "USBHUB3" : "usbhub") : "usbhub");
  const char* desc =
      root ? (layout.usb30 ? "USB Root Hub (USB 3.0)" : "USB Root Hub") : "Generic USB Hub";
  registry_.SetString(key, "DeviceDesc", std::string("@usb.inf,%hub.devicedesc%;") + desc);
  registry_.SetString(key, "Driver", hub.driverKey);
  registry_.SetString(kClassKey + hub.driverKey, "DriverDesc", desc);
  State::PortSlot* slot = state_->SlotLocked(hub.layout.parent, hub.layout.parentPort);
  if (slot != nullptr && slot->hub < 0) slot->hub = id;
  state_->hubByPath.emplace(AsciiLower(hub.path), id);
  state_->hubInterfaces.Add(hub.path);
  if (!root) {
    const std::size_t stem = hub.path.size() - std::strlen(kHubClassSuffix);
    state_->hubDeviceInterfaces.Add(hub.path.substr(0, stem) + "#" + kUsbDeviceClass);
  }
  state_->hubs.push_back(std::move(hub));
  return id;
}

namespace {

// The registry keys a device's driver leaves, by kind. `prefix` is the device key's
// ParentIdPrefix when its kind has one.
struct DeviceKeys {
  SimRegistry& registry;
  const UsbDeviceSpec& layout;
  const std::string& enumKey;
  const std::string& instanceId;
  const std::optional<std::string>& prefix;
  int depth;

  void Autoloader() {
    registry.SetString(enumKey, "Service", "VltUsb");
    if (layout.hasDescription) {
      registry.SetString(enumKey, "DeviceDesc",
                         "@oem7.inf,%autoloader.devicedesc%;" + layout.description);
    }
  }

  void Other() {
    registry.SetString(enumKey, "Service", "HidUsb");
    if (layout.hasDescription) {
      registry.SetString(enumKey, "DeviceDesc",
                         "@input.inf,%hid.devicedesc%;" + layout.description);
    }
  }

  // Returns the queue's name (empty when none is installed).
  std::string Printer() {
    registry.SetString(enumKey, "Service", "usbprint");
    registry.SetString(enumKey, "DeviceDesc",
                       "@usbprint.inf,%usbprint.devicedesc%;USB Printing Support");
    registry.SetString(enumKey, "ParentIdPrefix", *prefix);
    if (!layout.hasQueue) return {};
    std::string queue =
        layout.description.empty() ? std::string("USB Printer") : layout.description;
    for (int copy = 1; registry.KeyExists(kPrinters + queue); ++copy) {
      queue = layout.description + " (Copy " + std::to_string(copy) + ")";
    }
    const std::string queueKey = kPrinters + queue;
    registry.SetString(queueKey, "Name", queue);
    registry.SetString(queueKey, "Port", "USB001");
    registry.SetString(
        queueKey + "\\PnPData", "DeviceInstanceId",
        "USBPRINT\\" + Upper(Token(layout.description, 24)) + "\\" + Upper(*prefix) + "&0&USB001");
    return queue;
  }

  void Storage(bool cdrom) {
    registry.SetString(enumKey, "Service", "USBSTOR");
    registry.SetString(enumKey, "DeviceDesc",
                       "@usbstor.inf,%usbstor.devicedesc%;USB Mass Storage Device");
    if (prefix) registry.SetString(enumKey, "ParentIdPrefix", *prefix);
    // Below it, the storage node: "<serial>&0" with a serial, else "<ParentIdPrefix>&0".
    const std::string node =
        (prefix ? *prefix : SerialKeyName(layout.serial.value_or(instanceId))) + "&0";
    const std::string product = Token(layout.description, 16);
    const std::string deviceName =
        std::string(cdrom ? "CdRom" : "Disk") + "&Ven_Sim&Prod_" + product + "&Rev_1.00";
    const std::string storKey = kEnumUsbStor + deviceName + "\\" + node;
    if (layout.hasDescription) registry.SetString(storKey, "FriendlyName", layout.description);
    registry.SetString(storKey, "Service", cdrom ? "cdrom" : "disk");
    std::string mounted;
    if (cdrom) {
      mounted = "\\??\\USBSTOR#" + deviceName + "#" + node + kVolumeClass;
    } else {
      // A disk's volume hangs below the storage node, which therefore has a prefix of its own.
      const std::string volumePrefix = HashedId(7 + depth, "volume:" + enumKey);
      registry.SetString(storKey, "ParentIdPrefix", volumePrefix);
      mounted = "\\??\\STORAGE#RemovableMedia#" + volumePrefix + "&RM" + kVolumeClass;
    }
    if (layout.letter == 0) return;
    const std::string value = std::string("\\DosDevices\\") + layout.letter + ":";
    registry.SetBinary(kMountedDevices, value, Utf16LeBytes(mounted));
  }
};

// The device's registry keys: those of its kind below its enum key, its driver and the
// driver's description; a printer's queue is noted in the device.
void WriteDeviceKeys(SimRegistry& registry, SimUsb::State::Device& device, bool bySerial,
                     int depth) {
  const UsbDeviceSpec& layout = device.layout;
  const std::string enumKey =
      kEnumUsb + VidPidKey(layout.vid, layout.pid) + "\\" + device.instanceId;
  std::optional<std::string> prefix;
  const bool storage = layout.kind == UsbDeviceKind::kCdRom || layout.kind == UsbDeviceKind::kDisk;
  if (layout.kind == UsbDeviceKind::kPrinter || (storage && !bySerial)) {
    prefix = HashedId(6 + depth, "device:" + enumKey);
  }
  DeviceKeys keys{registry, device.layout, enumKey, device.instanceId, prefix, depth};
  std::string driverDesc = layout.description;
  switch (layout.kind) {
    case UsbDeviceKind::kAutoloader:
      keys.Autoloader();
      break;
    case UsbDeviceKind::kPrinter:
      device.queue = keys.Printer();
      driverDesc = "USB Printing Support";
      break;
    case UsbDeviceKind::kCdRom:
    case UsbDeviceKind::kDisk:
      keys.Storage(layout.kind == UsbDeviceKind::kCdRom);
      driverDesc = "USB Mass Storage Device";
      break;
    case UsbDeviceKind::kOther:
      keys.Other();
      break;
  }
  registry.SetString(enumKey, "Driver", device.driverKey);
  registry.SetString(kClassKey + device.driverKey, "DriverDesc", driverDesc);
}

// Where the bus finds device `id`: a storage device's drive letter, and its place in the chain of
// devices at its hub port. The state's lock is held.
void PlaceDeviceLocked(SimUsb::State& state, int id, const UsbDeviceSpec& layout) {
  const bool storage = layout.kind == UsbDeviceKind::kCdRom || layout.kind == UsbDeviceKind::kDisk;
  const char letter = layout.letter;
  if (storage && letter >= 'A' && letter <= 'Z') {
    SimUsb::State::Drive drive;
    drive.device = id;
    drive.type = layout.kind == UsbDeviceKind::kCdRom ? kDriveCdrom : kDriveRemovable;
    state.drives[static_cast<std::size_t>(letter - 'A')] = std::move(drive);
  }
  state.nextAtPort.push_back(-1);
  if (SimUsb::State::PortSlot* slot = state.SlotLocked(layout.hub, layout.port)) {
    if (slot->firstDevice < 0) {
      slot->firstDevice = id;
    } else {
      state.nextAtPort[static_cast<std::size_t>(slot->lastDevice)] = id;
    }
    slot->lastDevice = id;
  }
}

}  // namespace

int SimUsb::AddDevice(const UsbDeviceSpec& layout) {
  std::lock_guard lock(state_->mutex);
  const int id = static_cast<int>(state_->devices.size());
  State::Device device;
  device.layout = layout;
  device.layout.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(layout.letter)));
  const bool hubKnown = layout.hub >= 0 && layout.hub < static_cast<int>(state_->hubs.size());
  if (!hubKnown) device.layout.hub = 0;
  const State::Hub* hub =
      state_->hubs.empty() ? nullptr : &state_->hubs[static_cast<std::size_t>(device.layout.hub)];
  const std::optional<std::string> hubPrefix = hub ? hub->prefix : std::nullopt;

  // Named by its serial unless an earlier device of the same vendor and product has it.
  bool duplicate = false;
  if (layout.serial) {
    duplicate =
        !state_->serialNames.insert(SerialIdentity(layout.vid, layout.pid, *layout.serial)).second;
  }
  const bool bySerial = layout.serial && !duplicate;
  device.instanceId =
      sim::DeviceInstanceId(bySerial ? layout.serial : std::nullopt, hubPrefix, layout.port);
  device.path = sim::DeviceInterfacePath(layout.vid, layout.pid, device.instanceId);
  device.address = state_->nextAddress++;
  char driver[64];
  std::snprintf(driver, sizeof driver, "%s\\%04d", kUsbClassGuid, state_->nextDriverIndex++);
  device.driverKey = driver;
  device.plugCount = layout.present ? 1 : 0;

  WriteDeviceKeys(registry_, device, bySerial, hub ? hub->depth : 0);
  PlaceDeviceLocked(*state_, id, device.layout);
  device.hasSerial = device.layout.serial.has_value();
  state_->devicesByPath[AsciiLower(device.path)].push_back(id);
  state_->deviceInterfaces.Add(device.path);
  state_->devicePresent.push_back(device.layout.present);
  state_->devices.push_back(std::move(device));
  return id;
}

std::string SimUsb::HubInstanceId(int hub) const {
  std::lock_guard lock(state_->mutex);
  return state_->hubs.at(static_cast<std::size_t>(hub)).instanceId;
}

std::optional<std::string> SimUsb::HubPrefix(int hub) const {
  std::lock_guard lock(state_->mutex);
  return state_->hubs.at(static_cast<std::size_t>(hub)).prefix;
}

std::string SimUsb::HubInterfacePath(int hub) const {
  std::lock_guard lock(state_->mutex);
  return state_->hubs.at(static_cast<std::size_t>(hub)).path;
}

std::string SimUsb::DeviceInstanceId(int device) const {
  std::lock_guard lock(state_->mutex);
  return state_->devices.at(static_cast<std::size_t>(device)).instanceId;
}

std::string SimUsb::QueueName(int device) const {
  std::lock_guard lock(state_->mutex);
  return state_->devices.at(static_cast<std::size_t>(device)).queue;
}

std::string SimUsb::DeviceInterfacePath(int device) const {
  std::lock_guard lock(state_->mutex);
  return state_->devices.at(static_cast<std::size_t>(device)).path;
}

int SimUsb::HubCount() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->hubs.size());
}

int SimUsb::DeviceCount() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->devices.size());
}

// --- Plugging ------------------------------------------------------------------------------------

void SimUsb::Unplug(int device) {
  SetPresence(device, false);
}

void SimUsb::Plug(int device) {
  SetPresence(device, true);
}

void SimUsb::SetPresence(int device, bool present) {
  std::shared_ptr<UsbFunction> function;
  std::function<void(unsigned long)> sink;
  {
    std::lock_guard lock(state_->mutex);
    if (device < 0 || device >= static_cast<int>(state_->devices.size())) return;
    State::Device& d = state_->devices[static_cast<std::size_t>(device)];
    if (d.layout.present == present) return;
    d.layout.present = present;
    state_->devicePresent[static_cast<std::size_t>(device)] = present;
    if (present) ++d.plugCount;
    function = d.function;
    if (!state_->notifications.empty()) sink = state_->sink;
  }
  // Outside the lock: both may call back into the bus (a sink may dispatch the message at once).
  if (function) function->Plugged(present);
  if (sink) sink(present ? kDeviceArrival : kDeviceRemoveComplete);
}

bool SimUsb::IsPresent(int device) const {
  std::lock_guard lock(state_->mutex);
  return state_->DevicePresentLocked(device);
}

void SimUsb::SetDeviceChangeSink(std::function<void(unsigned long eventCode)> sink) {
  std::lock_guard lock(state_->mutex);
  state_->sink = std::move(sink);
}

bool SimUsb::NotificationRegistered() const {
  std::lock_guard lock(state_->mutex);
  return !state_->notifications.empty();
}

// --- Units and drives
// ------------------------------------------------------------------------------

void SimUsb::AttachFunction(int device, std::shared_ptr<UsbFunction> function) {
  std::lock_guard lock(state_->mutex);
  if (device < 0 || device >= static_cast<int>(state_->devices.size())) return;
  state_->devices[static_cast<std::size_t>(device)].function = std::move(function);
}

namespace {
int LetterIndex(char letter) {
  const int upper = std::toupper(static_cast<unsigned char>(letter));
  return upper >= 'A' && upper <= 'Z' ? upper - 'A' : -1;
}
}  // namespace

void SimUsb::SetTrayMover(char letter, TrayMover mover) {
  std::lock_guard lock(state_->mutex);
  const int index = LetterIndex(letter);
  if (index < 0) return;
  auto& drive = state_->drives[static_cast<std::size_t>(index)];
  if (drive) drive->mover = std::move(mover);
}

bool SimUsb::TrayOpen(char letter) const {
  std::lock_guard lock(state_->mutex);
  const int index = LetterIndex(letter);
  if (index < 0) return false;
  const auto& drive = state_->drives[static_cast<std::size_t>(index)];
  return drive && drive->trayOpen;
}

std::vector<ScsiRecord> SimUsb::ScsiRequests(char letter) const {
  std::lock_guard lock(state_->mutex);
  const int index = LetterIndex(letter);
  if (index < 0) return {};
  const auto& drive = state_->drives[static_cast<std::size_t>(index)];
  return drive ? drive->requests : std::vector<ScsiRecord>{};
}

std::shared_ptr<DeviceFileProvider> SimUsb::FileProvider() const {
  return MakeBusFileProvider(state_);
}

// --- SetupDi
// ---------------------------------------------------------------------------------------

Handle SimUsb::SetupDiGetClassDevsA(const Guid& interfaceClass, std::uint32_t flags) {
  std::lock_guard lock(state_->mutex);
  State::InterfaceSet set;
  set.interfaceClass = interfaceClass;
  // Without DIGCF_DEVICEINTERFACE the GUID names a setup class, which has no interfaces here.
  if ((flags & kDigcfDeviceInterface) != 0) {
    const bool presentOnly = (flags & kDigcfPresent) != 0;
    if (interfaceClass == kUsbHubInterfaceClass) {
      set.paths = state_->hubInterfaces;
    } else if (interfaceClass == kUsbDeviceInterfaceClass) {
      // External hubs are USB devices too; root hubs are not.
      const State::PathList& devices = state_->deviceInterfaces;
      set.paths = state_->hubDeviceInterfaces;
      // Room for all at once: a set of thousands of paths is not copied again at each doubling.
      set.paths.text.reserve(set.paths.text.size() + devices.text.size());
      set.paths.ends.reserve(set.paths.size() + devices.size());
      for (std::size_t i = 0; i < devices.size(); ++i) {
        if (state_->devicePresent[i] || !presentOnly) set.paths.Add(devices[i]);
      }
    }
  }
  const Handle handle = state_->nextSet;
  state_->nextSet += 4;
  state_->sets.emplace(handle, std::move(set));
  return handle;
}

bool SimUsb::SetupDiEnumDeviceInterfaces(Handle set, const Guid& interfaceClass,
                                         std::uint32_t index, DeviceInterfaceData* data) {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->sets.find(set);
  if (it == state_->sets.end() || data == nullptr) return false;
  if (!(it->second.interfaceClass == interfaceClass) || index >= it->second.paths.size())
    return false;
  data->interfaceClass = interfaceClass;
  data->flags = 1;  // SPINT_ACTIVE
  data->index = index;
  return true;
}

bool SimUsb::SetupDiGetDeviceInterfaceDetailA(Handle set, const DeviceInterfaceData& data,
                                              char* path, std::uint32_t size,
                                              std::uint32_t* required) {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->sets.find(set);
  if (it == state_->sets.end() || data.index >= it->second.paths.size()) return false;
  const std::string_view found = it->second.paths[data.index];
  const auto needed = static_cast<std::uint32_t>(found.size() + 1);
  if (required != nullptr) *required = needed;
  if (path == nullptr || size < needed) return false;
  std::memcpy(path, found.data(), found.size());
  path[found.size()] = '\0';
  return true;
}

bool SimUsb::SetupDiDestroyDeviceInfoList(Handle set) {
  std::lock_guard lock(state_->mutex);
  return state_->sets.erase(set) == 1;
}

// --- Logical drives
// --------------------------------------------------------------------------------

std::uint32_t SimUsb::GetLogicalDrives() const {
  std::lock_guard lock(state_->mutex);
  std::uint32_t mask = 0;
  for (int i = 0; i < 26; ++i) {
    if (state_->MountedDriveLocked(i) != nullptr) mask |= 1u << i;
  }
  return mask;
}

std::uint32_t SimUsb::GetLogicalDriveStringsA(std::uint32_t size, char* buffer) const {
  const std::uint32_t mask = GetLogicalDrives();
  std::string roots;
  for (int i = 0; i < 26; ++i) {
    if ((mask & (1u << i)) == 0) continue;
    roots += static_cast<char>('A' + i);
    roots += ":\\";
    roots += '\0';
  }
  const auto length = static_cast<std::uint32_t>(roots.size());
  if (buffer == nullptr || size < length + 1) return length + 1;
  std::memcpy(buffer, roots.data(), length);
  buffer[length] = '\0';
  return length;
}

std::uint32_t SimUsb::GetDriveTypeA(const char* root) const {
  if (root == nullptr || root[0] == '\0' || root[1] != ':') return kDriveNoRootDir;
  std::lock_guard lock(state_->mutex);
  const State::Drive* drive = state_->MountedDriveLocked(LetterIndex(root[0]));
  return drive ? drive->type : kDriveNoRootDir;
}

// --- Device notification
// ---------------------------------------------------------------------------

Handle SimUsb::RegisterDeviceNotificationA(Handle recipient,
                                           const DevBroadcastDeviceInterface& filter,
                                           std::uint32_t flags) {
  if (filter.size != sizeof(DevBroadcastDeviceInterface) ||
      filter.deviceType != kDbtDevtypDeviceInterface || flags != kDeviceNotifyWindowHandle ||
      recipient == 0) {
    return 0;
  }
  std::lock_guard lock(state_->mutex);
  const Handle handle = state_->nextNotification;
  state_->nextNotification += 4;
  state_->notifications.emplace(handle, recipient);
  return handle;
}

bool SimUsb::UnregisterDeviceNotification(Handle notification) {
  std::lock_guard lock(state_->mutex);
  return state_->notifications.erase(notification) == 1;
}

std::size_t SimUsb::OpenSetCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->sets.size() + state_->notifications.size();
}

}  // namespace platform::sim
