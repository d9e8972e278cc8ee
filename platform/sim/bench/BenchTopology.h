// What Windows would show for the bench's topology: hub instance ids, ParentIdPrefix values,
// device instance ids and USB device interface paths. Pure functions of the BenchModel; the ids
// themselves come from SimIds.h, as the simulated bus's do.
#pragma once

#include <optional>
#include <string>

#include "platform/sim/SimIds.h"
#include "platform/sim/bench/BenchModel.h"

namespace platform::sim {

// Index of the hub with this id, or -1.
int HubIndex(const BenchModel& bench, const std::string& id);
// The hub's ParentIdPrefix ("6&1f2e3d4c&0"), or nullopt when the bench says it has none.
std::optional<std::string> HubPrefix(const BenchModel& bench, int hub);
// The hub's device instance id: a root hub's own ("4&..&0"); a hub on a port of another hub:
// the parent's prefix, "&" and the port digit.
std::string HubInstanceId(const BenchModel& bench, int hub);
// The device's instance id: its serial (lower case, as a key name) when it has one that no
// earlier device of the same vendor and product uses; else the hub prefix, "&" and the port.
std::string DeviceInstanceId(const BenchModel& bench, int device);
// "\\?\usb#vid_1723&pid_0935#<instance id>#{a5dcbf10-...}": the path the pipes hang below.
std::string InterfacePath(const BenchModel& bench, int device);

}  // namespace platform::sim
