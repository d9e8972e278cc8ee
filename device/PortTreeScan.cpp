// Building and pruning the port tree: ScanUsbDevices walks every present hub and port,
// DropDepartedPorts removes what has left, ReleaseDeviceHandle lets a device go that Windows is
// asked to remove, CloseAllDevices frees it all at exit.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "device/Device.h"
#include "device/DeviceHost.h"
#include "device/Discovery.h"
#include "device/Drives.h"
#include "device/PortTree.h"
#include "device/RegistryText.h"
#include "models/ModelCatalogue.h"
#include "platform/DeviceControl.h"

namespace {

using port_tree::Tree;

constexpr const char* kEnumKey = "SYSTEM\\CurrentControlSet\\Enum";
constexpr const char* kEnumUsbKey = "SYSTEM\\CurrentControlSet\\Enum\\USB\\";
constexpr const char* kNoPrefix = "NoPointNextId";
constexpr std::size_t kHubPrefixBytes = 24;

// The device-interface notification of the main window: asked for once, at the first scan; a
// refusal is logged and not asked again (each try would empty the drive slots anew).
enum class Registration { kNotAsked, kRegistered, kRefused };
Registration registration = Registration::kNotAsked;
platform::Handle notification = 0;
// The main window once the first scan has asked: handle notifications go to it too.
platform::Handle recipient = 0;
std::uint64_t nextNodeSerial = 1;
// Drives ("E:") and hubs (their paths) that did not open, each logged once until it opens again.
std::set<std::string> unopened;

bool IsAutoloaderVendor(std::string_view vidPid) {
  return models::AutoloaderPortKind(vidPid) != 0;
}

// The system's text of why `what` just did not open; empty when that was said before (a device
// that stays refused is logged once, not at every scan).
std::string FirstRefusal(const std::string& what) {
  const std::uint32_t error = platform::ThePlatform().GetLastError();
  if (!unopened.insert(what).second) return {};
  return platform::ThePlatform().ErrorText(error);
}

void NoteOpened(const std::string& what) {
  unopened.erase(what);
}

void RegisterNotification(platform::Handle mainWindow) {
  platform::DevBroadcastDeviceInterface filter;
  filter.classGuid = platform::kUsbDeviceInterfaceClass;
  recipient = mainWindow;
  notification = platform::ThePlatform().RegisterDeviceNotificationA(
      recipient, filter, platform::kDeviceNotifyWindowHandle);
  registration = notification != 0 ? Registration::kRegistered : Registration::kRefused;
  if (registration == Registration::kRefused) {
    const std::string reason =
        platform::ThePlatform().ErrorText(platform::ThePlatform().GetLastError());
    DeviceLog("Cannot register for device changes: %s", reason.c_str());
  }
  // The drive slots start out empty with the first registration (a slot left open by an earlier
  // session of the tree is closed rather than lost).
  for (auto& slot : DriveHandles) CloseDeviceHandle(slot);
}

// Whether a port entry's key "vid_xxxx&pid_yyyy#<instance id>#" has more than its two "#": an
// instance id (a serial) may hold "#" itself. Such a key may hold another key's text without
// being equal to it, so it is searched the long way.
bool OddKey(std::string_view key) {
  return std::count(key.begin(), key.end(), '#') != 2;
}

// The tree as a scan looks things up in it: nodes by hub, entries by key. Keys of two "#" are
// found by equality, since one such key holds another's text only when the two are equal; the
// odd ones are few and searched in full. Made at the first scan of a tree and kept up to date
// as entries and nodes come and go (the scan adds them, the removal scan drops them), so that
// a scan costs time linear in the ports it reads and does not read the whole tree once more
// before it starts. Names and keys are views into the nodes and entries themselves, which stay
// where they are while listed here (an entry or node leaves the index before it leaves the
// tree).
struct ScanIndex {
  struct HubName {
    std::string_view instanceId;
    std::string_view prefix;
    bool operator==(const HubName&) const = default;
  };
  struct HubNameHash {
    std::size_t operator()(const HubName& name) const {
      return std::hash<std::string_view>()(name.instanceId) * 31 +
             std::hash<std::string_view>()(name.prefix);
    }
  };
  struct Place {
    HubNode* node;
    PortEntry* entry;
  };

  const PortTree* tree;                                      // the tree indexed
  std::unordered_map<HubName, HubNode*, HubNameHash> nodes;  // the first node of each hub
  std::unordered_multimap<std::string_view, Place> keys;     // one node per entry
  std::vector<Place> oddKeys;

  ScanIndex() : tree(&Tree()) {
    std::size_t entries = 0;
    for (const auto& node : Tree().nodes) entries += node->ports.size();
    nodes.reserve(Tree().nodes.size());
    keys.reserve(entries);
    for (const auto& node : Tree().nodes) {
      AddNode(*node);
      for (const auto& entry : node->ports) AddEntry(*node, *entry);
    }
  }

  void AddNode(HubNode& node) { nodes.emplace(HubName{node.instanceId, node.prefix}, &node); }

  void AddEntry(HubNode& node, PortEntry& entry) {
    const Place place{&node, &entry};
    if (OddKey(entry.status.key)) {
      oddKeys.push_back(place);
    } else {
      keys.emplace(entry.status.key, place);
    }
  }

  // Before an entry leaves its node.
  void DropEntry(const PortEntry& entry) {
    const auto mine = [&](const Place& place) { return place.entry == &entry; };
    if (OddKey(entry.status.key)) {
      std::erase_if(oddKeys, mine);
      return;
    }
    const auto [first, last] = keys.equal_range(entry.status.key);
    for (auto it = first; it != last; ++it) {
      if (mine(it->second)) {
        keys.erase(it);
        return;
      }
    }
  }

  // Before a node without entries leaves the tree: the next node of its hub that keeps its
  // entries, if any, stands in.
  void DropNode(const HubNode& node) {
    const auto it = nodes.find(HubName{node.instanceId, node.prefix});
    if (it == nodes.end() || it->second != &node) return;
    nodes.erase(it);
    for (const auto& other : Tree().nodes) {
      if (other.get() != &node && other->Valid() && other->instanceId == node.instanceId &&
          other->prefix == node.prefix) {
        AddNode(*other);
        return;
      }
    }
  }
};

// Where an entry stands in the tree: node by node, entry by entry.
std::pair<std::size_t, std::size_t> TreeOrder(const HubNode& node, const PortEntry& entry) {
  const auto& nodes = Tree().nodes;
  const auto n = std::find_if(nodes.begin(), nodes.end(),
                              [&](const auto& each) { return each.get() == &node; });
  const auto e = std::find_if(node.ports.begin(), node.ports.end(),
                              [&](const auto& each) { return each.get() == &entry; });
  return {static_cast<std::size_t>(n - nodes.begin()),
          static_cast<std::size_t>(e - node.ports.begin())};
}

// For the removal scan: the entry, over all nodes, first in the tree whose key occurs in
// `lower`, a device's interface path in lower case. A key of two "#" occurs in a path only as
// the text from 17 characters before one of the path's "#" to the next "#", so a path has
// only a few places to look up; odd keys are searched in full. A path nearly always holds one
// key of one entry; only when several entries hold keys in it are their places in the tree
// looked for.
PortEntry* EntryInPath(const ScanIndex& index, std::string_view lower) {
  const ScanIndex::Place* first = nullptr;
  const auto consider = [&first](const ScanIndex::Place& place) {
    if (first == nullptr ||
        (place.entry != first->entry &&
         TreeOrder(*place.node, *place.entry) < TreeOrder(*first->node, *first->entry))) {
      first = &place;
    }
  };
  constexpr std::size_t kVidPidLength = 17;  // "vid_xxxx&pid_yyyy"
  for (std::size_t hash = lower.find('#'); hash != std::string_view::npos;) {
    const std::size_t next = lower.find('#', hash + 1);
    if (next == std::string_view::npos) break;
    if (hash >= kVidPidLength) {
      const std::size_t start = hash - kVidPidLength;
      const auto [from, to] = index.keys.equal_range(lower.substr(start, next + 1 - start));
      for (auto it = from; it != to; ++it) consider(it->second);
    }
    hash = next;
  }
  for (const ScanIndex::Place& place : index.oddKeys) {
    if (Contains(lower, place.entry->status.key)) consider(place);
  }
  return first == nullptr ? nullptr : first->entry;
}

// One hub while its ports are scanned.
struct HubScan {
  std::string instanceId;
  std::string prefix;
  platform::Handle handle = platform::kInvalidHandle;
  HubNode* node = nullptr;  // found or made at the first port that needs it
  ScanIndex* index = nullptr;
  ClassifyIndex* classify = nullptr;  // what this scan has read of the classes and queues
};

// The index of the current tree, kept from scan to scan; made afresh for a new tree.
std::unique_ptr<ScanIndex> keptIndex;

ScanIndex& KeptIndex() {
  if (!keptIndex || keptIndex->tree != &Tree()) keptIndex = std::make_unique<ScanIndex>();
  return *keptIndex;
}

// The first three "#"-separated parts of a path after "\\?\", or fewer when it has fewer.
std::vector<std::string> PathParts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = path.rfind("\\\\?\\", 0) == 0 ? 4 : 0;
  while (parts.size() < 3 && start <= path.size()) {
    std::size_t end = path.find('#', start);
    if (end == std::string::npos) end = path.size();
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Whether another port entry already carries "vid#serial#" (the case of the text ignored). The
// port's own entry on this hub does not count, so a device keeps its status across scans.
bool SerialTaken(const std::string& text, const HubScan& hub, int port) {
  const std::string wanted = LowerText(text);
  const auto own = [&](const ScanIndex::Place& place) {
    return place.node == hub.node && place.entry->status.port == static_cast<char>('0' + port);
  };
  const auto [first, last] = hub.index->keys.equal_range(wanted);
  for (auto it = first; it != last; ++it) {
    if (!own(it->second)) return true;
  }
  for (const ScanIndex::Place& place : hub.index->oddKeys) {
    if (!own(place) && Contains(place.entry->status.key, wanted)) return true;
  }
  return false;
}

// The hub's node, looked for only until it is found.
HubNode* FindNode(HubScan& hub) {
  if (hub.node != nullptr) return hub.node;
  const auto it = hub.index->nodes.find({hub.instanceId, hub.prefix});
  if (it != hub.index->nodes.end()) hub.node = it->second;
  return hub.node;
}

// The device's instance id and its registry key: kInvalidHandle when the key is missing (the
// reads then give their defaults); skip when the port is to be left out.
struct DeviceKey {
  std::string instanceId;
  platform::Handle key = platform::kInvalidHandle;
  bool skip = false;
};

// A serial as an instance id: no id holds a blank, a control or 8-bit character or a ",", and
// no instance id a "\". Windows does not take such a serial as it is: hub drivers that keep it
// put "_" for each of those characters, the others drop it and name the device by its port, so
// the key is looked for under the first and then under the second.
std::string SerialAsInstanceId(std::string serial) {
  for (char& c : serial) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == ',' || c == '\\') c = '_';
  }
  return serial;
}

DeviceKey OpenDeviceKey(HubScan& hub, int port, const std::string& vidPid, int serialIndex) {
  DeviceKey result;
  const std::string byPort = hub.prefix + "&" + std::to_string(port);
  std::string alternative;
  if (serialIndex != 0) {
    std::string serial;
    if (!ReadUsbStringDescriptor(hub.handle, port, serialIndex, serial)) {
      result.skip = true;
      return result;
    }
    serial = SerialAsInstanceId(serial);
    if (SerialTaken(vidPid + "#" + serial + "#", hub, port)) {
      result.instanceId = byPort;
    } else {
      result.instanceId = serial;
      alternative = byPort;
    }
  } else {
    result.instanceId = byPort;
  }
  result.instanceId = LowerText(result.instanceId);
  result.key = OpenRegKey(kEnumUsbKey + vidPid + "\\" + result.instanceId);
  if (result.key == platform::kInvalidHandle && !alternative.empty()) {
    result.instanceId = LowerText(alternative);
    result.key = OpenRegKey(kEnumUsbKey + vidPid + "\\" + result.instanceId);
    result.skip = result.key == platform::kInvalidHandle;
  }
  return result;
}

// Enters the classified device into its hub's node: new entries are added (autoloader vendors
// first), known ones brought up to date; a device the classification drops is not kept.
void EnterPort(HubScan& hub, PortStatus&& status, const PortClass& found) {
  HubNode* node = FindNode(hub);
  PortEntry* known = nullptr;
  if (node != nullptr) {
    for (const auto& entry : node->ports) {
      if (entry->status.key == status.key) known = entry.get();
    }
  }
  const bool dropped = found.code[0] == '0';
  if (known != nullptr) {
    if (dropped) return;
    if (known->status.kind != found.code[0]) known->status.kind = found.code[0];
    if (known->status.letter != found.code[1]) known->status.letter = found.code[1];
    if (known->description != found.description) known->description = found.description;
    return;
  }
  if (dropped) return;
  auto entry = std::make_unique<PortEntry>();
  entry->status.kind = found.code[0];
  entry->status.letter = found.code[1];
  entry->status.port = status.port;
  entry->status.key = status.key;
  entry->description = found.description;
  if (node == nullptr) {
    auto fresh = std::make_unique<HubNode>();
    fresh->instanceId = hub.instanceId;
    fresh->prefix = hub.prefix;
    fresh->serial = nextNodeSerial++;
    hub.node = fresh.get();
    Tree().nodes.push_back(std::move(fresh));
    node = hub.node;
    hub.index->AddNode(*node);
  }
  hub.index->AddEntry(*node, *entry);
  const bool first = IsAutoloaderVendor(entry->status.key);
  node->ports.insert(first ? node->ports.begin() : node->ports.end(), std::move(entry));
}

void ScanPort(HubScan& hub, int port) {
  using L = platform::NodeConnectionInformationLayout;
  std::uint8_t info[L::kScanBufferSize] = {};
  if (!ReadConnectionInformation(hub.handle, port, info) ||
      platform::GetU32(info, L::kConnectionStatus) != L::kDeviceConnected ||
      info[L::kDeviceIsHub] != 0) {
    return;
  }
  char vidPid[24];
  std::snprintf(vidPid, sizeof vidPid, "vid_%04x&pid_%04x", platform::GetU16(info, L::kIdVendor),
                platform::GetU16(info, L::kIdProduct));
  // The node is looked up first so that the serial search can tell this port's own entry.
  FindNode(hub);
  DeviceKey device = OpenDeviceKey(hub, port, vidPid, info[L::kISerialNumber]);
  if (device.skip) return;
  PortStatus status;
  status.port = static_cast<char>('0' + port);
  status.key = std::string(vidPid) + "#" + device.instanceId + "#";
  const PortClass found = ClassifyPort(device.key, vidPid, device.instanceId, *hub.classify);
  EnterPort(hub, std::move(status), found);
  CloseRegKey(device.key);
}

void ScanHub(const std::string& path, ScanIndex& index, ClassifyIndex& classify) {
  const std::vector<std::string> parts = PathParts(path);
  if (parts.size() < 3) return;
  HubScan hub;
  hub.index = &index;
  hub.classify = &classify;
  hub.instanceId = parts[2];
  const platform::Handle key =
      OpenRegKey(std::string(kEnumKey) + "\\" + parts[0] + "\\" + parts[1] + "\\" + parts[2]);
  if (key == platform::kInvalidHandle) return;
  hub.prefix = ReadRegText(key, "ParentIdPrefix", kHubPrefixBytes, kNoPrefix);
  hub.handle = platform::ThePlatform().CreateFileA(
      path.c_str(), platform::kGenericWrite, platform::kFileShareWrite, platform::kOpenExisting);
  if (hub.handle == platform::kInvalidHandle) {
    const std::string reason = FirstRefusal(path);
    if (!reason.empty()) DeviceLog("Hub %s cannot be opened: %s", path.c_str(), reason.c_str());
  } else {
    NoteOpened(path);
    const int ports = GetHubPortCount(hub.handle);
    for (int port = 1; port <= ports; ++port) ScanPort(hub, port);
    platform::ThePlatform().CloseHandle(hub.handle);
    auto& nodes = Tree().nodes;
    if (hub.node != nullptr && !hub.node->Valid()) {
      index.DropNode(*hub.node);
      std::erase_if(nodes, [&](const auto& node) { return node.get() == hub.node; });
    }
  }
  CloseRegKey(key);
}

void OpenDriveHandles() {
  const std::uint32_t present = platform::ThePlatform().GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    auto& slot = DriveHandles[static_cast<std::size_t>(i)];
    if ((present & (1u << i)) == 0 || slot.load() != platform::kInvalidHandle) continue;
    const char root[4] = {static_cast<char>('A' + i), ':', '\\', '\0'};
    if (platform::ThePlatform().GetDriveTypeA(root) != platform::kDriveCdrom) continue;
    const char device[7] = {'\\', '\\', '.', '\\', static_cast<char>('A' + i), ':', '\0'};
    const platform::Handle handle = platform::ThePlatform().CreateFileA(
        device, platform::kGenericRead | platform::kGenericWrite,
        platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenExisting);
    if (handle == platform::kInvalidHandle) {
      const std::string reason = FirstRefusal(device + 4);
      if (!reason.empty()) DeviceLog("Drive %c: cannot be opened: %s", 'A' + i, reason.c_str());
      continue;
    }
    NoteOpened(device + 4);
    port_tree::WatchDeviceHandle(handle);
    slot.store(handle);
  }
}

// What a query to remove closed, kept until that removal has gone ahead or been refused: the
// handle as it was watched with its notification, and where it was (a drive's slot, or a link of
// an entry, to be opened again when the link was open).
struct Released {
  platform::Handle handle = platform::kInvalidHandle;
  platform::Handle notification = 0;
  int drive = -1;
  const DeviceEntry* entry = nullptr;
  int link = 0;
};
std::vector<Released> released;

void NoteReleased(platform::Handle handle, int drive, const DeviceEntry* entry, int link) {
  if (handle == platform::kInvalidHandle) return;
  released.push_back(
      {handle, platform::ThePlatform().DetachHandleNotification(handle), drive, entry, link});
}

// The link (1 or 2) of the entry one of whose pipes is `handle`; 0 for none.
int LinkHolding(const DeviceEntry& entry, platform::Handle handle) {
  for (int link : {1, 2}) {
    const auto& read = link == 1 ? entry.Link1Read : entry.Link2Read;
    const auto& write = link == 1 ? entry.Link1Write : entry.Link2Write;
    if (read.load() == handle || write.load() == handle) return link;
  }
  return 0;
}

// A link is marked departed (if open) and both its pipes closed, each noted with its
// notification (the removal's end is told for each). False, the link open and its pipes kept as
// they were, when a transfer on them outlives the wait.
bool ReleaseLink(DeviceEntry& entry, int link) {
  DeviceFlag& flag = link == 1 ? entry.Link1Flag : entry.Link2Flag;
  char open = kFlagOpen;
  const bool wasOpen = flag.compare_exchange_strong(open, kFlagDeparted);
  const auto pipes = TakeDeviceHandles({link == 1 ? &entry.Link1Read : &entry.Link2Read,
                                        link == 1 ? &entry.Link1Write : &entry.Link2Write});
  if (!pipes) {
    char departed = kFlagDeparted;
    if (wasOpen) flag.compare_exchange_strong(departed, kFlagOpen);
    return false;
  }
  for (platform::Handle pipe : *pipes) {
    NoteReleased(pipe, -1, &entry, link);
    platform::ThePlatform().CloseHandle(pipe);
  }
  return true;
}

// A refused removal: the link's pipes open again, and the link with them, while its entry is
// still listed and still holds the link departed (a removal scan may have dropped it meanwhile).
void ReopenLink(const DeviceEntry* gone, int link) {
  for (const auto& entry : DeviceList) {
    if (entry.get() != gone) continue;
    DeviceFlag& flag = link == 1 ? entry->Link1Flag : entry->Link2Flag;
    if (flag.load() != kFlagDeparted) return;
    const bool reopened =
        link == 1 ? ReopenCommandPipes(entry->Link1PortRef, entry->Link1Read, entry->Link1Write)
                  : ReopenCommandPipes(entry->Link2PortRef, entry->Link2Read, entry->Link2Write);
    if (reopened) flag.store(kFlagOpen);
    return;
  }
}

// A departed entry: the DeviceEntry flag that holds it is marked departed.
void Depart(PortEntry& entry) {
  if (entry.status.open.load() == '1' && entry.linkBack && entry.linkBack->flag != nullptr) {
    entry.linkBack->flag->store(kFlagDeparted);
  }
}

}  // namespace

namespace port_tree {

void WatchDeviceHandle(platform::Handle handle) {
  if (recipient != 0) platform::ThePlatform().RegisterHandleNotification(recipient, handle);
}

}  // namespace port_tree

bool ReleaseDeviceHandle(platform::Handle handle) {
  if (handle == platform::kInvalidHandle || handle == 0) return true;
  for (std::size_t i = 0; i < DriveHandles.size(); ++i) {
    if (DriveHandles[i].load() != handle) continue;
    const auto drive = TakeDeviceHandles({&DriveHandles[i]});
    if (!drive) return false;
    for (platform::Handle h : *drive) {
      NoteReleased(h, static_cast<int>(i), nullptr, 0);
      platform::ThePlatform().CloseHandle(h);
    }
    return true;
  }
  for (const auto& entry : DeviceList) {
    if (const int link = LinkHolding(*entry, handle); link != 0) return ReleaseLink(*entry, link);
  }
  return true;
}

bool EndHandleRemoval(bool refused, platform::Handle handle, platform::Handle notification) {
  const auto found = std::find_if(released.begin(), released.end(), [&](const Released& r) {
    return r.handle == handle && r.notification == notification;
  });
  if (found == released.end()) return false;
  const Released ended = *found;
  released.erase(found);
  if (ended.notification != 0) {
    platform::ThePlatform().UnregisterDeviceNotification(ended.notification);
  }
  if (!refused) return true;
  if (ended.drive >= 0) {
    OpenDriveHandles();  // every empty slot of an optical drive, this one among them
  } else {
    ReopenLink(ended.entry, ended.link);
  }
  return true;
}

bool CloseRemovedHandle(platform::Handle handle, platform::Handle notification,
                        const std::vector<DeviceEntry*>& departed) {
  if (handle == platform::kInvalidHandle || handle == 0) return false;
  // The handle's value may since have gone to another device opened afterwards: only the handle
  // still watched by this notification is the removed one.
  if (platform::ThePlatform().HandleNotification(handle) != notification) return false;
  for (auto& slot : DriveHandles) {
    if (slot.load() != handle) continue;
    CloseDeviceHandle(slot);
    return true;
  }
  auto closeLink = [handle](DeviceEntry& entry) {
    const int link = LinkHolding(entry, handle);
    if (link == 0) return false;
    char open = kFlagOpen;
    (link == 1 ? entry.Link1Flag : entry.Link2Flag).compare_exchange_strong(open, kFlagDeparted);
    CloseDeviceHandle(link == 1 ? entry.Link1Read : entry.Link2Read);
    CloseDeviceHandle(link == 1 ? entry.Link1Write : entry.Link2Write);
    return true;
  };
  for (const auto& entry : DeviceList) {
    if (closeLink(*entry)) return true;
  }
  for (DeviceEntry* entry : departed) {
    if (entry != nullptr && closeLink(*entry)) return true;
  }
  return false;
}

void ScanUsbDevices(platform::Handle mainWindow) {
  Tree();
  if (registration == Registration::kNotAsked) RegisterNotification(mainWindow);
  ScanIndex& index = KeptIndex();
  ClassifyIndex classify;
  for (const std::string& path : port_tree::InterfacePaths(platform::kUsbHubInterfaceClass)) {
    ScanHub(path, index, classify);
  }
  OpenDriveHandles();
}

void DropDepartedPorts() {
  const PortTree* tree = CurrentPortTree();
  if (tree == nullptr || tree->nodes.empty()) return;
  ScanIndex& index = KeptIndex();
  port_tree::VisitInterfacePaths(platform::kUsbDeviceInterfaceClass, [&index](std::string& path) {
    path = LowerText(std::move(path));
    PortEntry* entry = EntryInPath(index, path);
    if (entry != nullptr && entry->status.seen == '0') entry->status.seen = '1';
  });
  auto& nodes = Tree().nodes;
  for (auto& node : nodes) {
    std::erase_if(node->ports, [&](const std::unique_ptr<PortEntry>& entry) {
      if (entry->status.seen == '1') {
        entry->status.seen = '0';
        return false;
      }
      Depart(*entry);
      index.DropEntry(*entry);
      return true;
    });
  }
  for (const auto& node : nodes) {
    if (!node->Valid()) index.DropNode(*node);
  }
  std::erase_if(nodes, [](const std::unique_ptr<HubNode>& node) { return !node->Valid(); });
  const std::uint32_t present = platform::ThePlatform().GetLogicalDrives();
  if (present == 0) return;
  for (int i = 0; i < 26; ++i) {
    if ((present & (1u << i)) == 0) CloseDeviceHandle(DriveHandles[static_cast<std::size_t>(i)]);
  }
}

void CloseAllDevices() {
  if (notification != 0) {
    platform::ThePlatform().UnregisterDeviceNotification(notification);
    notification = 0;
  }
  registration = Registration::kNotAsked;
  recipient = 0;
  for (const Released& r : released) {
    if (r.notification != 0) platform::ThePlatform().UnregisterDeviceNotification(r.notification);
  }
  released.clear();
  unopened.clear();
  keptIndex.reset();
  port_tree::FreeTree();
  for (auto& slot : DriveHandles) CloseDeviceHandle(slot);
}
