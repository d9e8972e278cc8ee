// Discovery operations the console calls: the USB port tree scan, the device list build, the
// removal scan, shut-down and the USB 3.0 topology log section. GUI thread only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

struct DeviceEntry;

class DiscoveryListIndex;

// What the list build keeps between its calls: the flags of the build under way, the index of
// the listed autoloaders its walks search, each unit's share of the rebuild and whether the
// drive-letter association waits for a run. One per console (the main window owns it and
// passes it); GUI thread only.
struct DiscoveryState {
  DiscoveryState();
  ~DiscoveryState();
  DiscoveryState(const DiscoveryState&) = delete;
  DiscoveryState& operator=(const DiscoveryState&) = delete;

  // The pass under way, and whether the build changed the list. BuildDeviceList clears both as
  // it starts; nothing else writes them.
  bool SecondPass = false;
  bool ListChanged = false;
  // What each unit has taken of the current rebuild, in hundredths, by the unit's hub and ids (a
  // unit that failed its identification is tried again, as a new entry, in the second pass).
  std::map<std::string, int> UnitTimes;
  // True while an association waits for the run of a unit that waits for its drive.
  bool AssociationDeferred = false;
  // The listed autoloaders by hub prefix, made afresh at each walk.
  std::unique_ptr<DiscoveryListIndex> ListIndex;
};

// `mainWindow` receives the device notifications: the main window as the platform knows it
// (ui::WindowHandle of the form).
void ScanUsbDevices(platform::Handle mainWindow);
// Windows asks whether the device behind an open drive or pipe handle may be removed: the handle
// is closed so that the removal can go on. A drive's slot becomes empty; a command link is marked
// departed and both its pipes are closed, so that a run using it fails its step as for a device
// that has left. Unknown handles are ignored (true).
// Its handle notification is kept until the removal has ended (below). A transfer on the handle
// is cancelled first; one that outlives kHandleReleaseWaitMs keeps the handle open, so the
// removal would fail anyway: the answer is false (refuse it), the drive or link left working.
bool ReleaseDeviceHandle(platform::Handle handle);
// The removal so asked about has ended, for the handle as it was watched and its notification:
// refused by another program (what the query closed is opened again: the drive's handle, or the
// link's pipes, the link open again unless it has been dropped meanwhile), or gone ahead (the
// notification ends). False for a handle no query released.
bool EndHandleRemoval(bool refused, platform::Handle handle, platform::Handle notification);
// A removal that completed without a query (the device was pulled out): when a drive's slot, or
// a link of a listed entry or of one in `departed` (entries that left the list while their run
// goes on), still holds the handle under this notification, it is closed now, transfers on it
// cancelled, and the link marked departed, rather than read until its run ends. True when it
// closed something.
bool CloseRemovedHandle(platform::Handle handle, platform::Handle notification,
                        const std::vector<DeviceEntry*>& departed);
// Builds or refreshes DeviceList from the port tree in two passes; true when the build added an
// entry (ListChanged). Leaves SelectedDevice as it was.
bool BuildDeviceList(DiscoveryState& discovery);
void DropDepartedPorts();
void CloseAllDevices();
void LogUsb3Topology();
