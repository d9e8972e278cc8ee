// The one derivation of the ids Windows would give the simulated bus: hub instance ids and
// ParentIdPrefix values, device instance ids and USB device interface paths. The bus (SimUsb)
// names its hubs and devices with it, and the bench (BenchTopology) finds its pipes by the same
// names. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::sim {

// The device interface class GUID of USB devices, as it ends their interface paths.
inline constexpr const char* kUsbDeviceClass = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// "<level>&<8 hex digits>&0", the hash taken from `what`: the shape of Windows' made-up ids.
std::string HashedId(int level, const std::string& what);
// A root hub's instance id ("4&..&0"), from the hub's name on the bus.
std::string RootHubInstanceId(const std::string& hubName);
// A hub's ParentIdPrefix ("<5 + depth>&..&0"); depth 0 is a root hub.
std::string HubIdPrefix(int depth, const std::string& hubName);
// What hangs on a hub's port and is not named by a serial: the hub's prefix ("NoPointNextId"
// when its key has none), "&" and the port.
std::string PortInstanceId(const std::optional<std::string>& hubPrefix, int port);
// ASCII letters to lower case and nothing else, as std::tolower does in the "C" locale the
// programs keep: how the simulated bus, pipes and registry compare names without regard to case.
std::string AsciiLower(std::string_view text);
// "VID_vvvv&PID_pppp", upper-case hex, as VidPidText holds it.
std::string VidPidKey(std::uint16_t vid, std::uint16_t pid);
// A serial as a key name: blanks, and characters no key name may hold, become "_".
std::string SerialKeyName(const std::string& serial);
// Two devices with the same vendor, product and this text share a serial: only the first is
// named by it.
std::string SerialIdentity(std::uint16_t vid, std::uint16_t pid, const std::string& serial);
// A device's instance id, lower case: its serial's key name when it is named by its serial
// (bySerial set), else its place on the hub.
std::string DeviceInstanceId(const std::optional<std::string>& bySerial,
                             const std::optional<std::string>& hubPrefix, int port);
// "\\?\usb#vid_1723&pid_0935#<instance id>#{a5dcbf10-...}": the path the pipes hang below.
std::string DeviceInterfacePath(std::uint16_t vid, std::uint16_t pid,
                                const std::string& instanceId);
// "<interface path>\PIPE00" or "\PIPE01" (any case) split into the interface path, as given, and
// the pipe (0 or 1); nullopt for any other path. Told by the ending alone, without a copy.
struct PipePath {
  std::string_view interfacePath;
  int pipe = 0;
};
std::optional<PipePath> SplitPipePath(std::string_view path);

}  // namespace platform::sim
