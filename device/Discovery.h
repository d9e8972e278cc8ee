// Discovery operations the console calls: the USB port tree scan, the device list build, the
// removal scan, shut-down and the USB 3.0 topology log section. GUI thread only.
#pragma once

namespace ui {
class Form;
}

extern bool SecondPass;
extern bool ListChanged;

void ScanUsbDevices(ui::Form& mainWindow);
bool BuildDeviceList();
void DropDepartedPorts();
void CloseAllDevices();
void LogUsb3Topology();
