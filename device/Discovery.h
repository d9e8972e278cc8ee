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
// Its handle notification is kept until the removal has ended (below); a handle a worker is using
// is closed once its transfer is cancelled (CloseDeviceHandle).
void ReleaseDeviceHandle(platform::Handle handle);
// The removal so asked about has ended, for the handle as it was watched and its notification:
// refused by another program (what the query closed is opened again: the drive's handle, or the
// link's pipes, the link open again unless it has been dropped meanwhile), or gone ahead (the
// notification ends). Unknown handles are ignored.
void EndHandleRemoval(bool refused, platform::Handle handle, platform::Handle notification);
// Builds or refreshes DeviceList from the port tree in two passes; true when the build added an
// entry (ListChanged). Leaves SelectedDevice as it was.
bool BuildDeviceList();
void DropDepartedPorts();
void CloseAllDevices();
void LogUsb3Topology();
