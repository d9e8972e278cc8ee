// Discovery operations the console calls: the USB port tree scan, the device list build, the
// removal scan, shut-down and the USB 3.0 topology log section. GUI thread only.
#pragma once

#include "platform/Platform.h"

extern bool SecondPass;
extern bool ListChanged;

// `mainWindow` receives the device notifications: the main window as the platform knows it
// (ui::WindowHandle of the form).
void ScanUsbDevices(platform::Handle mainWindow);
bool BuildDeviceList();
void DropDepartedPorts();
void CloseAllDevices();
void LogUsb3Topology();
