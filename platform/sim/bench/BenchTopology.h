// What Windows would show for the bench's topology: hub instance ids, ParentIdPrefix values,
// device instance ids and USB device interface paths. Pure functions of the BenchModel.
#pragma once

#include <optional>
#include <string>

#include "platform/sim/bench/BenchModel.h"

namespace platform::sim {

// The device interface class GUID of USB devices, as it ends their interface paths.
inline constexpr const char* kUsbDeviceClass = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// Index of the hub with this id, or -1.
int HubIndex(const BenchModel& bench, const std::string& id);
// The hub's ParentIdPrefix ("6&1f2e3d4c&0"), or nullopt when the bench says it has none.
std::optional<std::string> HubPrefix(const BenchModel& bench, int hub);
// The hub's device instance id: a root hub's own ("4&..&0"); a hub on a port of another hub:
// the parent's prefix, "&" and the port digit.
std::string HubInstanceId(const BenchModel& bench, int hub);
// The device's instance id: its serial (lower case, blanks as "_") when it has one that no
// earlier device of the same vendor and product uses; else the hub prefix, "&" and the port.
std::string DeviceInstanceId(const BenchModel& bench, int device);
// "vid_1723&pid_0935": lower-case hexadecimal.
std::string VidPidText(const BenchDevice& device);
// "\\?\usb#vid_1723&pid_0935#<instance id>#{a5dcbf10-...}": the path the pipes hang below.
std::string InterfacePath(const BenchModel& bench, int device);

}  // namespace platform::sim
