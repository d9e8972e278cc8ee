// Discovery operations the console calls: the USB port tree scan, the device list build, the
// removal scan, shut-down and the USB 3.0 topology log section. GUI thread only.
#pragma once

#include "platform/Platform.h"

// Discovery's own flags across the two passes of one list build (GUI thread only): the pass
// under way, and whether the build changed the list. BuildDeviceList clears both as it starts;
// nothing else writes them.
extern bool SecondPass;
extern bool ListChanged;

// `mainWindow` receives the device notifications: the main window as the platform knows it
// (ui::WindowHandle of the form).
void ScanUsbDevices(platform::Handle mainWindow);
// Windows asks whether the device behind an open drive or pipe handle may be removed: the handle
// is closed so that the removal can go on. A drive's slot becomes empty; a command link is marked
// departed and both its pipes are closed, so that a run using it fails its step as for a device
// that has left. Unknown handles are ignored.
void ReleaseDeviceHandle(platform::Handle handle);
// Builds or refreshes DeviceList from the port tree in two passes; true when the build added an
// entry (ListChanged). Leaves SelectedDevice as it was.
bool BuildDeviceList();
void DropDepartedPorts();
void CloseAllDevices();
void LogUsb3Topology();
