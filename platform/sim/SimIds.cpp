// Ids follow Windows' rules: a root hub is "4&<hash>&0"; a hub's ParentIdPrefix is
// "<5 + depth>&<hash>&0"; a hub on a port of another is "<parent prefix>&<port>". A device
// with a serial number that no earlier device of the same vendor and product uses is named by
// that serial (blanks as "_"); any other by its hub's prefix, "&" and the port. A hub whose key
// has no ParentIdPrefix lends "NoPointNextId" instead, which is what discovery assumes too.
#include "platform/sim/SimIds.h"

#include <cctype>
#include <cstdio>

namespace platform::sim {
namespace {

std::uint32_t Fnv(const std::string& text) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

}  // namespace

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string HashedId(int level, const std::string& what) {
  char text[32];
  std::snprintf(text, sizeof text, "%d&%08x&0", level, Fnv(what));
  return text;
}

std::string RootHubInstanceId(const std::string& hubName) {
  return HashedId(4, "root:" + hubName);
}

std::string HubIdPrefix(int depth, const std::string& hubName) {
  return HashedId(5 + depth, "prefix:" + hubName);
}

std::string PortInstanceId(const std::optional<std::string>& hubPrefix, int port) {
  return hubPrefix.value_or("NoPointNextId") + "&" + std::to_string(port);
}

std::string VidPidKey(std::uint16_t vid, std::uint16_t pid) {
  char text[24];
  std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", vid, pid);
  return text;
}

std::string SerialKeyName(const std::string& serial) {
  std::string text = serial;
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ' || c == '\\' || c == ',' || u < 0x20 || u > 0x7E) c = '_';
  }
  return text;
}

std::string SerialIdentity(std::uint16_t vid, std::uint16_t pid, const std::string& serial) {
  return AsciiLower(VidPidKey(vid, pid) + "#" + SerialKeyName(serial));
}

std::string DeviceInstanceId(const std::optional<std::string>& bySerial,
                             const std::optional<std::string>& hubPrefix, int port) {
  return AsciiLower(bySerial ? SerialKeyName(*bySerial) : PortInstanceId(hubPrefix, port));
}

std::string DeviceInterfacePath(std::uint16_t vid, std::uint16_t pid,
                                const std::string& instanceId) {
  return "\\\\?\\usb#" + AsciiLower(VidPidKey(vid, pid)) + "#" + instanceId + "#" + kUsbDeviceClass;
}

std::optional<PipePath> SplitPipePath(std::string_view path) {
  constexpr std::string_view kPipe = "\\pipe0";
  if (path.size() < kPipe.size() + 1) return std::nullopt;
  const std::string_view tail = path.substr(path.size() - kPipe.size() - 1);
  const char number = tail.back();
  if (number != '0' && number != '1') return std::nullopt;
  for (std::size_t i = 0; i < kPipe.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(tail[i])) != kPipe[i]) return std::nullopt;
  }
  return PipePath{path.substr(0, path.size() - tail.size()), number - '0'};
}

}  // namespace platform::sim
