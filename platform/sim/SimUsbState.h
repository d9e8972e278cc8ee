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
  struct Device {
    UsbDeviceSpec layout;
    std::string instanceId;  // lower case
    std::string path;        // USB device interface path, lower case
    std::string driverKey;
    int address = 0;
    unsigned plugCount = 0;  // grows at every plug-in: handles from before are dead
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
  struct InterfaceSet {
    Guid interfaceClass;
    std::vector<std::string> paths;
  };

  mutable std::mutex mutex;
  std::vector<Hub> hubs;
  std::vector<Device> devices;
  // What the hub controls and the file opens look up, so that a scan of n ports costs n steps,
  // not n times the size of the bus. Filled as hubs and devices are added; never emptied (a
  // device's presence is in its layout). Paths in lower case; device ids in the order added.
  struct PortHash {
    std::size_t operator()(const std::pair<int, int>& at) const {
      return std::hash<long long>()((static_cast<long long>(at.first) << 32) ^
                                    static_cast<unsigned>(at.second));
    }
  };
  std::unordered_map<std::pair<int, int>, std::vector<int>, PortHash> devicesAtPort;  // (hub, port)
  std::unordered_map<std::pair<int, int>, int, PortHash> hubAtPort;  // (hub, port) -> first hub
  std::unordered_map<std::string, int> hubByPath;                    // -> first hub
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
    const auto it = devicesAtPort.find({hub, port});
    if (it == devicesAtPort.end()) return nullptr;
    for (int id : it->second) {
      const Device& d = devices[static_cast<std::size_t>(id)];
      if (d.layout.present) return &d;
    }
    return nullptr;
  }
  const Hub* HubAtLocked(int hub, int port) const {
    const auto it = hubAtPort.find({hub, port});
    return it == hubAtPort.end() ? nullptr : &hubs[static_cast<std::size_t>(it->second)];
  }
};

// Opens the files of the bus (SimUsbFiles.cpp).
std::shared_ptr<DeviceFileProvider> MakeBusFileProvider(std::shared_ptr<SimUsb::State> state);

}  // namespace platform::sim
