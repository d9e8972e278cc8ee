// Derivation of Windows' identifiers for the bench's hubs and devices.
#include "platform/sim/bench/BenchTopology.h"

namespace platform::sim {
namespace {

int Depth(const BenchModel& bench, int hub) {
  int depth = 0;
  for (int h = hub; h >= 0 && !bench.hubs[h].parent.empty() && depth < 64; ++depth) {
    h = HubIndex(bench, bench.hubs[h].parent);
  }
  return depth;
}

}  // namespace

int HubIndex(const BenchModel& bench, const std::string& id) {
  for (std::size_t i = 0; i < bench.hubs.size(); ++i) {
    if (bench.hubs[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

std::optional<std::string> HubPrefix(const BenchModel& bench, int hub) {
  const BenchHub& h = bench.hubs[hub];
  if (h.prefixMode == PrefixMode::kMissing) return std::nullopt;
  if (h.prefixMode == PrefixMode::kGiven) return h.prefix;
  return HubIdPrefix(Depth(bench, hub), h.id);
}

std::string HubInstanceId(const BenchModel& bench, int hub) {
  const BenchHub& h = bench.hubs[hub];
  if (h.parent.empty()) return RootHubInstanceId(h.id);
  return PortInstanceId(HubPrefix(bench, HubIndex(bench, h.parent)), h.parentPort);
}

std::string DeviceInstanceId(const BenchModel& bench, int device) {
  const BenchDevice& d = bench.devices[device];
  bool duplicate = false;
  for (int i = 0; i < device && d.serial; ++i) {
    const BenchDevice& other = bench.devices[i];
    duplicate |= other.serial && SerialIdentity(other.vid, other.pid, *other.serial) ==
                                     SerialIdentity(d.vid, d.pid, *d.serial);
  }
  if (d.serial && !duplicate) return platform::sim::DeviceInstanceId(d.serial, {}, d.port);
  return platform::sim::DeviceInstanceId({}, HubPrefix(bench, HubIndex(bench, d.hub)), d.port);
}

std::string InterfacePath(const BenchModel& bench, int device) {
  const BenchDevice& d = bench.devices[device];
  return DeviceInterfacePath(d.vid, d.pid, DeviceInstanceId(bench, device));
}

}  // namespace platform::sim
