// The port tree's model, the port-entry operations of the device list and the hub controls.
#include "device/PortTree.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "device/RegistryText.h"
#include "platform/DeviceControl.h"

namespace {

std::unique_ptr<PortTree> tree;
// The current node by serial: a node that left the tree is never found again, even if a new
// one were made at its address.
std::uint64_t currentNode = 0;
std::size_t currentHint = 0;  // where the current node was last seen: checked first

constexpr char kFree = '0';
constexpr char kTaken = '1';
constexpr char kReleased = '2';
constexpr const char* kUsbDeviceClassText = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// The current node while it is in the tree and valid.
PortEntry* CurrentEntry(int index);

HubNode* CurrentNode() {
  if (!tree || currentNode == 0) return nullptr;
  auto& nodes = tree->nodes;
  if (currentHint >= nodes.size() || nodes[currentHint]->serial != currentNode) {
    const auto it = std::find_if(nodes.begin(), nodes.end(),
                                 [](const auto& node) { return node->serial == currentNode; });
    if (it == nodes.end()) return nullptr;
    currentHint = static_cast<std::size_t>(it - nodes.begin());
  }
  HubNode* node = nodes[currentHint].get();
  return node->Valid() ? node : nullptr;
}

PortEntry* CurrentEntry(int index) {
  HubNode* node = CurrentNode();
  if (node == nullptr || index < 0 || index >= static_cast<int>(node->ports.size())) return nullptr;
  return node->ports[static_cast<std::size_t>(index)].get();
}

// Takes a free or released entry for a DeviceEntry flag (the last step of both ways to take).
void TakeEntry(PortEntry& entry, DeviceFlag& flag, std::atomic<char>*& portRef) {
  if (!entry.linkBack) entry.linkBack = std::make_unique<LinkBack>();
  entry.linkBack->flag = &flag;
  flag.store(kFlagOpen);
  portRef = &entry.status.open;
  entry.status.open.store(kTaken);
}

bool Takeable(const PortEntry& entry) {
  const char open = entry.status.open.load();
  return open == kFree || open == kReleased;
}

platform::Handle OpenPipe(std::string_view key, const char* pipe, std::uint32_t access) {
  std::string path = "\\\\?\\usb#";
  path.append(key).append(kUsbDeviceClassText).append("\\").append(pipe);
  return platform::ThePlatform().CreateFileA(path.c_str(), access,
                                             platform::kFileShareRead | platform::kFileShareWrite,
                                             platform::kOpenExisting);
}

}  // namespace

std::string PortStatus::Text() const {
  std::string text{kind, letter, seen, open.load(), port};
  return text.append(key.view());
}

namespace port_tree {

PortTree& Tree() {
  if (!tree) tree = std::make_unique<PortTree>();
  return *tree;
}

void FreeTree() {
  tree.reset();
  currentNode = 0;
}

void VisitInterfacePaths(const platform::Guid& interfaceClass,
                         const std::function<void(std::string& path)>& visit) {
  platform::Platform& os = platform::ThePlatform();
  const platform::Handle set = os.SetupDiGetClassDevsA(
      interfaceClass, platform::kDigcfPresent | platform::kDigcfDeviceInterface);
  if (set == platform::kInvalidHandle) return;
  platform::DeviceInterfaceData data;
  std::vector<char> buffer;
  std::string path;
  for (std::uint32_t index = 0; os.SetupDiEnumDeviceInterfaces(set, interfaceClass, index, &data);
       ++index) {
    // The first call only sizes the path; a path longer than any Windows makes is skipped.
    std::uint32_t required = 0;
    os.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required);
    if (required == 0 || required > 4096) continue;
    buffer.assign(required, '\0');
    if (!os.SetupDiGetDeviceInterfaceDetailA(set, data, buffer.data(), required, nullptr)) continue;
    path.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
    visit(path);
  }
  os.SetupDiDestroyDeviceInfoList(set);
}

std::vector<std::string> InterfacePaths(const platform::Guid& interfaceClass) {
  std::vector<std::string> paths;
  VisitInterfacePaths(interfaceClass, [&paths](std::string& path) { paths.push_back(path); });
  return paths;
}

}  // namespace port_tree

const PortTree* CurrentPortTree() {
  return tree.get();
}

int HubNodeCount() {
  return tree ? static_cast<int>(tree->nodes.size()) : 0;
}

bool SelectHubNode(int index) {
  currentNode = 0;
  if (!tree || index < 0 || index >= static_cast<int>(tree->nodes.size())) return false;
  currentHint = static_cast<std::size_t>(index);
  currentNode = tree->nodes[currentHint]->serial;
  return true;
}

int PortEntryCount() {
  const HubNode* node = CurrentNode();
  return node ? static_cast<int>(node->ports.size()) : 0;
}

bool GetPortEntry(int index, PortInfo& info) {
  const HubNode* node = CurrentNode();
  const PortEntry* entry = CurrentEntry(index);
  if (entry == nullptr) return false;
  const PortStatus& status = entry->status;
  info.HubInstance = node->instanceId;
  info.HubPrefix = node->prefix;
  info.Description = entry->description;
  std::memset(info.VidPidText, 0, sizeof info.VidPidText);
  const std::size_t vidPid = std::min<std::size_t>(status.key.size(), 17);  // "vid_xxxx&pid_yyyy"
  for (std::size_t i = 0; i < vidPid; ++i) {
    info.VidPidText[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(status.key[i])));
  }
  info.PortKind = status.kind;
  info.PortLetter = status.letter;
  info.PortNumber = static_cast<std::uint8_t>(status.port - '0');
  info.PortOpen = status.open.load() == kTaken;
  return true;
}

std::string PortStatusText(int index) {
  const PortEntry* entry = CurrentEntry(index);
  return entry ? entry->status.Text() : std::string();
}

namespace {

// Opens the entry's read and write pipes, watches both for removal requests and puts them in
// place; neither is kept when one cannot be opened.
bool OpenWatchedPipes(const PortEntry& entry, std::atomic<platform::Handle>& readPipe,
                      std::atomic<platform::Handle>& writePipe) {
  const platform::Handle read = OpenPipe(entry.status.key, "PIPE00", platform::kGenericRead);
  const platform::Handle write = OpenPipe(entry.status.key, "PIPE01", platform::kGenericWrite);
  if (read == platform::kInvalidHandle || write == platform::kInvalidHandle) {
    if (read != platform::kInvalidHandle) platform::ThePlatform().CloseHandle(read);
    if (write != platform::kInvalidHandle) platform::ThePlatform().CloseHandle(write);
    return false;
  }
  port_tree::WatchDeviceHandle(read);
  port_tree::WatchDeviceHandle(write);
  readPipe.store(read);
  writePipe.store(write);
  return true;
}

}  // namespace

bool OpenCommandPipes(int index, std::atomic<platform::Handle>& readPipe,
                      std::atomic<platform::Handle>& writePipe, DeviceFlag& flag,
                      std::atomic<char>*& portRef) {
  PortEntry* entry = CurrentEntry(index);
  if (entry == nullptr || (entry->status.kind != 'A' && entry->status.kind != 'M') ||
      !Takeable(*entry)) {
    return false;
  }
  CloseDeviceHandle(readPipe);
  CloseDeviceHandle(writePipe);
  if (!OpenWatchedPipes(*entry, readPipe, writePipe)) return false;
  // Handles before the flag: a worker that sees the flag '1' finds the pipes in place.
  TakeEntry(*entry, flag, portRef);
  return true;
}

bool ReopenCommandPipes(const std::atomic<char>* portRef, std::atomic<platform::Handle>& readPipe,
                        std::atomic<platform::Handle>& writePipe) {
  if (portRef == nullptr || portRef->load() != kTaken || CurrentPortTree() == nullptr) return false;
  for (const auto& node : port_tree::Tree().nodes) {
    for (const auto& entry : node->ports) {
      if (&entry->status.open != portRef) continue;
      return OpenWatchedPipes(*entry, readPipe, writePipe);
    }
  }
  return false;
}

bool ClaimPortEntry(int index, DeviceFlag& flag, std::atomic<char>*& portRef) {
  PortEntry* entry = CurrentEntry(index);
  if (entry == nullptr || !Takeable(*entry)) return false;
  TakeEntry(*entry, flag, portRef);
  return true;
}

bool ReleasePortEntry(std::atomic<char>* portRef) {
  if (portRef == nullptr) return false;
  char expected = kTaken;
  return portRef->compare_exchange_strong(expected, kReleased);
}

int GetHubPortCount(platform::Handle hub) {
  using N = platform::NodeInformationLayout;
  std::uint8_t buffer[N::kSize] = {};
  platform::PutU32(buffer, N::kNodeType, 0);
  std::uint32_t returned = 0;
  if (!platform::ThePlatform().DeviceIoControl(hub, platform::kIoctlUsbGetNodeInformation, buffer,
                                               N::kSize, buffer, N::kSize, &returned)) {
    return 4;
  }
  return buffer[N::kNumberOfPorts];
}

bool ReadConnectionInformation(platform::Handle hub, int port, std::span<std::uint8_t> info) {
  using L = platform::NodeConnectionInformationLayout;
  platform::PutU32(info, L::kConnectionIndex, static_cast<std::uint32_t>(port));
  const auto size = static_cast<std::uint32_t>(info.size());
  std::uint32_t returned = 0;
  if (platform::ThePlatform().DeviceIoControl(hub, platform::kIoctlUsbGetNodeConnectionInformation,
                                              info.data(), size, info.data(), size, &returned)) {
    return true;
  }
  return platform::ThePlatform().GetLastError() == platform::kErrorMoreData &&
         returned >= L::kBaseSize;
}

bool ReadUsbStringDescriptor(platform::Handle hub, int port, int index, std::string& text) {
  using D = platform::DescriptorRequestLayout;
  std::uint8_t buffer[D::kBufferSize] = {};
  platform::PutU32(buffer, D::kConnectionIndex, static_cast<std::uint32_t>(port));
  platform::PutU8(buffer, D::kBmRequest, D::kRequestTypeIn);
  platform::PutU8(buffer, D::kBRequest, D::kGetDescriptor);
  platform::PutU16(buffer, D::kWValue,
                   D::kStringDescriptor * 256u + static_cast<std::uint8_t>(index));
  platform::PutU16(buffer, D::kWIndex, D::kEnglishUs);
  platform::PutU16(buffer, D::kWLength, D::kBufferSize - D::kData);
  std::uint32_t returned = 0;
  text.clear();
  if (!platform::ThePlatform().DeviceIoControl(
          hub, platform::kIoctlUsbGetDescriptorFromNodeConnection, buffer, D::kBufferSize, buffer,
          D::kBufferSize, &returned)) {
    return false;
  }
  // The characters after the descriptor's 2-byte head, while they are plain ASCII; never past
  // what the hub returned.
  const std::size_t end = std::min<std::size_t>(returned, D::kBufferSize);
  for (std::size_t at = D::kData + 2; at + 1 < end; at += 2) {
    const std::uint8_t low = buffer[at];
    const std::uint8_t high = buffer[at + 1];
    if (low == 0 || high != 0) break;
    text += low == ' ' ? '_' : static_cast<char>(low);
  }
  return true;
}
