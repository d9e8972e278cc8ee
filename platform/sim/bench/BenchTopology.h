// What Windows would show for the bench's topology: hub instance ids, ParentIdPrefix values,
// device instance ids and USB device interface paths. Pure functions of the BenchModel; the ids
// themselves come from SimIds.h, as the simulated bus's do.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/sim/SimIds.h"
#include "platform/sim/bench/BenchModel.h"

namespace platform::sim {

// The bench's hubs by id, their depths and every device's instance id, worked out once in one
// pass over the lists: asked one at a time, each look-up walks the hubs or the earlier devices,
// and a bench of a thousand hubs would take its set-up quadratic time. Borrows the model, which
// must outlive it.
class BenchIds {
 public:
  explicit BenchIds(const BenchModel& bench);

  // Index of the hub with this id, or -1.
  int HubIndex(const std::string& id) const;
  // The hub's parent's index, or -1 for a root hub.
  int Parent(int hub) const { return parents_[static_cast<std::size_t>(hub)]; }
  // Hubs above it up to its root hub (0 for a root hub).
  int Depth(int hub) const { return depths_[static_cast<std::size_t>(hub)]; }
  // True when the hub is, or hangs below, a USB 3.0 root hub.
  bool BelowUsb3Root(int hub) const;
  std::optional<std::string> HubPrefix(int hub) const;
  std::string HubInstanceId(int hub) const;
  const std::string& DeviceInstanceId(int device) const {
    return deviceIds_[static_cast<std::size_t>(device)];
  }
  std::string InterfacePath(int device) const;

 private:
  const BenchModel& bench_;
  std::unordered_map<std::string_view, int> hubs_;
  std::vector<int> parents_;
  std::vector<int> depths_;
  std::vector<std::string> deviceIds_;
};

// Single look-ups, each through a BenchIds of its own (for a few; a loop over the bench takes one
// BenchIds).
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
