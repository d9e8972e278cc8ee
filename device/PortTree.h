// The USB port tree: the system's picture of the hubs and of the devices on their ports, with
// whether a DeviceEntry has taken them. Owns its nodes and LinkBack objects. GUI thread only;
// the open-state characters that DeviceEntry references are atomic, the rest is never shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/Device.h"
#include "platform/Platform.h"

// The back-reference of a taken port entry: the DeviceEntry flag that took it, through which a
// removal scan marks that flag departed. A released entry keeps it, to be re-pointed.
struct LinkBack {
  DeviceFlag* flag = nullptr;
};

// A text of a port entry, held in the entry itself while it is as short as port keys and device
// descriptions are (on the heap beyond that). Every scan and both passes of every list build read
// the tree entry by entry; the texts then lie in the lines the entry is read from, not in one
// heap block each, which on a station of many hubs no longer stays in the caches between reads.
template <std::size_t kInline>
class EntryText {
 public:
  EntryText() = default;
  EntryText(const EntryText& other) { Assign(other.view()); }
  EntryText& operator=(const EntryText& other) {
    if (this != &other) Assign(other.view());
    return *this;
  }
  EntryText& operator=(std::string_view text) {
    Assign(text);
    return *this;
  }
  ~EntryText() = default;

  std::string_view view() const { return {heap_ ? heap_.get() : inline_, size_}; }
  operator std::string_view() const { return view(); }  // NOLINT(google-explicit-constructor)
  std::size_t size() const { return size_; }
  char operator[](std::size_t i) const { return view()[i]; }
  friend bool operator==(const EntryText& a, const EntryText& b) { return a.view() == b.view(); }
  friend bool operator==(const EntryText& a, std::string_view b) { return a.view() == b; }

 private:
  void Assign(std::string_view text) {
    if (text.size() <= kInline) {
      std::memmove(inline_, text.data(), text.size());  // text may lie in heap_, freed next
      heap_.reset();
    } else {
      auto copy = std::make_unique<char[]>(text.size());
      std::memcpy(copy.get(), text.data(), text.size());
      heap_ = std::move(copy);
    }
    size_ = text.size();
  }

  std::unique_ptr<char[]> heap_;  // null while the text is inline_
  std::size_t size_ = 0;
  char inline_[kInline] = {};
};

// One device on a hub: kind, drive letter, seen mark, open state and port, then the key
// "vid_xxxx&pid_yyyy#<instance id>#" (lower case) that is also the middle of its interface path.
// Held by pointer, so a DeviceEntry may keep the address of `open`.
struct PortStatus {
  char kind = '0';
  char letter = '0';
  char seen = '0';
  std::atomic<char> open{'0'};  // '0' free, '1' taken, '2' released
  char port = '0';              // '0' + port number
  EntryText<40> key;

  // The status as the text "0000%C%s#%s#" produces it, with the present characters.
  std::string Text() const;
};

struct PortEntry {
  PortStatus status;
  EntryText<32> description;
  std::unique_ptr<LinkBack> linkBack;  // while taken ('1') or released ('2')
};

// One hub: its device instance id, its ParentIdPrefix (or "NoPointNextId") and its port entries,
// autoloader vendors first. As texts it would be 2 + 2 per entry; valid with one entry or more.
struct HubNode {
  std::string instanceId;
  std::string prefix;
  std::vector<std::unique_ptr<PortEntry>> ports;
  std::uint64_t serial = 0;  // tells a node apart from a later one at the same address

  bool Valid() const { return !ports.empty(); }
};

struct PortTree {
  std::vector<std::unique_ptr<HubNode>> nodes;
};

// What GetPortEntry tells of one port entry.
struct PortInfo {
  std::string HubInstance;
  std::string HubPrefix;
  std::string Description;
  char VidPidText[20] = {};  // "VID_vvvv&PID_pppp", upper-case hex
  char PortKind = 0;
  char PortLetter = 0;
  std::uint8_t PortNumber = 0;
  bool PortOpen = false;
};

// --- Reading the tree (the device list, the log)
// --------------------------------------------------- Number of nodes; 0 with no tree.
int HubNodeCount();
// Makes node `index` current; false, and no current node, when out of range.
bool SelectHubNode(int index);
// Port entries of the current node; 0 when there is none, it left the tree, or it is not valid.
int PortEntryCount();
// The index-th port entry of the current node; false under the same conditions or out of range.
bool GetPortEntry(int index, PortInfo& info);
// Its status text ("C100..."), for the log and tests; empty under the same conditions.
std::string PortStatusText(int index);
// The tree itself (null before the first scan and after CloseAllDevices). Read-only use.
const PortTree* CurrentPortTree();

// --- Taking port entries (discovery)
// ------------------------------------------------------------------ Opens the two pipes of an
// autoloader port entry of the current node (kind 'A' or 'M', free or released) into readPipe
// (PIPE00) and writePipe (PIPE01), then takes the entry for `flag`: the handles are stored first,
// then flag and the entry's open state become '1' and portRef points at that state. False, handles
// invalid, when a condition fails or a pipe does not open.
bool OpenCommandPipes(int index, std::atomic<platform::Handle>& readPipe,
                      std::atomic<platform::Handle>& writePipe, DeviceFlag& flag,
                      std::atomic<char>*& portRef);
// Opens again the two pipes of the port entry whose open state portRef points at (taken, '1'),
// into readPipe and writePipe, each watched: a link whose pipes a refused removal's query closed.
// False, handles invalid, when no such entry is in the tree or a pipe does not open.
bool ReopenCommandPipes(const std::atomic<char>* portRef, std::atomic<platform::Handle>& readPipe,
                        std::atomic<platform::Handle>& writePipe);
// Takes a free or released port entry of the current node for a DeviceEntry slot.
bool ClaimPortEntry(int index, DeviceFlag& flag, std::atomic<char>*& portRef);
// Turns a taken entry's open state '1' into '2'; false when it was not '1' (or portRef is null).
bool ReleasePortEntry(std::atomic<char>* portRef);

// --- Hub controls
// ------------------------------------------------------------------------------------- Downstream
// ports of an open hub; 4 when the hub does not say.
int GetHubPortCount(platform::Handle hub);
// The string descriptor `index` of the device on `port`, in ASCII, blanks as "_". False when the
// control fails.
bool ReadUsbStringDescriptor(platform::Handle hub, int port, int index, std::string& text);
// The node connection information of `port` into info (its port number put in first). True
// when the hub gave at least the fixed part: a device with more open pipes than info holds is
// answered with ERROR_MORE_DATA, and the fixed part is all the system reads.
bool ReadConnectionInformation(platform::Handle hub, int port, std::span<std::uint8_t> info);

// ScanUsbDevices, DropDepartedPorts, CloseAllDevices and LogUsb3Topology: device/Discovery.h.

// --- Inside the port tree (PortTree*.cpp)
// ----------------------------------------------------------
namespace port_tree {
// The tree, created on first use.
PortTree& Tree();
// Frees the tree (LinkBack objects included) and forgets the current node.
void FreeTree();
// The interface paths of the present interfaces of a class, in enumeration order.
std::vector<std::string> InterfacePaths(const platform::Guid& interfaceClass);
// The same paths handed to `visit` one by one as they are read, in one text that the visit may
// change and that is reused for the next: a station's thousands of device paths are looked at
// once each, and need not all be kept.
void VisitInterfacePaths(const platform::Guid& interfaceClass,
                         const std::function<void(std::string& path)>& visit);
// Asks for a handle notification on a drive or pipe handle the system keeps open, so that a
// query to remove its device reaches ReleaseDeviceHandle. Nothing before the first scan has
// registered the main window.
void WatchDeviceHandle(platform::Handle handle);
}  // namespace port_tree
