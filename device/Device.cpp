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

std::string_view DeviceEntry::VidPid() const {
  return std::string_view(VidPidText, strnlen(VidPidText, sizeof(VidPidText)));
}

bool DeviceEntry::ProductHas(bool models::ModelRow::*trait) const {
  return models::ProductHas(VidPid(), trait);
}

bool DeviceEntry::ApplyDepartures(bool inUse) {
  const bool printerUnit = ProductHas(&models::ModelRow::printer);
  if (Link1Flag.load() == kFlagDeparted) {
    if (!inUse) {
      CloseDeviceHandle(Link1Read);
      CloseDeviceHandle(Link1Write);
    }
    Link1Flag = kFlagClosed;
  }
  if (Claim1Flag.load() == kFlagDeparted) {
    if (printerUnit) {
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
    if (printerUnit) {
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
