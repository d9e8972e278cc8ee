// Inside the simulated USB bus: the state SimUsb shares with the files opened on it (hubs,
// drives, pipes). Only SimUsb*.cpp include this; the lock guards every field.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/sim/SimUsb.h"

namespace platform::sim {

struct SimUsb::State {
  struct Hub {
    UsbHubSpec layout;
    int depth = 0;
    std::string instanceId;
    std::optional<std::string> prefix;
    std::string path;  // hub interface path, lower case
    std::string driverKey;
    int address = 0;
  };
  // Each on lines of its own: a hub's answer about a port reads the first line and the serial
  // beside it, not the tail of the device before.
  struct alignas(64) Device {
    // What a hub's answer about the port reads comes first, together.
    int address = 0;
    unsigned plugCount = 0;  // grows at every plug-in: handles from before are dead
    bool hasSerial = false;  // layout.serial, which lies further on
    UsbDeviceSpec layout;
    std::string instanceId;  // lower case
    std::string path;        // USB device interface path, lower case
    std::string driverKey;
    std::string queue;  // a printer's print queue as named in the registry; empty for none
    std::shared_ptr<UsbFunction> function;
  };
  struct Drive {
    int device = -1;  // -1: the host's own fixed disk
    std::uint32_t type = kDriveFixed;
    bool trayOpen = false;
    bool locked = false;  // PREVENT ALLOW MEDIUM REMOVAL with the prevent bit
    TrayMover mover;
    std::vector<ScsiRecord> requests;
  };
  // Interface paths one after another in one text: an enumeration copies and reads them from
  // start to end instead of visiting every hub and device where each was allocated.
  struct PathList {
    std::string text;
    std::vector<std::size_t> ends;
    std::size_t size() const { return ends.size(); }
    std::string_view operator[](std::size_t i) const {
      const std::size_t begin = i == 0 ? 0 : ends[i - 1];
      return std::string_view(text).substr(begin, ends[i] - begin);
    }
    void Add(std::string_view path) {
      text.append(path);
      ends.push_back(text.size());
    }
  };
  struct InterfaceSet {
    Guid interfaceClass;
    PathList paths;
  };

  mutable std::mutex mutex;
  std::vector<Hub> hubs;
  std::vector<Device> devices;
  // The enumerations' copies of the paths (which never change once made): every hub's hub
  // interface, the USB device interface of every hub that is not a root hub, and every
  // device's, in the order added; with each device's presence beside them (kept with
  // layout.present).
  PathList hubInterfaces;
  PathList hubDeviceInterfaces;
  PathList deviceInterfaces;
  std::vector<bool> devicePresent;
  // What the hub controls and the file opens look up, so that a scan of n ports costs n steps,
  // not n times the size of the bus. Filled as hubs and devices are added; never emptied (a
  // device's presence is in its layout). Paths in lower case; device ids in the order added.
  //
  // What is plugged into each port, by hub and port number: a scan's look-ups read adjacent
  // slots of one hub rather than hashing their way into nodes allocated apart.
  struct PortSlot {
    int hub = -1;          // the first hub added there
    int firstDevice = -1;  // the devices added there, in that order: the first and the last;
    int lastDevice = -1;   // each leads to the next through nextAtPort
  };
  std::vector<std::vector<PortSlot>> portSlots;
  std::vector<int> nextAtPort;  // by device: the next one added at its port, or -1
  // A hub answers for ports 1 to its count, which fits a byte; a slot past that is never asked
  // for, so none is made (a bench file's wild port number costs nothing).
  static constexpr int kMaxPortNumber = 255;
  PortSlot* SlotLocked(int hub, int port) {
    if (hub < 0 || port < 1 || port > kMaxPortNumber) return nullptr;
    if (static_cast<std::size_t>(hub) >= portSlots.size()) {
      portSlots.resize(static_cast<std::size_t>(hub) + 1);
    }
    auto& slots = portSlots[static_cast<std::size_t>(hub)];
    if (static_cast<std::size_t>(port) >= slots.size()) {
      slots.resize(static_cast<std::size_t>(port) + 1);
    }
    return &slots[static_cast<std::size_t>(port)];
  }
  const PortSlot* FindSlotLocked(int hub, int port) const {
    if (hub < 0 || port < 0 || static_cast<std::size_t>(hub) >= portSlots.size()) return nullptr;
    const auto& slots = portSlots[static_cast<std::size_t>(hub)];
    return static_cast<std::size_t>(port) < slots.size() ? &slots[static_cast<std::size_t>(port)]
                                                         : nullptr;
  }
  std::unordered_map<std::string, int> hubByPath;  // -> first hub
  std::unordered_map<std::string, std::vector<int>> devicesByPath;
  // "vid_xxxx&pid_yyyy#<serial as a key name>", lower case, of every device added with a serial.
  std::set<std::string> serialNames;
  std::array<std::optional<Drive>, 26> drives;
  std::map<Handle, InterfaceSet> sets;
  Handle nextSet = 0x50000000;
  std::map<Handle, Handle> notifications;  // handle -> recipient
  Handle nextNotification = 0x60000000;
  std::function<void(unsigned long)> sink;
  int nextAddress = 1;
  int nextDriverIndex = 0;

  bool DevicePresentLocked(int device) const {
    return device >= 0 && device < static_cast<int>(devices.size()) &&
           devices[static_cast<std::size_t>(device)].layout.present;
  }
  // The drive at letter index 0..25 while it is mounted.
  Drive* MountedDriveLocked(int letterIndex) {
    if (letterIndex < 0 || letterIndex >= 26) return nullptr;
    auto& drive = drives[static_cast<std::size_t>(letterIndex)];
    if (!drive) return nullptr;
    if (drive->device >= 0 && !DevicePresentLocked(drive->device)) return nullptr;
    return &*drive;
  }
  // What is plugged into a hub's port now: a present device, or a hub.
  const Device* DeviceAtLocked(int hub, int port) const {
    const PortSlot* slot = FindSlotLocked(hub, port);
    if (slot == nullptr) return nullptr;
    for (int id = slot->firstDevice; id >= 0; id = nextAtPort[static_cast<std::size_t>(id)]) {
      const Device& d = devices[static_cast<std::size_t>(id)];
      if (d.layout.present) return &d;
    }
    return nullptr;
  }
  const Hub* HubAtLocked(int hub, int port) const {
    const PortSlot* slot = FindSlotLocked(hub, port);
    return slot == nullptr || slot->hub < 0 ? nullptr : &hubs[static_cast<std::size_t>(slot->hub)];
  }
};

// Opens the files of the bus (SimUsbFiles.cpp).
std::shared_ptr<DeviceFileProvider> MakeBusFileProvider(std::shared_ptr<SimUsb::State> state);

}  // namespace platform::sim
