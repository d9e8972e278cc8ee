// Drives and printers: classification over the registry, tray requests, the tray sensor and
// the drive-letter association.
#include "device/Drives.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "device/CommandLink.h"
#include "device/Device.h"
#include "device/DeviceHost.h"
#include "device/Discovery.h"
#include "device/RegistryText.h"
#include "models/ModelCatalogue.h"
#include "platform/DeviceControl.h"

namespace {

template <std::size_t... I>
std::array<std::atomic<platform::Handle>, sizeof...(I)> InvalidSlots(std::index_sequence<I...>) {
  return {{((void)I, std::atomic<platform::Handle>(platform::kInvalidHandle))...}};
}

}  // namespace

std::array<std::atomic<platform::Handle>, 26> DriveHandles =
    InvalidSlots(std::make_index_sequence<26>());

namespace {

constexpr const char* kPrintersKey = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
constexpr const char* kUsbStorKey = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
constexpr const char* kMountedDevicesKey = "SYSTEM\\MountedDevices";
constexpr const char* kNoDeviceDesc = "NoDeviceDesc";

// Buffer sizes of the registry reads, in bytes.
constexpr std::size_t kServiceBytes = 140;
constexpr std::size_t kPrefixBytes = 40;
constexpr std::size_t kQueueNameBytes = 60;
constexpr std::size_t kInstanceIdBytes = 140;
constexpr std::size_t kStorDeviceNameBytes = 60;
constexpr std::size_t kStorInstanceNameBytes = 50;
constexpr std::size_t kFriendlyNameBytes = 140;
constexpr std::size_t kStorageClassBytes = 24;
constexpr std::size_t kDriveRootsBytes = 140;
constexpr std::size_t kMountedValueBytes = 300;
constexpr std::size_t kAssociationRootsBytes = 128;
constexpr std::size_t kAssociationValueBytes = 520;
constexpr std::size_t kDeviceDescBytes = 140;

constexpr std::uint32_t kTraySensorPauseMs = 100;
constexpr int kTraySensorRuns = 3;

// Calls fn(name) for each subkey name that fits the buffer, in index order; fn returns true to
// stop. A name too long for the buffer is passed over rather than ending the enumeration.
template <typename Fn>
void ForEachSubkey(platform::Handle key, std::size_t nameBytes, Fn&& fn) {
  bool more = true;
  for (std::uint32_t index = 0; more; ++index) {
    const auto name = EnumRegKey(key, index, nameBytes, &more);
    if (name && fn(*name)) return;
  }
}

// The drive roots "C:\", "E:\", ... as GetLogicalDriveStringsA lists them into a buffer of
// `bytes`; none when the call fails or the list does not fit.
std::vector<std::string> DriveRoots(std::size_t bytes) {
  std::vector<char> buffer(bytes + 1, '\0');
  const std::uint32_t length = platform::ThePlatform().GetLogicalDriveStringsA(
      static_cast<std::uint32_t>(bytes), buffer.data());
  std::vector<std::string> roots;
  if (length == 0 || length > bytes) return roots;
  for (std::size_t at = 0; at < length;) {
    const std::size_t size = strnlen(buffer.data() + at, length - at);
    if (size == 0) break;
    roots.emplace_back(buffer.data() + at, size);
    at += size + 1;
  }
  return roots;
}

// The MountedDevices value of a drive letter as text, or nullopt when it cannot be read.
std::optional<std::string> MountedText(platform::Handle mounted, char letter, std::size_t bytes) {
  char name[16];
  std::snprintf(name, sizeof name, "\\DosDevices\\%c:", letter);
  const auto value = ReadRegBytes(mounted, name, bytes);
  if (!value) return std::nullopt;
  return Utf16Text(*value);
}

// The storage node found for a USB storage device.
struct StorageNode {
  std::string description = kNoDeviceDesc;
  std::string storageClass;  // "cdrom", "disk", ...; empty when no node was found
  std::string volumeTag;     // "#<prefix or instance name>", lower case
};

// --- What a scan reads once
// -------------------------------------------------------------------------

}  // namespace

// Every text of one length within the print queues' instance ids, with the first queue whose id
// holds it. Open addressing over one array of small slots: a station with hundreds of printers
// has tens of thousands of such texts, and a node allocated apart for each would cost a cache
// miss at every look-up and an allocation at every insertion.
class IdParts {
 public:
  IdParts(const std::vector<std::string>& ids, std::size_t length) : length_(length) {
    std::size_t count = 0;
    for (const std::string& id : ids) count += id.size() >= length ? id.size() - length + 1 : 0;
    std::size_t capacity = 1;
    while (capacity <= 2 * count) capacity *= 2;  // at most half full: a free slot ends a probe
    slots_.resize(capacity);
    for (std::size_t q = 0; q < ids.size(); ++q) {
      for (std::size_t at = 0; at + length <= ids[q].size(); ++at) {
        const std::string_view part = std::string_view(ids[q]).substr(at, length);
        const std::size_t hash = Hash(part);
        Slot& slot = slots_[IndexOf(ids, part, hash)];
        if (slot.queue == 0) {
          slot = Slot{Fingerprint(hash), static_cast<std::uint32_t>(q + 1),
                      static_cast<std::uint32_t>(at)};
        }
      }
    }
  }

  std::size_t Length() const { return length_; }

  // The first queue whose id holds `part` (of Length() characters).
  std::optional<std::size_t> Find(const std::vector<std::string>& ids,
                                  std::string_view part) const {
    const Slot& slot = slots_[IndexOf(ids, part, Hash(part))];
    if (slot.queue == 0) return std::nullopt;
    return slot.queue - 1;
  }

 private:
  struct Slot {
    std::uint32_t hash = 0;   // Fingerprint() of the text's hash
    std::uint32_t queue = 0;  // 1 + the queue's index; 0 for a free slot
    std::uint32_t at = 0;     // where the text starts in that queue's id
  };

  static std::size_t Hash(std::string_view part) { return std::hash<std::string_view>{}(part); }
  // The hash's high half (its low bits chose the slot): most other texts met on the way are
  // passed over without comparing them.
  static std::uint32_t Fingerprint(std::size_t hash) {
    return static_cast<std::uint32_t>(hash >> (sizeof hash * 4));
  }

  // The slot holding `part`, or the free slot where it would go.
  std::size_t IndexOf(const std::vector<std::string>& ids, std::string_view part,
                      std::size_t hash) const {
    const std::uint32_t fingerprint = Fingerprint(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.queue == 0) return i;
      if (slot.hash == fingerprint &&
          std::string_view(ids[slot.queue - 1]).substr(slot.at, length_) == part) {
        return i;
      }
    }
  }

  std::size_t length_;
  std::vector<Slot> slots_;
};

struct ClassifyIndex::Queues {
  std::vector<std::string> names;      // in enumeration order
  std::vector<std::string> instances;  // the DeviceInstanceId each names, upper case
  // One table per length of text asked for so far (a scan asks for one or two lengths).
  std::vector<IdParts> byLength;

  Queues() {
    const platform::Handle printers = OpenRegKey(kPrintersKey);
    if (printers == platform::kInvalidHandle) return;
    ForEachSubkey(printers, kQueueNameBytes, [&](const std::string& queue) {
      const platform::Handle pnp =
          OpenRegKey(std::string(kPrintersKey) + "\\" + queue + "\\PnPData");
      instances.push_back(UpperText(ReadRegText(pnp, "DeviceInstanceId", kInstanceIdBytes, "")));
      names.push_back(queue);
      CloseRegKey(pnp);
      return false;
    });
    CloseRegKey(printers);
  }

  // The first queue, in enumeration order, whose instance id holds `part`.
  std::optional<std::size_t> FirstHolding(std::string_view part) {
    auto table = std::find_if(byLength.begin(), byLength.end(),
                              [&](const IdParts& t) { return t.Length() == part.size(); });
    if (table == byLength.end()) {
      byLength.emplace_back(instances, part.size());
      table = byLength.end() - 1;
    }
    return table->Find(instances, part);
  }
};

struct ClassifyIndex::StorageNodes {
  struct Instance {
    std::size_t device = 0;  // which device key below Enum\USBSTOR it is under
    StorageNode node;
  };
  std::vector<Instance> instances;  // those whose key opens, in enumeration order
  std::vector<std::pair<std::string, std::size_t>> byName;  // lower-case names, sorted

  StorageNodes() {
    const platform::Handle stor = OpenRegKey(kUsbStorKey);
    if (stor == platform::kInvalidHandle) return;
    std::size_t ordinal = 0;
    ForEachSubkey(stor, kStorDeviceNameBytes, [&](const std::string& device) {
      const std::string deviceKey = std::string(kUsbStorKey) + "\\" + device;
      const platform::Handle devices = OpenRegKey(deviceKey);
      if (devices == platform::kInvalidHandle) return false;
      ForEachSubkey(devices, kStorInstanceNameBytes, [&](const std::string& instance) {
        const platform::Handle key = OpenRegKey(deviceKey + "\\" + instance);
        if (key == platform::kInvalidHandle) return false;
        const std::string lower = LowerText(instance);
        Instance found;
        found.device = ordinal;
        found.node.description =
            ReadRegText(key, "FriendlyName", kFriendlyNameBytes, kNoDeviceDesc);
        found.node.storageClass =
            LowerText(ReadRegText(key, "Service", kStorageClassBytes, "NoService"));
        const std::string id = ReadRegText(key, "ParentIdPrefix", kPrefixBytes).value_or(lower);
        found.node.volumeTag.assign(1, '#').append(LowerText(id));
        CloseRegKey(key);
        byName.emplace_back(lower, instances.size());
        instances.push_back(std::move(found));
        return false;
      });
      CloseRegKey(devices);
      ++ordinal;
      return false;
    });
    CloseRegKey(stor);
    std::sort(byName.begin(), byName.end());
  }

  // The node of the first instance, in enumeration order, whose lower-case name begins with
  // the storage prefix; within one device key only its first such instance counts, and a node
  // without a storage class lets the search go on to the next device key.
  StorageNode Find(const std::string& storagePrefix) const {
    std::vector<std::size_t> matches;
    for (auto it = std::lower_bound(byName.begin(), byName.end(),
                                    std::pair<std::string, std::size_t>(storagePrefix, 0));
         it != byName.end() && it->first.compare(0, storagePrefix.size(), storagePrefix) == 0;
         ++it) {
      matches.push_back(it->second);
    }
    std::sort(matches.begin(), matches.end());
    StorageNode node;
    bool anyDevice = false;
    std::size_t lastDevice = 0;
    for (std::size_t i : matches) {
      const Instance& instance = instances[i];
      if (anyDevice && instance.device == lastDevice) continue;
      anyDevice = true;
      lastDevice = instance.device;
      node = instance.node;
      if (!node.storageClass.empty()) break;
    }
    return node;
  }
};

namespace {

// The print queues of the last scan, with what their index has learnt. The queues are read
// anew at every scan (one installed since must be found), but on a station whose queues have
// not changed the index is taken over rather than made again from every text of every id.
struct KeptQueues {
  std::mutex mutex;
  std::unique_ptr<ClassifyIndex::Queues> queues;
};

KeptQueues& LastQueues() {
  static KeptQueues kept;
  return kept;
}

}  // namespace

ClassifyIndex::ClassifyIndex() = default;

ClassifyIndex::~ClassifyIndex() {
  if (!queues_) return;
  KeptQueues& kept = LastQueues();
  const std::lock_guard lock(kept.mutex);
  kept.queues = std::move(queues_);
}

ClassifyIndex::Queues& ClassifyIndex::PrintQueues() {
  if (queues_) return *queues_;
  queues_ = std::make_unique<Queues>();
  KeptQueues& kept = LastQueues();
  const std::lock_guard lock(kept.mutex);
  if (kept.queues && kept.queues->instances == queues_->instances) {
    // The same ids in the same order: the kept index answers as a new one would. The names are
    // today's (a queue may have been renamed).
    kept.queues->names = std::move(queues_->names);
    queues_ = std::move(kept.queues);
  }
  return *queues_;
}

ClassifyIndex::StorageNodes& ClassifyIndex::Storage() {
  if (!storage_) storage_ = std::make_unique<StorageNodes>();
  return *storage_;
}

namespace {

// --- Printers
// --------------------------------------------------------------------------------------

void ClassifyPrinter(platform::Handle deviceKey, PortClass& found, ClassifyIndex::Queues& queues) {
  const std::string prefix =
      UpperText(ReadRegText(deviceKey, "ParentIdPrefix", kPrefixBytes, "NoParentIdPrefix"));
  const std::optional<std::size_t> queue = queues.FirstHolding(prefix);
  found =
      queue ? PortClass{"P000", queues.names[*queue]} : PortClass{"PN00", "No Install Software"};
}

// --- Storage
// -----------------------------------------------------------------------------------------

void ClassifyStorage(platform::Handle deviceKey, const std::string& instanceId, PortClass& found,
                     const ClassifyIndex::StorageNodes& storage) {
  const std::string storagePrefix =
      LowerText(ReadRegText(deviceKey, "ParentIdPrefix", kPrefixBytes).value_or(instanceId + "&0"));
  const StorageNode node = storage.Find(storagePrefix);
  found.description = node.description;
  const platform::Handle mounted = OpenRegKey(kMountedDevicesKey);
  if (mounted != platform::kInvalidHandle && !node.storageClass.empty()) {
    for (const std::string& root : DriveRoots(kDriveRootsBytes)) {
      const auto text = MountedText(mounted, root[0], kMountedValueBytes);
      if (!text || !Contains(LowerText(*text), node.volumeTag) ||
          node.description == kNoDeviceDesc) {
        continue;
      }
      if (node.storageClass == "cdrom") found.code[0] = 'C';
      if (node.storageClass == "disk") found.code[0] = 'D';
      found.code[1] = UpperText(root.substr(0, 1))[0];
      found.code[2] = found.code[3] = '0';
      break;
    }
  }
  CloseRegKey(mounted);
  if (found.code[0] != 'C' && found.code[0] != 'D') found.code[0] = '0';
}

// --- Tray requests
// ---------------------------------------------------------------------------------

bool SendTrayRequest(platform::Handle drive, const std::array<std::uint8_t, 6>& cdb) {
  using S = platform::ScsiPassThroughLayout;
  std::array<std::uint8_t, S::kBufferSize> request{};
  platform::PutU16(request, S::kLength, S::kSize);
  platform::PutU8(request, S::kCdbLength, static_cast<std::uint32_t>(cdb.size()));
  platform::PutU8(request, S::kSenseInfoLength, S::kSenseSize);
  platform::PutU8(request, S::kDataIn, S::kDataInDirection);
  platform::PutU32(request, S::kDataTransferLength, 0);
  platform::PutU32(request, S::kTimeOutValue, 2);
  platform::PutU32(request, S::kDataBufferOffset, 0);
  platform::PutU32(request, S::kSenseInfoOffset, S::kSize);
  std::copy(cdb.begin(), cdb.end(), request.begin() + S::kCdb);
  std::uint32_t returned = 0;
  return platform::ThePlatform().DeviceIoControl(drive, platform::kIoctlScsiPassThrough,
                                                 request.data(), S::kInputLength, request.data(),
                                                 S::kOutputLength, &returned);
}

// --- The association
// ------------------------------------------------------------------------------

bool WaitsForDrive(const DeviceEntry& entry) {
  return entry.ProductHas(&models::ModelRow::driveByAssociation) && entry.DriveCount.load() == 0;
}

// The drive letters the listed entries have, marked by character: one pass over the list
// serves every candidate letter.
std::array<bool, 256> AssignedLetters() {
  std::array<bool, 256> assigned{};
  for (const auto& entry : DeviceList) {
    const std::int8_t count = entry->DriveCount.load();
    if (count >= 1) assigned[static_cast<unsigned char>(entry->DriveLetter1.load())] = true;
    if (count >= 2) assigned[static_cast<unsigned char>(entry->DriveLetter2.load())] = true;
  }
  return assigned;
}

void AssignDrive(DeviceEntry& entry, char letter) {
  entry.DriveLetter1 = letter;
  entry.Usb3Connection = 1;
  entry.DriveCount = 1;
}

// Free USB CD-ROM letters: MountedDevices names a USB storage CD-ROM there and no entry has it.
std::vector<char> CandidateLetters(const std::vector<std::string>& roots,
                                   platform::Handle mounted) {
  std::vector<char> letters;
  const std::array<bool, 256> assigned = AssignedLetters();
  for (const std::string& root : roots) {
    const char letter = UpperText(root.substr(0, 1))[0];
    const auto text = MountedText(mounted, letter, kAssociationValueBytes);
    if (text && Contains(*text, "USBSTOR#CdRom") && !assigned[static_cast<unsigned char>(letter)])
      letters.push_back(letter);
  }
  return letters;
}

std::string UnitKey(const DeviceEntry& entry) {
  return entry.HubPrefix + '|' +
         std::string(entry.VidPidText, strnlen(entry.VidPidText, sizeof entry.VidPidText));
}

// Asks the entry's tray sensor within what is left of its share of the rebuild; a unit whose
// share is spent is not asked (as "not seen").
bool UnitSeesTray(DiscoveryState& d, CommandChannel& channel, const DeviceEntry& entry) {
  const int left = DiscoveryTimeLeft(d, entry);
  if (left <= 0) return false;
  const LinkTimeBound bound(channel, left);
  const bool seen = WaitTraySensor(channel);
  ChargeDiscoveryTime(d, entry, bound.Elapsed());
  return seen;
}

// Opens the letter's tray and asks each waiting unit's sensor; true when one claimed it.
bool AskUnitsAbout(DiscoveryState& d, char letter) {
  MoveDriveTray(letter, true);
  bool seenOut = false;
  for (const auto& entry : DeviceList) {
    if (!WaitsForDrive(*entry)) continue;
    CommandChannel channel(entry.get(), PauseEvent);
    if (!UnitSeesTray(d, channel, *entry)) continue;
    seenOut = true;
    MoveDriveTray(letter, false);
    if (DiscoveryTimeLeft(d, *entry) > 0 && !UnitSeesTray(d, channel, *entry)) {
      AssignDrive(*entry, letter);
      return true;
    }
  }
  if (!seenOut) MoveDriveTray(letter, false);
  return false;
}

}  // namespace

PortClass ClassifyPort(platform::Handle deviceKey, const std::string& vidPid,
                       const std::string& instanceId) {
  ClassifyIndex index;
  return ClassifyPort(deviceKey, vidPid, instanceId, index);
}

PortClass ClassifyPort(platform::Handle deviceKey, const std::string& vidPid,
                       const std::string& instanceId, ClassifyIndex& index) {
  PortClass found;
  const char kind = models::AutoloaderPortKind(vidPid);
  found.code = std::string(1, kind != 0 ? kind : 'N') + "000";
  const std::string service =
      UpperText(ReadRegText(deviceKey, "Service", kServiceBytes, "NoService"));
  if (service == "USBPRINT") {
    ClassifyPrinter(deviceKey, found, index.PrintQueues());
  } else if (service == "USBSTOR") {
    ClassifyStorage(deviceKey, instanceId, found, index.Storage());
  } else {
    const std::string desc = ReadRegText(deviceKey, "DeviceDesc", kDeviceDescBytes, kNoDeviceDesc);
    const std::size_t cut = desc.rfind(';');
    found.description = cut == std::string::npos ? desc : desc.substr(cut + 1);
  }
  return found;
}

bool MoveDriveTray(char letter, bool open) {
  int index = -1;
  if (letter >= 'A' && letter <= 'Z') index = letter - 'A';
  if (letter >= 'a' && letter <= 'z') index = letter - 'a';
  if (index < 0) return false;
  // Held across both requests: a drive let go meanwhile gets no second one.
  const HandleUse drive(DriveHandles[static_cast<std::size_t>(index)]);
  if (drive.Get() == platform::kInvalidHandle) return false;
  if (open &&
      !SendTrayRequest(drive.Get(), {platform::kScsiPreventAllowMediumRemoval, 0, 0, 0, 0, 0})) {
    return false;
  }
  if (drive.Released()) return false;
  const std::uint8_t action = open ? platform::kStartStopEject : platform::kStartStopLoad;
  return SendTrayRequest(drive.Get(), {platform::kScsiStartStopUnit, 1, 0, 0, action, 0});
}

bool WaitTraySensor(const CommandChannel& channel) {
  int out = 0;
  int in = 0;
  for (int poll = 0; out < kTraySensorRuns && in < kTraySensorRuns; ++poll) {
    if (poll == kMaxTraySensorPolls) return false;
    platform::PauseOn(channel.Pause(), kTraySensorPauseMs);
    const CommandReply answer = SendCommand(channel, AtC00, 1);
    if (!answer) return false;
    const std::string& reply = answer.text;
    const bool block = reply.size() >= 14 && reply[3] == '{' && reply[13] == '}';
    if (block && reply[9] == '1') {
      ++out;
      in = 0;
    } else if (block && reply[9] == '0') {
      ++in;
      out = 0;
    } else {
      out = in = 0;
    }
  }
  return out >= kTraySensorRuns;
}

void ResetDiscoveryTime(DiscoveryState& d) {
  d.UnitTimes.clear();
}

int DiscoveryTimeLeft(const DiscoveryState& d, const DeviceEntry& entry) {
  const auto found = d.UnitTimes.find(UnitKey(entry));
  const int spent = found == d.UnitTimes.end() ? 0 : found->second;
  return spent >= kUnitDiscoveryHundredths ? 0 : kUnitDiscoveryHundredths - spent;
}

void ChargeDiscoveryTime(DiscoveryState& d, const DeviceEntry& entry, int hundredths) {
  d.UnitTimes[UnitKey(entry)] += hundredths;
}

void DropDepartedAssociations() {
  // No drive at all reported is taken at its word: a departure missed would let a run pass
  // drive steps without a drive, an association dropped in error is made again at the next
  // rebuild.
  const std::uint32_t present = platform::ThePlatform().GetLogicalDrives();
  for (const auto& entry : DeviceList) {
    if (entry->Usb3Connection.load() == 0) continue;
    const char letter = entry->DriveLetter1.load();
    if (letter < 'A' || letter > 'Z' || (present & (1u << (letter - 'A'))) != 0) continue;
    entry->DriveLetter1 = 0;
    entry->DriveCount = 0;
    entry->Usb3Connection = 0;
  }
}

bool DriveAssociationDeferred(const DiscoveryState& d) {
  return d.AssociationDeferred;
}

void AssociateDriveLetters(DiscoveryState& d) {
  int waiting = 0;
  bool waitingUnderTest = false;
  for (const auto& entry : DeviceList) {
    if (!WaitsForDrive(*entry)) continue;
    ++waiting;
    waitingUnderTest = waitingUnderTest || entry->RunUnderWay.load();
  }
  // Any free letter may be the drive of a unit under test: neither its count nor a tray moved to
  // ask the sensors can tell until that run has ended, and its link is its run's.
  d.AssociationDeferred = waitingUnderTest;
  if (waiting == 0 || waitingUnderTest) return;
  const std::vector<std::string> roots = DriveRoots(kAssociationRootsBytes);
  if (roots.empty()) return;
  const platform::Handle mounted = OpenRegKey(kMountedDevicesKey);
  if (mounted == platform::kInvalidHandle) return;
  const std::vector<char> candidates = CandidateLetters(roots, mounted);
  CloseRegKey(mounted);
  // One unit and one free letter can only belong together. With two or more units the count
  // says nothing about which letter is whose (crossed cables): the tray sensors decide.
  if (waiting == 1 && candidates.size() == 1) {
    for (const auto& entry : DeviceList) {
      if (!WaitsForDrive(*entry)) continue;
      AssignDrive(*entry, candidates.front());
      return;
    }
  }
  // Each unit's polls go through a channel of their own, never SelectedDevice's.
  for (char letter : candidates) AskUnitsAbout(d, letter);
}
