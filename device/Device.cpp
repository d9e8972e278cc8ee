// DeviceEntry, DeviceList and SelectedDevice.
#include "device/Device.h"

#include <cstring>
#include <string_view>

DeviceListType DeviceList;
DeviceEntry* SelectedDevice = nullptr;

DeviceEntry::DeviceEntry() = default;

// An entry closes the pipes it still holds when it is freed, so that no path of removal or
// shut-down can leak a handle.
DeviceEntry::~DeviceEntry() {
  CloseDeviceHandle(Link1Read);
  CloseDeviceHandle(Link1Write);
  CloseDeviceHandle(Link2Read);
  CloseDeviceHandle(Link2Write);
}

std::string DeviceEntry::GetPrinterName() const {
  std::lock_guard<std::mutex> lock(textLock_);
  return printerName_;
}

void DeviceEntry::SetPrinterName(std::string name) {
  std::lock_guard<std::mutex> lock(textLock_);
  printerName_ = std::move(name);
}

bool DeviceEntry::VidPidContains(const char* text) const {
  const std::string_view vidPid(VidPidText, strnlen(VidPidText, sizeof(VidPidText)));
  return vidPid.find(text) != std::string_view::npos;
}

void CloseDeviceHandle(std::atomic<platform::Handle>& handle) {
  const platform::Handle h = handle.exchange(platform::kInvalidHandle);
  if (h != platform::kInvalidHandle) platform::ThePlatform().CloseHandle(h);
}
