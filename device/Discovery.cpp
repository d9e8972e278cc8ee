// The device list: BuildDeviceList walks the port tree twice, relating every port entry to the
// listed autoloaders, making entries for new autoloaders and giving them their printer, their
// HV22 part and their drives; then the drive-letter association places what topology could not.
#include "device/Discovery.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "device/CommandLink.h"
#include "device/Device.h"
#include "device/DeviceHost.h"
#include "device/Drives.h"
#include "device/PortTree.h"
#include "device/RegistryText.h"
#include "models/ModelCatalogue.h"

namespace {

// An LQ40 answers its identification in exactly four chunks. One that never does would hold the
// window in discovery; after this many tries, or once its share of the rebuild is spent, it gets
// no entry (and is tried again at the next device arrival, since its port entry is released).
constexpr int kMaxLq40Identifications = 5;
constexpr int kLq40IdentificationChunks = 4;

// How a port entry P relates to the listed autoloaders (h), and to which entry.
//   1: P is a TM36 on its own entry's hub          4: P is on a TM36's hub
//   5: P is on another autoloader's hub            3: P's hub hangs on a TM36's hub
//   2: P's hub hangs on another autoloader's hub   0: none of these
struct Relation {
  int h = 0;
  DeviceEntry* entry = nullptr;  // where the walk stopped; null when it ran to the end
};

bool IsAutoloader(const PortInfo& p) {
  return p.PortKind == 'A' || p.PortKind == 'M';
}

std::string_view VidPidOf(const PortInfo& p) {
  return std::string_view(p.VidPidText, strnlen(p.VidPidText, sizeof p.VidPidText));
}

bool IsHvUnit(const PortInfo& p) {
  return models::ProductOfFamily(VidPidOf(p), models::WorkerClass::kHV);
}

// The port number at which P's hub sits on its parent hub.
int HubPort(const PortInfo& p) {
  return p.HubInstance.empty() ? 0 : p.HubInstance.back() - '0';
}

}  // namespace

// The listed autoloaders by the prefix of their hub, for the relation search: which entries
// have P's hub prefix, and which have a prefix that occurs in P's hub instance id. A prefix of
// length n can occur only as one of the instance id's texts of that length, and the listed
// prefixes come in a few lengths, so a port costs a few look-ups instead of a walk of the whole
// list. Made at the start of each walk and kept up to date as the walk lists new autoloaders
// (the list does not otherwise change during a walk, so the prefixes are views into the
// entries).
class DiscoveryListIndex {
 public:
  void Reset() {
    byPrefix_.clear();
    byPrefix_.reserve(DeviceList.size());
    lengths_.clear();
    for (std::size_t at = 0; at < DeviceList.size(); ++at) Add(at);
  }

  void Add(std::size_t at) {
    const std::string_view prefix = DeviceList[at]->HubPrefix;
    byPrefix_[prefix].push_back(at);
    if (std::find(lengths_.begin(), lengths_.end(), prefix.size()) == lengths_.end()) {
      lengths_.push_back(prefix.size());
    }
  }

  // The list positions of the entries with this prefix, in list order.
  const std::vector<std::size_t>& WithPrefix(const std::string& prefix) const {
    static const std::vector<std::size_t> none;
    const auto it = byPrefix_.find(prefix);
    return it == byPrefix_.end() ? none : it->second;
  }

  // The list positions of the entries whose prefix occurs in the text, in list order.
  std::vector<std::size_t> PrefixesIn(std::string_view text) const {
    std::vector<std::size_t> found;
    for (std::size_t length : lengths_) {
      for (std::size_t at = 0; at + length <= text.size(); ++at) {
        const auto it = byPrefix_.find(text.substr(at, length));
        if (it != byPrefix_.end()) found.insert(found.end(), it->second.begin(), it->second.end());
        if (length == 0) break;  // the empty text occurs once is enough
      }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
  }

 private:
  std::unordered_map<std::string_view, std::vector<std::size_t>> byPrefix_;
  std::vector<std::size_t> lengths_;
};

DiscoveryState::DiscoveryState() : ListIndex(std::make_unique<DiscoveryListIndex>()) {}
DiscoveryState::~DiscoveryState() = default;

namespace {

// The walk over the listed autoloaders goes, in list order, only through those whose hub prefix
// is P's or occurs in P's hub instance id: the others are passed over without effect.
Relation FindRelation(const DiscoveryState& d, const PortInfo& p) {
  Relation r;
  const std::vector<std::size_t>& same = d.ListIndex->WithPrefix(p.HubPrefix);
  const std::vector<std::size_t> above = d.ListIndex->PrefixesIn(p.HubInstance);
  std::vector<std::size_t> candidates;
  std::merge(same.begin(), same.end(), above.begin(), above.end(), std::back_inserter(candidates));
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  for (std::size_t at : candidates) {
    DeviceEntry& entry = *DeviceList[at];
    // A printer autoloader (a TM36) has its printer and HV22 unit on its hub.
    const bool tm36 = entry.ProductHas(&models::ModelRow::printer);
    if (entry.HubPrefix == p.HubPrefix) {
      r.h = models::ProductHas(VidPidOf(p), &models::ModelRow::printer) ? 1 : tm36 ? 4 : 5;
      r.entry = &entry;
      return r;
    }
    if (!Contains(p.HubInstance, entry.HubPrefix)) continue;
    r.h = tm36 ? 3 : 2;
    const bool hvHub = r.h == 3 && entry.HvPort.load() == HubPort(p);
    if (hvHub || !d.SecondPass || IsAutoloader(p)) {
      r.entry = &entry;
      return r;
    }
  }
  return r;
}

// --- Entries -------------------------------------------------------------------------------------

// The identification reply; false when an LQ40 never gave its four chunks.
bool Identify(const DiscoveryState& d, DeviceEntry& entry, const LinkTimeBound& bound,
              std::string& reply) {
  const platform::Handle read = entry.Link1Read.load();
  const platform::Handle write = entry.Link1Write.load();
  const ExchangeWatch watch{.bound = &bound, .pause = PauseEvent};
  if (!entry.ProductHas(&models::ModelRow::numberedCommands)) {
    PipeExchange(read, write, StatusQuery, reply, watch);
    return true;
  }
  for (int attempt = 0; attempt < kMaxLq40Identifications; ++attempt) {
    // Each try may wait out a whole read bound (a unit whose reads hang), so the tries stop with
    // the unit's time: the second pass tries only with what the first left over. (The clock is
    // read only after a failed try: a unit that answers at once costs no read of it.)
    if (attempt == 0 ? DiscoveryTimeLeft(d, entry) <= 0 : bound.Passed()) return false;
    if (PipeExchangeTimed(read, write, Lq40Cmd1, reply, watch) == kLq40IdentificationChunks) {
      return true;
    }
  }
  return false;
}

std::string ModelNameOf(const DeviceEntry& entry, const std::string& identification) {
  std::string name = entry.Description;
  if (const models::ModelRow* row = models::NamedByIdentification(entry.VidPid(), identification))
    name = row->name;
  const std::vector<std::string> fields = SplitFields(identification);
  if (fields.size() >= 3) name += " (" + fields[2] + ")";
  return name;
}

void CreateEntry(DiscoveryState& d, int index, const PortInfo& p) {
  auto entry = std::make_unique<DeviceEntry>();
  entry->Link1Flag = kFlagClosed;
  if (!OpenCommandPipes(index, entry->Link1Read, entry->Link1Write, entry->Link1Flag,
                        entry->Link1PortRef)) {
    return;
  }
  entry->Claim1Flag = kFlagClosed;
  entry->Link2Flag = kFlagClosed;
  entry->Claim2Flag = kFlagClosed;
  entry->HubPrefix = p.HubPrefix;
  std::memcpy(entry->VidPidText, p.VidPidText, sizeof entry->VidPidText);
  entry->Description = p.Description;
  std::string identification;
  bool identified = false;
  {
    CommandChannel channel(entry.get(), PauseEvent);
    const LinkTimeBound bound(channel, DiscoveryTimeLeft(d, *entry));
    identified = Identify(d, *entry, bound, identification);
    ChargeDiscoveryTime(d, *entry, bound.Elapsed());
  }
  if (!identified) {
    ReleasePortEntry(entry->Link1PortRef);
    return;  // the entry closes its pipes as it goes
  }
  entry->ModelName = ModelNameOf(*entry, identification);
  entry->Identification = identification;
  DeviceList.push_back(std::move(entry));
  d.ListIndex->Add(DeviceList.size() - 1);
  d.ListChanged = true;
}

// --- Link 2 of a TM36P
// ----------------------------------------------------------------------------

void CloseLink2(DeviceEntry& entry) {
  ReleasePortEntry(entry.Link2PortRef);
  entry.Link2Flag = kFlagClosed;
  CloseDeviceHandle(entry.Link2Read);
  CloseDeviceHandle(entry.Link2Write);
  entry.HvPort = 0;
  if (entry.Claim2Flag.load() != kFlagOpen) return;
  ReleasePortEntry(entry.Claim2PortRef);
  entry.Claim2Flag = kFlagClosed;
  entry.DriveCount = 0;
  entry.DriveLetter1 = 0;
}

// An autoloader interface below a TM36 in the second pass: the TM36P's HV22 part (link 2), or
// an autoloader of its own (h becomes 0).
void SecondPassBelowTm36(int index, const PortInfo& p, DeviceEntry& entry, Relation& r) {
  if (!IsHvUnit(p) || Contains(entry.ModelName, "TM36K")) {
    r.h = 0;
  } else if (entry.HvCount.load() > 1) {
    if (entry.Link2Flag.load() == kFlagOpen) CloseLink2(entry);
  } else if (entry.Link2Flag.load() == kFlagClosed &&
             OpenCommandPipes(index, entry.Link2Read, entry.Link2Write, entry.Link2Flag,
                              entry.Link2PortRef)) {
    entry.HvPort = static_cast<std::uint8_t>(HubPort(p));
  }
}

void VisitAutoloader(DiscoveryState& d, int index, const PortInfo& p, Relation r) {
  if (!d.SecondPass) {
    if (r.h == 1) {
      r.entry->PrinterCount = 0;
      r.entry->HvCount = 0;
    } else if (r.h == 3 && IsHvUnit(p)) {
      r.entry->HvCount.fetch_add(1);
    }
  } else if (r.h == 3) {
    SecondPassBelowTm36(index, p, *r.entry, r);
  }
  if (r.h == 0 && !p.PortOpen) CreateEntry(d, index, p);
}

// --- Printers and drives
// ---------------------------------------------------------------------------

void VisitPrinter(const DiscoveryState& d, int index, const PortInfo& p, DeviceEntry& entry) {
  if (!d.SecondPass) {
    entry.PrinterCount.fetch_add(1);
  } else if (entry.PrinterCount.load() > 1) {
    if (entry.Claim1Flag.load() != kFlagOpen) return;
    ReleasePortEntry(entry.Claim1PortRef);
    entry.Claim1Flag = kFlagClosed;
    entry.PrinterPort = 0;
    entry.SetPrinterName({});
  } else if (entry.Claim1Flag.load() == kFlagClosed &&
             ClaimPortEntry(index, entry.Claim1Flag, entry.Claim1PortRef)) {
    entry.PrinterPort = p.PortNumber;
    entry.SetPrinterName(p.Description);
  } else if (entry.Claim1Flag.load() == kFlagOpen && entry.PrinterPort.load() == p.PortNumber &&
             entry.GetPrinterName() != p.Description) {
    // Claimed while its queue was not installed yet (the first broadcast of a plug-in comes
    // before the spooler has made it): each scan classifies the port again, and the queue found
    // since names the printer now.
    entry.SetPrinterName(p.Description);
  }
}

// A drive on the hub of a non-TM36 autoloader: the first met is DriveLetter1, the second
// DriveLetter2.
void ClaimDrive(int index, const PortInfo& p, DeviceEntry& entry) {
  if (entry.Claim1Flag.load() == kFlagClosed &&
      ClaimPortEntry(index, entry.Claim1Flag, entry.Claim1PortRef)) {
    entry.DriveLetter1 = p.PortLetter;
    entry.DriveCount.fetch_add(1);
  } else if (entry.Claim2Flag.load() == kFlagClosed &&
             ClaimPortEntry(index, entry.Claim2Flag, entry.Claim2PortRef)) {
    entry.DriveLetter2 = p.PortLetter;
    entry.DriveCount.fetch_add(1);
  }
}

void VisitOther(const DiscoveryState& d, int index, const PortInfo& p, const Relation& r) {
  DeviceEntry* entry = r.entry;
  if (entry == nullptr) return;
  if (d.SecondPass && r.h == 3 && entry->HvPort.load() == HubPort(p) && p.PortKind == 'C' &&
      entry->DriveCount.load() == 0) {
    // The TM36P's drive sits on the hub of its HV22 part.
    if (entry->Claim2Flag.load() == kFlagClosed &&
        ClaimPortEntry(index, entry->Claim2Flag, entry->Claim2PortRef)) {
      entry->DriveLetter1 = p.PortLetter;
      entry->DriveCount.fetch_add(1);
    }
  } else if (r.h == 4 && p.PortKind == 'P') {
    VisitPrinter(d, index, p, *entry);
  } else if (d.SecondPass && r.h == 5 && p.PortKind == 'C' && entry->DriveCount.load() < 2) {
    ClaimDrive(index, p, *entry);
  }
}

void VisitPort(DiscoveryState& d, int index, const PortInfo& p) {
  const Relation r = FindRelation(d, p);
  // A walk that ran to its end under a hub of a listed autoloader leaves P alone.
  if (r.entry == nullptr && r.h != 0) return;
  if (IsAutoloader(p)) {
    VisitAutoloader(d, index, p, r);
  } else {
    VisitOther(d, index, p, r);
  }
}

void WalkPortTree(DiscoveryState& d) {
  d.ListIndex->Reset();
  const int nodes = HubNodeCount();
  PortInfo p;  // every field is filled for each entry; its texts keep their room from the last
  for (int n = 0; n < nodes; ++n) {
    if (!SelectHubNode(n)) continue;
    const int count = PortEntryCount();
    for (int i = 0; i < count; ++i) {
      if (GetPortEntry(i, p)) VisitPort(d, i, p);
    }
  }
}

}  // namespace

bool BuildDeviceList(DiscoveryState& d) {
  // The flags belong to this build: whoever calls, it starts at its first pass, unchanged.
  d.SecondPass = false;
  d.ListChanged = false;
  ResetDiscoveryTime(d);
  WalkPortTree(d);
  d.SecondPass = true;
  WalkPortTree(d);
  // The drive letters are associated as the second pass ends, and once more as the first one
  // does: a unit whose tray answered late in the first round gets its letter in the second.
  if (!DeviceList.empty()) AssociateDriveLetters(d);
  if (!DeviceList.empty()) AssociateDriveLetters(d);
  return d.ListChanged;
}
