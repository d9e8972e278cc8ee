// The drives and printers of an autoloader: what a USB device on a hub port is (ClassifyPort),
// the handles on the optical drives (DriveHandles, owned here, opened and closed by the port-tree
// scans), tray moves, the tray sensor, and the drive-letter association of the device list.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "platform/Platform.h"

// One handle per drive letter A to Z: invalid, or open on an optical drive. The worker moves
// trays through them while the GUI thread's scans open and close slots.
extern std::array<std::atomic<platform::Handle>, 26> DriveHandles;

// The kind code of a USB device ("A000", "M000", "N000", "P000", "PN00", "C" or "D" with its
// drive letter and "00", or a first character '0' for a storage device without a drive letter)
// and its description.
struct PortClass {
  std::string code;
  std::string description;
};

// What classification looks up in the registry beyond the device's own key: the print queues
// with the device instance ids they name, and the storage nodes below Enum\USBSTOR. Each is
// read at the first port that needs it and then looked up by text, so that a scan classifying
// n ports reads them once rather than n times. Lives for one scan of the port tree (the
// registry is taken as it was then). GUI thread.
class ClassifyIndex {
 public:
  ClassifyIndex();
  ~ClassifyIndex();
  ClassifyIndex(const ClassifyIndex&) = delete;
  ClassifyIndex& operator=(const ClassifyIndex&) = delete;

  struct Queues;
  struct StorageNodes;
  Queues& PrintQueues();
  StorageNodes& Storage();

 private:
  std::unique_ptr<Queues> queues_;
  std::unique_ptr<StorageNodes> storage_;
};

// Classifies the device whose Enum\USB key is open as deviceKey (kInvalidHandle: a key that
// does not exist; every read then gives its default). vidPid is "vid_xxxx&pid_yyyy", instanceId
// the lower-case instance id. GUI thread (the port-tree scan). Without an index, the queues and
// storage nodes are read afresh.
PortClass ClassifyPort(platform::Handle deviceKey, const std::string& vidPid,
                       const std::string& instanceId, ClassifyIndex& index);
PortClass ClassifyPort(platform::Handle deviceKey, const std::string& vidPid,
                       const std::string& instanceId);

// Ejects (open) or loads the tray of the drive at the letter ('e' and 'E' alike). False for a
// letter outside A to Z, a slot without a handle, or a control call that fails. Returns when
// the drive has taken the request, before the tray has moved. Worker or GUI thread.
bool MoveDriveTray(char letter, bool open);

// Polls the tray sensor of the channel's target's link 1 every 100 ms with AT+C00: true once the
// tray is seen out three polls running, false once seen in three running. Also false, as "not
// seen", after kMaxTraySensorPolls polls without either, or when a poll's command fails (the link
// is gone or the unit does not answer).
inline constexpr int kMaxTraySensorPolls = 50;
class CommandChannel;
bool WaitTraySensor(const CommandChannel& channel);

struct DeviceEntry;
struct DiscoveryState;

// The time one unit may add to one rebuild of the device list, its identification and every
// tray it is asked about together: a unit that answers nothing, or nonsense, costs the window at
// most this much (hundredths of a second on the monotonic clock).
inline constexpr int kUnitDiscoveryHundredths = 450;
// Forgets what the units have taken (a rebuild starts). GUI thread.
void ResetDiscoveryTime(DiscoveryState& discovery);
// The hundredths the entry may still take in this rebuild (0 once spent), and the booking of
// what it took. GUI thread.
int DiscoveryTimeLeft(const DiscoveryState& discovery, const DeviceEntry& entry);
void ChargeDiscoveryTime(DiscoveryState& discovery, const DeviceEntry& entry, int hundredths);

// The drive-letter association: gives the entries without a drive whose model's drive may hang
// elsewhere (`driveByAssociation` in the catalogue: an HV22 of one product) a free USB CD-ROM
// letter, directly when one unit waits and one letter is free, else by opening each candidate's
// tray and asking each unit's sensor. Polls through a channel of each unit's own, so
// SelectedDevice is left as it was. While a unit that waits has a run under way, nothing is
// associated (any free letter may be its drive) and the association is deferred: the window
// associates again once that run has ended. GUI thread (BuildDeviceList, the end of a run).
void AssociateDriveLetters(DiscoveryState& discovery);
// True when the last association was deferred for a run under way. GUI thread.
bool DriveAssociationDeferred(const DiscoveryState& discovery);
// An associated drive is no claim on its unit's hub, so nothing the port tree drops frees it:
// an entry whose associated letter the system no longer reports has lost its drive. It then has
// none (a run on it fails its drive steps as "not online") and the next rebuild's association
// looks for it again. GUI thread (a device removal).
void DropDepartedAssociations();
