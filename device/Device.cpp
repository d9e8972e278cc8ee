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

bool DeviceEntry::ApplyDepartures(bool inUse) {
  const bool tm36 = VidPidContains("PID_0935");
  if (Link1Flag.load() == kFlagDeparted) {
    if (!inUse) {
      CloseDeviceHandle(Link1Read);
      CloseDeviceHandle(Link1Write);
    }
    Link1Flag = kFlagClosed;
  }
  if (Claim1Flag.load() == kFlagDeparted) {
    if (tm36) {
      PrinterPort = 0;
      SetPrinterName({});
    } else if (DriveLetter1.load() != 0) {
      DriveLetter1 = 0;
      if (DriveCount.load() != 0) DriveCount.fetch_sub(1);
    }
    Claim1Flag = kFlagClosed;
  }
  if (Link2Flag.load() == kFlagDeparted) {
    if (!inUse) {
      CloseDeviceHandle(Link2Read);
      CloseDeviceHandle(Link2Write);
    }
    HvPort = 0;
    Link2Flag = kFlagClosed;
  }
  if (Claim2Flag.load() == kFlagDeparted) {
    if (tm36) {
      if (DriveCount.load() != 0) {
        DriveCount = 0;
        DriveLetter1 = 0;
      }
    } else if (DriveLetter2.load() != 0) {
      DriveLetter2 = 0;
      if (DriveCount.load() != 0) DriveCount.fetch_sub(1);
    }
    Claim2Flag = kFlagClosed;
  }
  return Link1Flag.load() == kFlagClosed && Claim1Flag.load() == kFlagClosed &&
         Link2Flag.load() == kFlagClosed && Claim2Flag.load() == kFlagClosed;
}

void CloseDeviceHandle(std::atomic<platform::Handle>& handle) {
  const platform::Handle h = handle.exchange(platform::kInvalidHandle);
  if (h != platform::kInvalidHandle) platform::ThePlatform().CloseHandle(h);
}
