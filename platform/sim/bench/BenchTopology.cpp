// Derivation of Windows' identifiers for the bench's hubs and devices.
#include "platform/sim/bench/BenchTopology.h"

#include <cctype>
#include <cstdio>

namespace platform::sim {
namespace {

std::uint32_t Fnv(const std::string& text) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

std::string Hashed(int level, const std::string& what) {
  char text[32];
  std::snprintf(text, sizeof text, "%d&%08x&0", level, Fnv(what));
  return text;
}

int Depth(const BenchModel& bench, int hub) {
  int depth = 0;
  for (int h = hub; h >= 0 && !bench.hubs[h].parent.empty() && depth < 64; ++depth) {
    h = HubIndex(bench, bench.hubs[h].parent);
  }
  return depth;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The serial as the system reads it from the string descriptor: blanks become "_".
std::string SerialText(const std::string& serial) {
  std::string text = serial;
  for (char& c : text) {
    if (c == ' ') c = '_';
  }
  return text;
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
  return Hashed(5 + Depth(bench, hub), "prefix:" + h.id);
}

std::string HubInstanceId(const BenchModel& bench, int hub) {
  const BenchHub& h = bench.hubs[hub];
  if (h.parent.empty()) return Hashed(4, "root:" + h.id);
  const auto parentPrefix = HubPrefix(bench, HubIndex(bench, h.parent));
  return parentPrefix.value_or("NoPointNextId") + "&" + std::to_string(h.parentPort);
}

std::string VidPidText(const BenchDevice& device) {
  char text[24];
  std::snprintf(text, sizeof text, "vid_%04x&pid_%04x", device.vid, device.pid);
  return text;
}

std::string DeviceInstanceId(const BenchModel& bench, int device) {
  const BenchDevice& d = bench.devices[device];
  bool duplicate = false;
  for (int i = 0; i < device && d.serial; ++i) {
    const BenchDevice& other = bench.devices[i];
    duplicate |= other.vid == d.vid && other.pid == d.pid && other.serial &&
                 Lower(SerialText(*other.serial)) == Lower(SerialText(*d.serial));
  }
  if (d.serial && !duplicate) return Lower(SerialText(*d.serial));
  const auto prefix = HubPrefix(bench, HubIndex(bench, d.hub));
  return Lower(prefix.value_or("NoPointNextId") + "&" + std::to_string(d.port));
}

std::string InterfacePath(const BenchModel& bench, int device) {
  return "\\\\?\\usb#" + VidPidText(bench.devices[device]) + "#" + DeviceInstanceId(bench, device) +
         "#" + kUsbDeviceClass;
}

}  // namespace platform::sim
