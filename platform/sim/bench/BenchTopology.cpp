// Derivation of Windows' identifiers for the bench's hubs and devices.
#include "platform/sim/bench/BenchTopology.h"

#include <algorithm>
#include <unordered_set>

namespace platform::sim {
namespace {

// Deeper than any bench the loader takes; ends the walk up a loop the loader would refuse.
constexpr int kMaxDepth = 64;

}  // namespace

BenchIds::BenchIds(const BenchModel& bench) : bench_(bench) {
  const std::size_t hubCount = bench.hubs.size();
  hubs_.reserve(hubCount);
  // The first hub of an id counts, as a walk of the list finds it.
  for (std::size_t i = 0; i < hubCount; ++i) hubs_.emplace(bench.hubs[i].id, static_cast<int>(i));
  parents_.resize(hubCount, -1);
  for (std::size_t i = 0; i < hubCount; ++i) {
    if (!bench.hubs[i].parent.empty()) parents_[i] = HubIndex(bench.hubs[i].parent);
  }
  // Each hub's depth from its parent's, found once: a walk up from every hub would cost the
  // depth again for each.
  depths_.assign(hubCount, -1);
  std::vector<int> chain;
  for (std::size_t i = 0; i < hubCount; ++i) {
    chain.clear();
    int h = static_cast<int>(i);
    while (h >= 0 && depths_[static_cast<std::size_t>(h)] < 0 &&
           static_cast<int>(chain.size()) <= kMaxDepth) {
      chain.push_back(h);
      h = parents_[static_cast<std::size_t>(h)];
    }
    int depth = h >= 0 && depths_[static_cast<std::size_t>(h)] >= 0
                    ? depths_[static_cast<std::size_t>(h)] + 1
                    : 0;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      depths_[static_cast<std::size_t>(*it)] = std::min(depth++, kMaxDepth);
    }
  }
  // Named by its serial unless an earlier device of the same vendor and product has it.
  std::unordered_set<std::string> serials;
  serials.reserve(bench.devices.size());
  deviceIds_.reserve(bench.devices.size());
  for (const BenchDevice& d : bench.devices) {
    const bool bySerial =
        d.serial && serials.insert(SerialIdentity(d.vid, d.pid, *d.serial)).second;
    const int hub = HubIndex(d.hub);
    const std::optional<std::string> prefix = hub >= 0 ? HubPrefix(hub) : std::nullopt;
    deviceIds_.push_back(bySerial ? platform::sim::DeviceInstanceId(d.serial, {}, d.port)
                                  : platform::sim::DeviceInstanceId({}, prefix, d.port));
  }
}

int BenchIds::HubIndex(const std::string& id) const {
  const auto it = hubs_.find(id);
  return it == hubs_.end() ? -1 : it->second;
}

bool BenchIds::BelowUsb3Root(int hub) const {
  for (int depth = 0; hub >= 0 && depth < kMaxDepth; ++depth) {
    const BenchHub& h = bench_.hubs[static_cast<std::size_t>(hub)];
    if (h.parent.empty()) return h.kind == HubKind::kRootHub30;
    hub = Parent(hub);
  }
  return false;
}

std::optional<std::string> BenchIds::HubPrefix(int hub) const {
  const BenchHub& h = bench_.hubs[static_cast<std::size_t>(hub)];
  if (h.prefixMode == PrefixMode::kMissing) return std::nullopt;
  if (h.prefixMode == PrefixMode::kGiven) return h.prefix;
  return HubIdPrefix(Depth(hub), h.id);
}

std::string BenchIds::HubInstanceId(int hub) const {
  const BenchHub& h = bench_.hubs[static_cast<std::size_t>(hub)];
  if (h.parent.empty()) return RootHubInstanceId(h.id);
  return PortInstanceId(HubPrefix(Parent(hub)), h.parentPort);
}

std::string BenchIds::InterfacePath(int device) const {
  const BenchDevice& d = bench_.devices[static_cast<std::size_t>(device)];
  return DeviceInterfacePath(d.vid, d.pid, DeviceInstanceId(device));
}

int HubIndex(const BenchModel& bench, const std::string& id) {
  return BenchIds(bench).HubIndex(id);
}

std::optional<std::string> HubPrefix(const BenchModel& bench, int hub) {
  return BenchIds(bench).HubPrefix(hub);
}

std::string HubInstanceId(const BenchModel& bench, int hub) {
  return BenchIds(bench).HubInstanceId(hub);
}

std::string DeviceInstanceId(const BenchModel& bench, int device) {
  return BenchIds(bench).DeviceInstanceId(device);
}

std::string InterfacePath(const BenchModel& bench, int device) {
  return BenchIds(bench).InterfacePath(device);
}

}  // namespace platform::sim
