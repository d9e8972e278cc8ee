// The USB section of the run log: the port tree as discovery sees it, then every USB 3.0 hub and
// every USB 3.0 or autoloader device the hub controls report below a USB 3.0 root hub.
#include <algorithm>
#include <string>
#include <vector>

#include "device/DeviceHost.h"
#include "device/Discovery.h"
#include "device/PortTree.h"
#include "device/RegistryText.h"
#include "models/ModelCatalogue.h"
#include "platform/DeviceControl.h"

namespace {

constexpr const char* kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr std::size_t kDriverDescBytes = 128;

void LogPortTree() {
  const int nodes = HubNodeCount();
  for (int n = 0; n < nodes; ++n) {
    if (!SelectHubNode(n)) continue;
    const int count = PortEntryCount();
    for (int i = 0; i < count; ++i) {
      PortInfo info;
      if (GetPortEntry(i, info)) DeviceLog("%s : %s", info.VidPidText, info.Description.c_str());
    }
    if (count > 0) DeviceLogText(kLogSeparator);
  }
}

// The name a name-type control returned: UTF-16 from offset 8, never past what came back.
std::string NameFromBuffer(const std::uint8_t* buffer, std::uint32_t returned) {
  using C = platform::NodeConnectionNameLayout;
  const std::size_t end = std::min<std::size_t>(returned, C::kBufferSize);
  if (end <= C::kName) return {};
  return Utf16Text(std::vector<std::uint8_t>(buffer + C::kName, buffer + end));
}

bool ConnectionName(platform::Handle hub, std::uint32_t code, int port, std::string& name) {
  using C = platform::NodeConnectionNameLayout;
  std::uint8_t buffer[C::kBufferSize] = {};
  platform::PutU32(buffer, C::kConnectionIndex, static_cast<std::uint32_t>(port));
  std::uint32_t returned = 0;
  if (!platform::ThePlatform().DeviceIoControl(hub, code, buffer, C::kBufferSize, buffer,
                                               C::kBufferSize, &returned)) {
    return false;
  }
  name = NameFromBuffer(buffer, returned);
  return true;
}

void LogDevice(platform::Handle hub, int port, std::uint16_t vid, std::uint16_t pid) {
  std::string driverKey;
  if (!ConnectionName(hub, platform::kIoctlUsbGetNodeConnectionDriverkeyName, port, driverKey)) {
    return;
  }
  const platform::Handle key = OpenRegKey(kClassKey + driverKey);
  const std::string description = ReadRegText(key, "DriverDesc", kDriverDescBytes, "");
  CloseRegKey(key);
  DeviceLog("Device : USB#VID_%04X&PID_%04X#%d  %s", vid, pid, port, description.c_str());
}

void LogHubPorts(platform::Handle hub, int ports) {
  using L = platform::NodeConnectionInformationLayout;
  for (int port = 1; port <= ports; ++port) {
    std::uint8_t info[L::kLogBufferSize] = {};
    if (!ReadConnectionInformation(hub, port, info) ||
        platform::GetU32(info, L::kConnectionStatus) != L::kDeviceConnected) {
      continue;
    }
    const std::uint16_t bcdUsb = platform::GetU16(info, L::kBcdUsb);
    const std::uint16_t vid = platform::GetU16(info, L::kIdVendor);
    const std::uint16_t pid = platform::GetU16(info, L::kIdProduct);
    if (bcdUsb < 0x0300 && !models::IsAutoloaderVendor(vid)) continue;
    if (info[L::kDeviceIsHub] != 0) {
      std::string name;
      if (ConnectionName(hub, platform::kIoctlUsbGetNodeConnectionName, port, name)) {
        DeviceLog("HUB : %s", name.c_str());
      }
    } else {
      LogDevice(hub, port, vid, pid);
    }
  }
}

// The port count as the node information gives it; a failed call leaves the zeroed buffer,
// hence no ports.
int RawPortCount(platform::Handle hub) {
  using N = platform::NodeInformationLayout;
  std::uint8_t buffer[N::kSize] = {};
  std::uint32_t returned = 0;
  platform::ThePlatform().DeviceIoControl(hub, platform::kIoctlUsbGetNodeInformation, buffer,
                                          N::kSize, buffer, N::kSize, &returned);
  return buffer[N::kNumberOfPorts];
}

}  // namespace

void LogUsb3Topology() {
  LogPortTree();
  bool usb3Root = false;
  for (const std::string& original : port_tree::InterfacePaths(platform::kUsbHubInterfaceClass)) {
    const std::string path = LowerText(original);
    if (Contains(path, "root_hub30")) {
      if (!usb3Root) DeviceLogText("---------- Find USB 3.0 HUB / Device ----------");
      usb3Root = true;
      DeviceLog("HUB : %s", path.size() > 4 ? path.c_str() + 4 : "");
    }
    const platform::Handle hub =
        platform::ThePlatform().CreateFileA(original.c_str(), platform::kGenericWrite,
                                            platform::kFileShareWrite, platform::kOpenExisting);
    if (hub == platform::kInvalidHandle) continue;
    // Only ports below a USB 3.0 root hub met so far are of interest.
    if (usb3Root) LogHubPorts(hub, RawPortCount(hub));
    platform::ThePlatform().CloseHandle(hub);
  }
  if (usb3Root) DeviceLogText("---------- End Find USB 3.0 HUB / Device ----------");
}
