// The USB port tree over the simulated bus: hub controls in Windows' layouts, instance ids,
// registry texts read into fixed buffers, classification, taking and releasing port entries,
// removal scans, notifications and the USB 3.0 log section.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "CaseNames.h"
#include "DiscoveryFixture.h"
#include "device/Discovery.h"
#include "device/Drives.h"
#include "device/PortTree.h"
#include "platform/DeviceControl.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/bench/DemoBench.h"
#include "report/TestLog.h"
#include "ui/Controls.h"

namespace {

// The sim as a PC where the program lacks rights: the paths in `refused` do not open (access
// denied), and the main window's notification is refused while refuseRegistration holds.
class RefusingPlatform : public platform::sim::SimPlatform {
 public:
  platform::Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t creation) override {
    if (path != nullptr && refused.contains(path)) {
      platform::sim::SetSimLastError(platform::kErrorAccessDenied);
      return platform::kInvalidHandle;
    }
    return SimPlatform::CreateFileA(path, access, share, creation);
  }
  platform::Handle RegisterDeviceNotificationA(platform::Handle recipient,
                                               const platform::DevBroadcastDeviceInterface& filter,
                                               std::uint32_t flags) override {
    ++registrations;
    if (!refuseRegistration)
      return SimPlatform::RegisterDeviceNotificationA(recipient, filter, flags);
    platform::sim::SetSimLastError(platform::kErrorAccessDenied);
    return 0;
  }

  std::set<std::string> refused;
  bool refuseRegistration = false;
  int registrations = 0;
};

using platform::sim::UsbDeviceKind;
using platform::sim::UsbDeviceSpec;
using platform::sim::UsbHubSpec;

// The bus alone, without a console: tests call the port-tree operations themselves.
class PortTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetPlatform(&sim); }
  void TearDown() override {
    CloseAllDevices();
    platform::SetPlatform(nullptr);
  }

  platform::sim::SimUsb& Bus() { return sim.Usb(); }
  int RootWithBox(int ports = 4) {
    const int root = Bus().AddHub({});
    UsbHubSpec box;
    box.parent = root;
    box.parentPort = 1;
    box.ports = ports;
    return Bus().AddHub(box);
  }
  static UsbDeviceSpec Device(UsbDeviceKind kind, int hub, int port, std::uint16_t vid = 0x1723,
                              std::uint16_t pid = 0x0903) {
    UsbDeviceSpec layout;
    layout.kind = kind;
    layout.hub = hub;
    layout.port = port;
    layout.vid = vid;
    layout.pid = pid;
    layout.description = "Disc Robot";
    return layout;
  }
  void Scan() { ScanUsbDevices(ui::WindowHandle(window)); }
  // The port entries of every node.
  std::vector<PortInfo> Ports() {
    std::vector<PortInfo> all;
    for (int n = 0; n < HubNodeCount(); ++n) {
      SelectHubNode(n);
      for (int i = 0; i < PortEntryCount(); ++i) {
        PortInfo info;
        if (GetPortEntry(i, info)) all.push_back(info);
      }
    }
    return all;
  }

  // The log's messages in clear.
  static std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const std::string& line : LogLinesSnapshot()) {
      out.push_back(UnscrambleLogText(line.substr(kLogPrefixLength),
                                      LogOffsetForPrefix(line.substr(0, kLogPrefixLength))));
    }
    return out;
  }

  RefusingPlatform sim;
  ui::Form window{"Form1", 100, 100};
};

platform::Handle OpenHub(const std::string& path) {
  return platform::ThePlatform().CreateFileA(path.c_str(), platform::kGenericWrite,
                                             platform::kFileShareWrite, platform::kOpenExisting);
}

TEST_F(PortTreeTest, HubControlsAnswerInTheLayoutsOfAWindowsHubDriver) {
  using L = platform::NodeConnectionInformationLayout;
  using C = platform::NodeConnectionNameLayout;
  const int box = RootWithBox(7);
  UsbHubSpec child;
  child.parent = box;
  child.parentPort = 5;
  const int sub = Bus().AddHub(child);
  UsbDeviceSpec robot = Device(UsbDeviceKind::kAutoloader, box, 3, 0x1723, 0x0945);
  robot.bcdUsb = 0x0300;
  robot.serial = "Ab 1";
  Bus().AddDevice(robot);
  const platform::Handle hub = OpenHub(Bus().HubInterfacePath(box));
  ASSERT_NE(hub, platform::kInvalidHandle);
  EXPECT_EQ(GetHubPortCount(hub), 7);

  auto connection = [&](int port, std::uint8_t* info, std::uint32_t* returned) {
    platform::PutU32({info, L::kScanBufferSize}, L::kConnectionIndex, port);
    return platform::ThePlatform().DeviceIoControl(
        hub, platform::kIoctlUsbGetNodeConnectionInformation, info, L::kScanBufferSize, info,
        L::kScanBufferSize, returned);
  };
  std::uint8_t info[L::kScanBufferSize] = {};
  std::uint32_t returned = 0;
  ASSERT_TRUE(connection(3, info, &returned));
  EXPECT_EQ(returned, L::kBaseSize + 2 * L::kPipeInfoSize);  // two bulk pipes
  EXPECT_EQ(platform::GetU32(info, L::kConnectionStatus), L::kDeviceConnected);
  EXPECT_EQ(platform::GetU16(info, L::kIdVendor), 0x1723);
  EXPECT_EQ(platform::GetU16(info, L::kIdProduct), 0x0945);
  EXPECT_EQ(platform::GetU16(info, L::kBcdUsb), 0x0300);
  EXPECT_NE(info[L::kISerialNumber], 0);
  EXPECT_EQ(info[L::kDeviceIsHub], 0);
  ASSERT_TRUE(connection(5, info, &returned));
  EXPECT_EQ(info[L::kDeviceIsHub], 1);
  ASSERT_TRUE(connection(1, info, &returned));
  EXPECT_EQ(platform::GetU32(info, L::kConnectionStatus), L::kNoDeviceConnected);
  EXPECT_FALSE(connection(8, info, &returned));  // no such port

  std::string serial;
  ASSERT_TRUE(ReadUsbStringDescriptor(hub, 3, 3, serial));
  EXPECT_EQ(serial, "Ab_1");
  EXPECT_FALSE(ReadUsbStringDescriptor(hub, 2, 3, serial));  // nothing on port 2

  std::uint8_t name[C::kBufferSize] = {};
  platform::PutU32(name, C::kConnectionIndex, 5);
  ASSERT_TRUE(platform::ThePlatform().DeviceIoControl(hub, platform::kIoctlUsbGetNodeConnectionName,
                                                      name, sizeof name, name, sizeof name,
                                                      &returned));
  const std::string expected = Bus().HubInterfacePath(sub).substr(4);
  EXPECT_EQ(platform::GetU32(name, C::kActualLength), C::kName + 2 * (expected.size() + 1));
  std::string text;
  for (std::size_t at = C::kName; name[at] != 0; at += 2) text += static_cast<char>(name[at]);
  EXPECT_EQ(text, expected);

  // Units swapped on one port: the port shows the first one added that is plugged in.
  std::vector<int> swapped;
  for (std::uint16_t pid : {0x0101, 0x0102, 0x0103}) {
    UsbDeviceSpec unit = Device(UsbDeviceKind::kAutoloader, box, 6, 0x1723, pid);
    unit.present = false;
    swapped.push_back(Bus().AddDevice(unit));
  }
  struct Step {
    int plug;    // index into swapped, or -1
    int unplug;  // likewise
    int shown;   // the product id the port shows, 0: nothing connected
  };
  const Step steps[] = {{-1, -1, 0},     {2, -1, 0x0103}, {1, -1, 0x0102}, {-1, 1, 0x0103},
                        {0, -1, 0x0101}, {-1, 0, 0x0103}, {-1, 2, 0}};
  for (const Step& step : steps) {
    if (step.plug >= 0) Bus().Plug(swapped[static_cast<std::size_t>(step.plug)]);
    if (step.unplug >= 0) Bus().Unplug(swapped[static_cast<std::size_t>(step.unplug)]);
    ASSERT_TRUE(connection(6, info, &returned));
    if (step.shown == 0) {
      EXPECT_EQ(platform::GetU32(info, L::kConnectionStatus), L::kNoDeviceConnected);
    } else {
      EXPECT_EQ(platform::GetU32(info, L::kConnectionStatus), L::kDeviceConnected);
      EXPECT_EQ(platform::GetU16(info, L::kIdProduct), step.shown);
    }
  }
  platform::ThePlatform().CloseHandle(hub);
}

struct SerialCase {
  const char* serial;
  const char* read;
};

class SerialStringTest : public PortTreeTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialStringTest, IsReadAsAsciiWithBlanksAsUnderscoresWithinTheDescriptorBuffer) {
  const int box = RootWithBox();
  UsbDeviceSpec layout = Device(UsbDeviceKind::kOther, box, 1, 0x1234, 0x0001);
  layout.serial = GetParam().serial;
  Bus().AddDevice(layout);
  const platform::Handle hub = OpenHub(Bus().HubInterfacePath(box));
  std::string text;
  ASSERT_TRUE(ReadUsbStringDescriptor(hub, 1, 3, text));
  EXPECT_EQ(text, GetParam().read);
  platform::ThePlatform().CloseHandle(hub);
}

INSTANTIATE_TEST_SUITE_P(
    Serials, SerialStringTest,
    ::testing::Values(SerialCase{"AB12", "AB12"}, SerialCase{"a b c", "a_b_c"},
                      // 64 descriptor bytes hold the 2-byte head and 31 characters
                      SerialCase{"0123456789012345678901234567890123456789",
                                 "0123456789012345678901234567890"}),
    NameBy(&SerialCase::serial));

struct PrefixCase {
  std::string prefix;
  std::string seen;
};

class HubPrefixTest : public PortTreeTest, public ::testing::WithParamInterface<PrefixCase> {};

TEST_P(HubPrefixTest, IsReadIntoA24ByteBuffer) {
  const int root = Bus().AddHub({});
  UsbHubSpec box;
  box.parent = root;
  box.parentPort = 1;
  box.prefix = GetParam().prefix;
  const int hub = Bus().AddHub(box);
  Bus().AddDevice(Device(UsbDeviceKind::kAutoloader, hub, 2));
  Scan();
  ASSERT_EQ(HubNodeCount(), 1);
  SelectHubNode(0);
  PortInfo info;
  ASSERT_TRUE(GetPortEntry(0, info));
  EXPECT_EQ(info.HubPrefix, GetParam().seen);
}

INSTANTIATE_TEST_SUITE_P(Prefixes, HubPrefixTest,
                         ::testing::Values(PrefixCase{"6&12345678&0&9999999999",
                                                      "6&12345678&0&9999999999"},
                                           PrefixCase{"6&12345678&0&99999999999", "NoPointNextId"}),
                         NameBy(&PrefixCase::prefix));

TEST_F(PortTreeTest, HubWithoutParentIdPrefixNamesASerialLessDeviceByNoPointNextId) {
  const int root = Bus().AddHub({});
  UsbHubSpec old;
  old.parent = root;
  old.parentPort = 1;
  old.noPrefix = true;
  const int hub = Bus().AddHub(old);
  Bus().AddDevice(Device(UsbDeviceKind::kAutoloader, hub, 2));
  Scan();
  ASSERT_TRUE(SelectHubNode(0));
  EXPECT_EQ(PortStatusText(0), "A0002vid_1723&pid_0903#nopointnextid&2#");
  PortInfo info;
  ASSERT_TRUE(GetPortEntry(0, info));
  EXPECT_EQ(info.HubPrefix, "NoPointNextId");
  EXPECT_EQ(info.Description, "Disc Robot");
  EXPECT_STREQ(info.VidPidText, "VID_1723&PID_0903");
}

TEST_F(PortTreeTest, UnreadableSerialOrOnlyHubsOrDroppedDevicesLeaveNoNode) {
  const int box = RootWithBox();
  UsbHubSpec child;
  child.parent = box;
  child.parentPort = 1;
  Bus().AddHub(child);
  UsbDeviceSpec mute = Device(UsbDeviceKind::kAutoloader, box, 2);
  mute.serial = "S1";
  mute.serialReadable = false;
  Bus().AddDevice(mute);
  UsbDeviceSpec disk = Device(UsbDeviceKind::kDisk, box, 3, 0x0781, 0x5567);
  disk.letter = 'U';
  Bus().AddDevice(disk);
  ASSERT_TRUE(sim.Registry().DeleteValue("SYSTEM\\MountedDevices", "\\DosDevices\\U:"));
  Scan();
  EXPECT_EQ(HubNodeCount(), 0);
}

// --- Classification -----------------------------------------------------------------------------

struct ClassCase {
  const char* name;
  UsbDeviceKind kind;
  std::uint16_t vid;
  std::function<void(UsbDeviceSpec&)> shape;
  std::function<void(platform::sim::SimRegistry&, const std::string& enumKey)> edit;
  const char* kind2;  // kind and letter characters; "" when the device is left out
  std::string description;
};

class ClassifyTest : public PortTreeTest, public ::testing::WithParamInterface<ClassCase> {};

const auto kNoShape = [](UsbDeviceSpec&) {};
const auto kNoEdit = [](platform::sim::SimRegistry&, const std::string&) {};

TEST_P(ClassifyTest, DeviceIsKnownByItsRegistryKeys) {
  const ClassCase& c = GetParam();
  const int box = RootWithBox();
  UsbDeviceSpec layout = Device(c.kind, box, 1, c.vid, 0x0777);
  layout.description = "Thing";
  c.shape(layout);
  const int id = Bus().AddDevice(layout);
  char vidPid[32];
  std::snprintf(vidPid, sizeof vidPid, "VID_%04X&PID_0777", c.vid);
  c.edit(sim.Registry(), std::string("SYSTEM\\CurrentControlSet\\Enum\\USB\\") + vidPid + "\\" +
                             Bus().DeviceInstanceId(id));
  Scan();
  const std::vector<PortInfo> ports = Ports();
  if (std::string(c.kind2).empty()) {
    EXPECT_TRUE(ports.empty());
    return;
  }
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(std::string({ports[0].PortKind, ports[0].PortLetter}), c.kind2);
  EXPECT_EQ(ports[0].Description, c.description);
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ClassifyTest,
    ::testing::Values(ClassCase{"Vendor1723", UsbDeviceKind::kAutoloader, 0x1723, kNoShape, kNoEdit,
                                "A0", "Thing"},
                      ClassCase{"Vendor1717", UsbDeviceKind::kAutoloader, 0x1717, kNoShape, kNoEdit,
                                "M0", "Thing"},
                      ClassCase{"OtherVendor", UsbDeviceKind::kOther, 0x046D, kNoShape, kNoEdit,
                                "N0", "Thing"},
                      ClassCase{"DescWithoutSemicolon", UsbDeviceKind::kAutoloader, 0x1723,
                                kNoShape,
                                [](platform::sim::SimRegistry& r, const std::string& key) {
                                  r.SetString(key, "DeviceDesc", "Plain Name");
                                },
                                "A0", "Plain Name"},
                      ClassCase{"DescFillsItsBufferWithoutTerminator", UsbDeviceKind::kAutoloader,
                                0x1723, kNoShape,
                                [](platform::sim::SimRegistry& r, const std::string& key) {
                                  r.SetValue(key, "DeviceDesc", platform::kRegSz,
                                             Bytes("x;" + std::string(138, 'N')));
                                },
                                "A0", std::string(138, 'N')},
                      ClassCase{"DescLongerThanItsBuffer", UsbDeviceKind::kAutoloader, 0x1723,
                                kNoShape,
                                [](platform::sim::SimRegistry& r, const std::string& key) {
                                  r.SetString(key, "DeviceDesc", "x;" + std::string(138, 'N'));
                                },
                                "A0", "NoDeviceDesc"},
                      ClassCase{"PrinterWithQueue", UsbDeviceKind::kPrinter, 0x04A9, kNoShape,
                                kNoEdit, "P0", "Thing"},
                      ClassCase{"PrinterQueueMatchIgnoresCase", UsbDeviceKind::kPrinter, 0x04A9,
                                kNoShape,
                                [](platform::sim::SimRegistry& r, const std::string& key) {
                                  r.SetString(key, "ParentIdPrefix", "7&abcdef&0");
                                  r.SetString(
                                      "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Thing\\"
                                      "PnPData",
                                      "DeviceInstanceId", "usbprint\\thing\\7&ABCDEF&0&usb001");
                                },
                                "P0", "Thing"},
                      // Queues enumerate as "Alpha", "Beta", "Thing": Alpha's id misses the prefix
                      // by its last character, Beta's ends with it, and Thing's holds it too.
                      ClassCase{"PrinterQueueIsTheFirstInOrderWhoseIdHoldsThePrefix",
                                UsbDeviceKind::kPrinter, 0x04A9, kNoShape,
                                [](platform::sim::SimRegistry& r, const std::string& key) {
                                  const std::string printers =
                                      "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
                                  r.SetString(key, "ParentIdPrefix", "7&ABCDEF&0");
                                  r.SetString(printers + "Thing\\PnPData", "DeviceInstanceId",
                                              "USBPRINT\\THING\\7&ABCDEF&0&USB001");
                                  r.SetString(printers + "Alpha\\PnPData", "DeviceInstanceId",
                                              "USBPRINT\\ALPHA\\7&ABCDEF&1&USB001");
                                  r.SetString(printers + "Beta\\PnPData", "DeviceInstanceId",
                                              "USBPRINT\\BETA\\X7&ABCDEF&0");
                                },
                                "P0", "Beta"},
                      ClassCase{"PrinterPrefixLongerThanEveryQueueId", UsbDeviceKind::kPrinter,
                                0x04A9, kNoShape,
                                [](platform::sim::SimRegistry& r, const std::string& key) {
                                  r.SetString(key, "ParentIdPrefix", std::string(200, '7'));
                                },
                                "PN", "No Install Software"},
                      ClassCase{"PrinterWithoutQueue", UsbDeviceKind::kPrinter, 0x04A9,
                                [](UsbDeviceSpec& s) { s.hasQueue = false; }, kNoEdit, "PN",
                                "No Install Software"},
                      ClassCase{"CdRom", UsbDeviceKind::kCdRom, 0x0E8D,
                                [](UsbDeviceSpec& s) { s.letter = 'e'; }, kNoEdit, "CE", "Thing"},
                      ClassCase{"CdRomWithSerial", UsbDeviceKind::kCdRom, 0x0E8D,
                                [](UsbDeviceSpec& s) {
                                  s.letter = 'F';
                                  s.serial = "SerIal 9";
                                },
                                kNoEdit, "CF", "Thing"},
                      ClassCase{"Disk", UsbDeviceKind::kDisk, 0x0781,
                                [](UsbDeviceSpec& s) { s.letter = 'U'; }, kNoEdit, "DU", "Thing"},
                      ClassCase{"CdRomWithoutFriendlyName", UsbDeviceKind::kCdRom, 0x0E8D,
                                [](UsbDeviceSpec& s) {
                                  s.letter = 'E';
                                  s.hasDescription = false;
                                },
                                kNoEdit, "", ""},
                      ClassCase{"StorageWithoutLetter", UsbDeviceKind::kCdRom, 0x0E8D, kNoShape,
                                kNoEdit, "", ""}),
    [](const ::testing::TestParamInfo<ClassCase>& info) { return std::string(info.param.name); });

// --- Taking, releasing and removal ---------------------------------------------------------------

TEST_F(PortTreeTest, ReleasedEntryIsTakenAgainAndReportsItsDepartureToTheNewFlagOnly) {
  const int box = RootWithBox();
  const int robot = Bus().AddDevice(Device(UsbDeviceKind::kAutoloader, box, 1));
  Scan();
  ASSERT_TRUE(SelectHubNode(0));
  DeviceFlag first{kFlagClosed};
  DeviceFlag second{kFlagClosed};
  std::atomic<char>* firstRef = nullptr;
  std::atomic<char>* secondRef = nullptr;
  ASSERT_TRUE(ClaimPortEntry(0, first, firstRef));
  EXPECT_EQ(first.load(), kFlagOpen);
  EXPECT_EQ(firstRef->load(), '1');
  EXPECT_FALSE(ClaimPortEntry(0, second, secondRef));  // taken
  EXPECT_TRUE(ReleasePortEntry(firstRef));
  EXPECT_EQ(firstRef->load(), '2');
  EXPECT_FALSE(ReleasePortEntry(firstRef));
  first = kFlagClosed;  // discovery gave it up
  ASSERT_TRUE(ClaimPortEntry(0, second, secondRef));
  EXPECT_EQ(secondRef, firstRef);  // the same open-state character

  Bus().Unplug(robot);
  DropDepartedPorts();
  EXPECT_EQ(second.load(), kFlagDeparted);
  EXPECT_EQ(first.load(), kFlagClosed);
  EXPECT_EQ(PortEntryCount(), 0);  // the node left the tree
  PortInfo info;
  EXPECT_FALSE(GetPortEntry(0, info));
  EXPECT_EQ(HubNodeCount(), 0);
}

TEST_F(PortTreeTest, DeviceNotificationsFlowOnlyWhileRegistered) {
  const int box = RootWithBox();
  const int robot = Bus().AddDevice(Device(UsbDeviceKind::kAutoloader, box, 1));
  std::vector<unsigned long> events;
  Bus().SetDeviceChangeSink([&](unsigned long code) { events.push_back(code); });
  Bus().Unplug(robot);
  Scan();  // registers
  Scan();  // once only
  EXPECT_EQ(Bus().OpenSetCount(), 1u);
  Bus().Plug(robot);
  Bus().Unplug(robot);
  CloseAllDevices();
  Bus().Plug(robot);
  EXPECT_EQ(events, (std::vector<unsigned long>{0x8000, 0x8004}));
  EXPECT_EQ(Bus().OpenSetCount(), 0u);
}

// A hub answers a buffer too small for the device's pipes with ERROR_MORE_DATA and the fixed
// part; the scan's buffer holds 30 pipes, and a device with more is still listed.
TEST_F(PortTreeTest, DeviceWithManyOpenPipesIsListedFromTheFixedPartOfItsConnection) {
  using L = platform::NodeConnectionInformationLayout;
  const int box = RootWithBox();
  for (int pipes : {2, 30, 31}) {
    UsbDeviceSpec robot = Device(UsbDeviceKind::kAutoloader, box, pipes == 2 ? 1 : pipes - 28);
    robot.pipes = pipes;
    Bus().AddDevice(robot);
  }
  const platform::Handle hub = OpenHub(Bus().HubInterfacePath(box));
  std::uint8_t info[L::kBaseSize + L::kPipeInfoSize] = {};
  platform::PutU32(info, L::kConnectionIndex, 1);
  std::uint32_t returned = 0;
  EXPECT_FALSE(
      platform::ThePlatform().DeviceIoControl(hub, platform::kIoctlUsbGetNodeConnectionInformation,
                                              info, sizeof info, info, sizeof info, &returned));
  EXPECT_EQ(platform::ThePlatform().GetLastError(),
            static_cast<std::uint32_t>(platform::kErrorMoreData));
  EXPECT_EQ(returned, sizeof info);
  EXPECT_EQ(platform::GetU32(info, L::kNumberOfOpenPipes), 2u);
  EXPECT_TRUE(ReadConnectionInformation(hub, 1, info));
  EXPECT_FALSE(ReadConnectionInformation(hub, 9, info));  // no such port: refused outright
  platform::ThePlatform().CloseHandle(hub);

  Scan();
  std::vector<int> ports;
  for (const PortInfo& p : Ports()) ports.push_back(p.PortNumber);
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(ports, (std::vector<int>{1, 2, 3}));
}

// A drive or hub that does not open is logged once with the system's text, not at every scan;
// once it has opened, a later refusal is logged again.
TEST_F(PortTreeTest, RefusedDriveAndHubAreLoggedOnceWithTheSystemsText) {
  CreateLogLines();
  const int box = RootWithBox();
  Bus().AddDevice(Device(UsbDeviceKind::kAutoloader, box, 1));
  UsbDeviceSpec drive = Device(UsbDeviceKind::kCdRom, box, 2, 0x0E8D, 0x1887);
  drive.letter = 'E';
  Bus().AddDevice(drive);
  const std::string hubPath = Bus().HubInterfacePath(box);
  sim.refused = {R"(\\.\E:)", hubPath};
  Scan();
  Scan();
  const std::vector<std::string> refusals = {
      "Hub " + hubPath + " cannot be opened: Access is denied.",
      "Drive E: cannot be opened: Access is denied."};
  EXPECT_EQ(Messages(), refusals);
  EXPECT_EQ(DriveHandles['E' - 'A'].load(), platform::kInvalidHandle);
  EXPECT_EQ(HubNodeCount(), 0);

  sim.refused.clear();
  Scan();  // both open now
  EXPECT_EQ(HubNodeCount(), 1);
  EXPECT_NE(DriveHandles['E' - 'A'].load(), platform::kInvalidHandle);
  sim.refused = {hubPath};
  Scan();
  std::vector<std::string> expected = refusals;
  expected.push_back("Hub " + hubPath + " cannot be opened: Access is denied.");
  EXPECT_EQ(Messages(), expected);
  ReleaseLogLines();
}

// A refused registration is logged once and not asked again: asking again would empty every
// drive slot at each scan, under a running worker too.
TEST_F(PortTreeTest, RefusedRegistrationIsLoggedOnceAndLeavesTheDriveSlotsAlone) {
  CreateLogLines();
  RootWithBox();
  sim.refuseRegistration = true;
  Scan();
  const platform::Handle held = sim.CreateEventA(true, false);  // stands for an open drive
  DriveHandles['E' - 'A'].store(held);
  Scan();
  Scan();
  EXPECT_EQ(sim.registrations, 1);
  EXPECT_EQ(DriveHandles['E' - 'A'].load(), held);
  EXPECT_EQ(Messages(),
            std::vector<std::string>{"Cannot register for device changes: Access is denied."});
  CloseAllDevices();  // closes the slot
  EXPECT_EQ(DriveHandles['E' - 'A'].load(), platform::kInvalidHandle);
  sim.refuseRegistration = false;
  Scan();  // a new session of the tree asks again
  EXPECT_EQ(sim.registrations, 2);
  ReleaseLogLines();
}

// --- Instance ids across scans (the console on a bench) -----------------------------------------

using PortTreeBenchTest = DiscoveryFixture;

std::string TwoBoxBench(const std::string& units) {
  return R"({"hubs": [{"id": "pc", "ports": 4}, {"id": "a", "parent": "pc", "port": 1},
                      {"id": "b", "parent": "pc", "port": 2}],
             "units": [)" +
         units + R"(], "devices": [{"kind": "other", "hub": "pc", "port": 4, "present": false}]})";
}

// The statuses of the autoloader interfaces, node by node.
std::vector<std::string> StatusTexts() {
  std::vector<std::string> texts;
  for (int n = 0; n < HubNodeCount(); ++n) {
    SelectHubNode(n);
    for (int i = 0; i < PortEntryCount(); ++i) {
      const std::string text = PortStatusText(i);
      if (text[0] == 'A') texts.push_back(text);
    }
  }
  return texts;
}

class SerialKeyTest : public DiscoveryFixture,
                      public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(SerialKeyTest, DeviceKeepsItsStatusWhenTheTreeIsScannedAgain) {
  UseBench(TwoBoxBench(std::string(R"({"model": "ZP61", "hub": "a", "port": 1, "serial": ")") +
                       GetParam().first + "\"}"));
  StartProgram();
  const std::vector<std::string> before = StatusTexts();
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before[0], std::string("A0011vid_1723&pid_0903#") + GetParam().second + "#");
  bench->Plug(static_cast<int>(bench->Model().devices.size()) - 1);  // any arrival
  DeliverMessages();
  EXPECT_EQ(StatusTexts(), before);
  ASSERT_EQ(DeviceList.size(), 1u);
  EXPECT_EQ(Entry(0).Link1Flag.load(), kFlagOpen);
}

INSTANTIATE_TEST_SUITE_P(Serials, SerialKeyTest,
                         ::testing::Values(std::make_pair("Ab 12CD", "ab_12cd"),
                                           std::make_pair("zp61a0001", "zp61a0001"),
                                           std::make_pair("Z#1", "z#1"),
                                           // a key longer than the room kept in the entry
                                           std::make_pair("SerialNumber-0123456789-ABCDEF",
                                                          "serialnumber-0123456789-abcdef")),
                         NameBy(&std::pair<const char*, const char*>::first));

TEST_F(PortTreeBenchTest, SecondDeviceWithTheSameSerialIsNamedByItsHubAndPort) {
  UseBench(TwoBoxBench(R"({"model": "ZP61", "hub": "a", "port": 1, "serial": "DUP"},
                          {"model": "ZP61", "hub": "b", "port": 1, "serial": "DUP"})"));
  StartProgram();
  const std::string second = "A0011vid_1723&pid_0903#" + *sim_.Usb().HubPrefix(2) + "&1#";
  EXPECT_EQ(StatusTexts(), (std::vector<std::string>{"A0011vid_1723&pid_0903#dup#", second}));
  EXPECT_EQ(ComboItems(), (std::vector<std::string>{"[0] ZP61 (DUP)", "[1] ZP61 (DUP)"}));
  bench->Plug(static_cast<int>(bench->Model().devices.size()) - 1);
  DeliverMessages();
  EXPECT_EQ(StatusTexts(), (std::vector<std::string>{"A0011vid_1723&pid_0903#dup#", second}));
  EXPECT_EQ(DeviceList.size(), 2u);
  // Each leaves and comes back in turn: the one back finds the serial free or taken as the
  // other's entry says, never as its own earlier entry said.
  const std::vector<std::string> both{second, "A0011vid_1723&pid_0903#dup#"};
  bench->UnplugUnit(0);
  DeliverMessages();
  EXPECT_EQ(StatusTexts(), std::vector<std::string>{second});
  bench->Plug(bench->LinkDevice(0, 1));
  DeliverMessages();
  EXPECT_EQ(StatusTexts(), both);
  EXPECT_EQ(ComboItems(), (std::vector<std::string>{"[0] ZP61 (DUP)", "[1] ZP61 (DUP)"}));
  bench->UnplugUnit(1);
  DeliverMessages();
  EXPECT_EQ(StatusTexts(), std::vector<std::string>{both[1]});
  bench->Plug(bench->LinkDevice(1, 1));
  DeliverMessages();
  EXPECT_EQ(StatusTexts(), (std::vector<std::string>{both[1], second}));
  EXPECT_EQ(DeviceList.size(), 2u);
}

// A path holding the keys of several entries counts for the first of them in the tree: the
// path of the unit "Q#" also holds the key of "Q" on the hub before, so at the next removal
// scan "Q#" is taken for gone.
TEST_F(PortTreeBenchTest, RemovalScanCreditsAPathToTheFirstEntryInTheTreeWhoseKeyItHolds) {
  UseBench(TwoBoxBench(R"({"model": "ZP61", "hub": "a", "port": 1, "serial": "Q"},
                          {"model": "ZP61", "hub": "b", "port": 1, "serial": "Q#"},
                          {"model": "ZP61", "hub": "b", "port": 2, "serial": "R"})"));
  StartProgram();
  EXPECT_EQ(StatusTexts(),
            (std::vector<std::string>{"A0011vid_1723&pid_0903#q#", "A0012vid_1723&pid_0903#r#",
                                      "A0001vid_1723&pid_0903#q##"}));
  bench->UnplugUnit(2);
  DeliverMessages();
  EXPECT_EQ(StatusTexts(), std::vector<std::string>{"A0011vid_1723&pid_0903#q#"});
  EXPECT_EQ(ComboItems(), std::vector<std::string>{"[0] ZP61 (Q)"});
}

// --- The USB 3.0 section of the log
// ---------------------------------------------------------------

TEST_F(PortTreeBenchTest, RunLogShowsThePortTreeAndWhatHangsBelowTheUsb3RootHub) {
  UseBench(platform::sim::DemoBenchText());
  StartProgram();
  const std::size_t before = LogMessages().size();
  LogUsb3Topology();
  std::vector<std::string> lines = LogMessages();
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
  const auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_EQ(lines.front(), "VID_0E8D&PID_1806 : VELTRANE DVD-RW USB Device");  // drive G
  EXPECT_EQ(lines[1], kLogSeparator);
  EXPECT_TRUE(has("VID_1723&PID_0935 : TM36K"));
  EXPECT_TRUE(has("VID_04F9&PID_2042 : TM36K Disc Printer"));
  const auto find =
      std::find(lines.begin(), lines.end(), "---------- Find USB 3.0 HUB / Device ----------");
  ASSERT_NE(find, lines.end());
  EXPECT_EQ(*(find + 1), "HUB : " + sim_.Usb().HubInterfacePath(1).substr(4));
  EXPECT_EQ(*(find + 2), "HUB : " + sim_.Usb().HubInterfacePath(6).substr(4));  // hv22-usb3-box
  EXPECT_EQ(*(find + 3), "Device : USB#VID_0E8D&PID_1806#2  USB Mass Storage Device");
  EXPECT_TRUE(has("Device : USB#VID_1723&PID_0945#1  HV22"));
  EXPECT_EQ(lines.back(), "---------- End Find USB 3.0 HUB / Device ----------");
}

}  // namespace
