// The device list as the operator sees it after start-up and device changes: which autoloaders
// are listed, under which names, with which printer, HV22 part and drives.
#include <gtest/gtest.h>

#include <cstdio>

#include "CaseNames.h"
#include "DiscoveryFixture.h"
#include "device/CommandLink.h"
#include "device/Discovery.h"
#include "device/Drives.h"
#include "platform/sim/bench/DemoBench.h"

namespace {

using DiscoveryTest = DiscoveryFixture;

// A bench with a PC root hub of 8 ports and the hubs, units and other devices given (JSON).
std::string Bench(const std::string& hubs, const std::string& units,
                  const std::string& devices = "") {
  return R"({"hubs": [{"id": "pc", "ports": 8})" + (hubs.empty() ? "" : ", " + hubs) +
         R"(], "units": [)" + units + R"(], "devices": [)" + devices + "]}";
}

TEST_F(DiscoveryTest, DemoBenchListsEveryUnitWithItsPartsInDiscoveryOrder) {
  UseBench(platform::sim::DemoBenchText());
  StartProgram();
  EXPECT_EQ(ComboItems(),
            (std::vector<std::string>{
                "[0] TM36K (TK36K0001)", "[1] TM36P (TP36P0001)", "[2] HV22 (HV22A0001)",
                "[3] HV22 (HV22B0001)", "[4] LQ40 (LQ40A0001)", "[5] ZP61 (ZP61A0001)",
                "[6] ZP65 (ZP65A0001)", "[7] ZP71 (ZP71A0001)", "[8] ZP75 (ZP75A0001)"}));
  ASSERT_EQ(DeviceList.size(), 9u);
  EXPECT_EQ(Entry(0).GetPrinterName(), "TM36K Disc Printer");
  EXPECT_EQ(Entry(0).PrinterPort.load(), 3);
  EXPECT_EQ(Entry(1).GetPrinterName(), "TM36P Disc Printer");
  EXPECT_EQ(Entry(1).Link2Flag.load(), kFlagOpen);  // its HV22 part
  EXPECT_EQ(Entry(1).HvPort.load(), 2);
  EXPECT_EQ(Entry(1).DriveLetter1.load(), 'E');
  EXPECT_EQ(Entry(2).DriveLetter1.load(), 'F');
  // The PID_0945 unit's drive hangs on the USB 3.0 root hub: found by association.
  EXPECT_EQ(Entry(3).DriveLetter1.load(), 'G');
  EXPECT_EQ(Entry(3).Usb3Connection.load(), 1);
  EXPECT_EQ(Entry(2).Usb3Connection.load(), 0);
  EXPECT_EQ(Entry(4).DriveLetter1.load(), 'H');
  const char zpDrives[4][2] = {{'I', 'J'}, {'K', 'L'}, {'M', 'N'}, {'O', 'P'}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Entry(5 + i).DriveCount.load(), 2);
    EXPECT_EQ(Entry(5 + i).DriveLetter1.load(), zpDrives[i][0]);
    EXPECT_EQ(Entry(5 + i).DriveLetter2.load(), zpDrives[i][1]);
  }
  EXPECT_EQ(SelectedDevice, &Entry(0));
  EXPECT_TRUE(form().Button1.Enabled());
}

// --- Naming --------------------------------------------------------------------------------------

struct NamingCase {
  const char* unit;
  bool withoutDeviceDesc;
  const char* shown;
};

class NamingTest : public DiscoveryFixture, public ::testing::WithParamInterface<NamingCase> {};

TEST_P(NamingTest, ComboShowsTheModelNameAndTheThirdIdentificationField) {
  const NamingCase& c = GetParam();
  UseBench(Bench(R"({"id": "box", "parent": "pc", "port": 1})",
                 std::string(R"({"hub": "box", "port": 1, )") + c.unit + "}"));
  if (c.withoutDeviceDesc) {
    const std::string key = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1723&PID_0903\\" +
                            sim_.Usb().DeviceInstanceId(LinkDevice(0));
    ASSERT_TRUE(sim_.Registry().DeleteValue(key, "DeviceDesc"));
  }
  StartProgram();
  EXPECT_EQ(ComboItems(), std::vector<std::string>{c.shown});
}

INSTANTIATE_TEST_SUITE_P(
    Identification, NamingTest,
    ::testing::Values(
        NamingCase{R"("model": "TM36K", "firmware": "RM82C V9", "serial": "K7")", false,
                   "[0] TM36K (K7)"},
        NamingCase{R"("model": "TM36K", "serial": "K7", "faults": [{"kind": "reply",
                       "command": "AT+?", "chunks": ["RM83P V1", "S0", "P7", "OK AT+O"]}])",
                   false, "[0] TM36P (P7)"},  // the identification decides, not the model
        NamingCase{R"("model": "TM36K", "serial": null)", false, "[0] TM36K"},
        NamingCase{R"("model": "ZP61", "description": "Disc Robot", "serial": "Z1")", false,
                   "[0] Disc Robot (Z1)"},
        NamingCase{R"("model": "ZP61", "serial": "Z1")", true, "[0] NoDeviceDesc (Z1)"},
        // Characters no instance id holds: the system puts "_" for them in the id, and the
        // unit is still found (under that id, not under its serial).
        NamingCase{R"("model": "ZP61", "serial": "A,B")", false, "[0] ZP61 (A,B)"},
        NamingCase{R"("model": "ZP61", "serial": "A\\B")", false, "[0] ZP61 (A\\B)"},
        NamingCase{R"("model": "TM36K", "serial": "K 7")", false, "[0] TM36K (K 7)"}),
    // "A,B" and "A\B" read alike as names: the row number keeps them apart.
    [](const auto& info) { return CaseName(info.param.shown) + "_" + std::to_string(info.index); });

// --- Relations ----------------------------------------------------------------------------------

TEST_F(DiscoveryTest, TwoPrintersOnATm36HubLeaveItWithoutAPrinter) {
  UseBench(Bench(R"({"id": "box", "parent": "pc", "port": 1})",
                 R"({"model": "TM36K", "hub": "box", "port": 1,
                     "printer": {"port": 3, "queue": "Disc Printer"}})",
                 R"({"kind": "printer", "hub": "box", "port": 4, "queue": "Office",
                     "present": false})"));
  StartProgram();
  EXPECT_EQ(Entry(0).GetPrinterName(), "Disc Printer");
  EXPECT_EQ(Entry(0).Claim1Flag.load(), kFlagOpen);

  bench->Plug(static_cast<int>(bench->Model().devices.size()) - 1);  // the office printer
  DeliverMessages();
  EXPECT_EQ(Entry(0).PrinterCount.load(), 2);
  EXPECT_EQ(Entry(0).GetPrinterName(), "");
  EXPECT_EQ(Entry(0).PrinterPort.load(), 0);
  EXPECT_EQ(Entry(0).Claim1Flag.load(), kFlagClosed);
  EXPECT_EQ(Entry(0).Link1Flag.load(), kFlagOpen);
}

// The printer was claimed before its queue existed: once the queue is installed, the next
// rebuild names it, so the print job of the run reaches it.
TEST_F(DiscoveryTest, PrinterClaimedWithoutAQueueIsNamedByItsQueueAtTheNextRebuild) {
  UseBench(Bench(R"({"id": "box", "parent": "pc", "port": 1})",
                 R"({"model": "TM36K", "hub": "box", "port": 1,
                     "printer": {"port": 3, "queue": null}})"));
  StartProgram();
  ASSERT_EQ(Entry(0).GetPrinterName(), "No Install Software");
  // The spooler installs the queue: its PnPData names the printer's device by its prefix.
  std::string prefix;
  const std::string usb = "SYSTEM\\CurrentControlSet\\Enum\\USB";
  platform::Handle root = platform::kInvalidHandle;
  ASSERT_EQ(sim_.Registry().OpenKey(usb.c_str(), &root), 0);
  char device[200];
  for (std::uint32_t d = 0;
       prefix.empty() && sim_.Registry().EnumKey(root, d, device, sizeof device) == 0; ++d) {
    platform::Handle devKey = platform::kInvalidHandle;
    ASSERT_EQ(sim_.Registry().OpenKey((usb + "\\" + device).c_str(), &devKey), 0);
    char instance[200];
    for (std::uint32_t i = 0; sim_.Registry().EnumKey(devKey, i, instance, sizeof instance) == 0;
         ++i) {
      const std::string key = usb + "\\" + device + "\\" + instance;
      platform::Handle k = platform::kInvalidHandle;
      ASSERT_EQ(sim_.Registry().OpenKey(key.c_str(), &k), 0);
      char text[100] = {};
      std::uint32_t size = sizeof text - 1;
      std::uint32_t type = 0;
      const bool printer =
          sim_.Registry().QueryValue(k, "Service", &type, reinterpret_cast<std::uint8_t*>(text),
                                     &size) == 0 &&
          std::string(text) == "usbprint";
      size = sizeof text - 1;
      std::fill(std::begin(text), std::end(text), '\0');
      if (printer &&
          sim_.Registry().QueryValue(k, "ParentIdPrefix", &type,
                                     reinterpret_cast<std::uint8_t*>(text), &size) == 0) {
        prefix = text;
      }
      sim_.Registry().CloseKey(k);
    }
    sim_.Registry().CloseKey(devKey);
  }
  sim_.Registry().CloseKey(root);
  ASSERT_FALSE(prefix.empty());
  const std::string queue = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Disc Printer";
  sim_.Registry().SetString(queue, "Name", "Disc Printer");
  sim_.Registry().SetString(queue + "\\PnPData", "DeviceInstanceId",
                            "USBPRINT\\DISC\\" + prefix + "&0&USB001");

  form().OnDeviceChange(ui::kDbtDeviceArrival);  // any arrival: the next rebuild
  EXPECT_EQ(Entry(0).GetPrinterName(), "Disc Printer");
  EXPECT_EQ(Entry(0).PrinterPort.load(), 3);

  // Each rebuild reads the queues as they are now, whatever the last one learnt: a queue of
  // another device added ahead of it in enumeration order, then the printer's queue renamed,
  // then the other queue gone; then a queue ahead of it whose name is longer than the listing's
  // buffer, which the listing passes over and goes on.
  const std::string printers = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
  struct Step {
    const char* add;
    const char* id;
    const char* remove;
    const char* named;
  };
  const std::string ownId = "USBPRINT\\DISC\\" + prefix + "&0&USB001";
  const std::string longQueue = "B " + std::string(100, 'L');
  const Step steps[] = {
      {"A Other Queue", "USBPRINT\\OTHER\\9&99&0&USB009", nullptr, "Disc Printer"},
      {"Disc Renamed", ownId.c_str(), "Disc Printer", "Disc Renamed"},
      {nullptr, nullptr, "A Other Queue", "Disc Renamed"},
      {longQueue.c_str(), "USBPRINT\\OTHER\\9&99&0&USB009", nullptr, "Disc Renamed"},
  };
  for (const Step& step : steps) {
    if (step.remove) {
      ASSERT_TRUE(sim_.Registry().DeleteKey(printers + step.remove));
    }
    if (step.add) {
      sim_.Registry().SetString(printers + step.add + "\\PnPData", "DeviceInstanceId", step.id);
    }
    form().OnDeviceChange(ui::kDbtDeviceArrival);
    EXPECT_EQ(Entry(0).GetPrinterName(), step.named);
  }
}

TEST_F(DiscoveryTest, AutoloaderOnAHigherPortStillLeadsItsHubNodeAndGetsThePrinter) {
  UseBench(Bench(R"({"id": "box", "parent": "pc", "port": 1})",
                 R"({"model": "TM36K", "hub": "box", "port": 4,
                     "printer": {"port": 1, "queue": "Disc Printer"}})"));
  StartProgram();
  ASSERT_EQ(HubNodeCount(), 1);
  ASSERT_TRUE(SelectHubNode(0));
  PortInfo first, second;
  ASSERT_TRUE(GetPortEntry(0, first));
  ASSERT_TRUE(GetPortEntry(1, second));
  EXPECT_EQ(first.PortKind, 'A');
  EXPECT_EQ(first.PortNumber, 4);
  EXPECT_EQ(second.PortKind, 'P');
  EXPECT_EQ(Entry(0).GetPrinterName(), "Disc Printer");
  EXPECT_EQ(Entry(0).PrinterPort.load(), 1);
}

TEST_F(DiscoveryTest, FirstTwoDrivesMetOnAZpHubAreItsDrivesAndAThirdIsIgnored) {
  UseBench(Bench(R"({"id": "box", "parent": "pc", "port": 1})",
                 R"({"model": "ZP61", "hub": "box", "port": 1,
                     "drives": [{"letter": "I", "port": 3}, {"letter": "J", "port": 4}]})",
                 R"({"kind": "cdrom", "hub": "box", "port": 2, "letter": "Q"})"));
  StartProgram();
  EXPECT_EQ(Entry(0).DriveCount.load(), 2);
  EXPECT_EQ(Entry(0).DriveLetter1.load(), 'Q');
  EXPECT_EQ(Entry(0).DriveLetter2.load(), 'I');
  ASSERT_TRUE(SelectHubNode(0));
  PortInfo j;
  ASSERT_TRUE(GetPortEntry(3, j));
  EXPECT_EQ(j.PortLetter, 'J');
  EXPECT_FALSE(j.PortOpen);
}

TEST_F(DiscoveryTest, ArrivalWithoutANewAutoloaderClaimsButLeavesTheListUnchanged) {
  UseBench(Bench(
      R"({"id": "box", "parent": "pc", "port": 1}, {"id": "box2", "parent": "pc", "port": 2})",
      R"({"model": "ZP61", "hub": "box", "port": 1, "serial": "Z1",
                     "drives": [{"letter": "I", "port": 2}, {"letter": "J", "port": 3, "present": false}]},
                    {"model": "HV22", "hub": "box2", "port": 1, "serial": "H1", "present": false})"));
  StartProgram();
  EXPECT_EQ(Entry(0).DriveCount.load(), 1);

  bench->Plug(DeviceAt('J'));
  DeliverMessages();
  EXPECT_FALSE(form().Discovery().ListChanged);
  EXPECT_EQ(Entry(0).DriveLetter2.load(), 'J');
  EXPECT_EQ(ComboItems(), std::vector<std::string>{"[0] ZP61 (Z1)"});

  bench->Plug(LinkDevice(1));
  DeliverMessages();
  EXPECT_TRUE(form().Discovery().ListChanged);
  EXPECT_EQ(ComboItems(), (std::vector<std::string>{"[0] ZP61 (Z1)", "[1] HV22 (H1)"}));
}

constexpr const char* kTm36pHubs =
    R"({"id": "tp-box", "parent": "pc", "port": 1}, {"id": "tp-hv", "parent": "tp-box", "port": 2},
       {"id": "tp-extra", "parent": "tp-box", "port": 4})";
constexpr const char* kTm36p =
    R"({"model": "TM36P", "serial": "P1", "hub": "tp-box", "port": 1,
        "printer": {"port": 3, "queue": "Disc Printer"},
        "hv22": {"hub": "tp-hv", "port": 1}, "drives": [{"letter": "E", "port": 2}]})";

TEST_F(DiscoveryTest, SecondHv22BelowATm36pClosesItsLink2AndDrive) {
  UseBench(Bench(kTm36pHubs, std::string(kTm36p) + R"(,
      {"model": "HV22", "serial": "H2", "hub": "tp-extra", "port": 1, "present": false})"));
  StartProgram();
  EXPECT_EQ(Entry(0).Link2Flag.load(), kFlagOpen);
  EXPECT_EQ(Entry(0).DriveLetter1.load(), 'E');

  bench->Plug(LinkDevice(1));
  DeliverMessages();
  ASSERT_EQ(DeviceList.size(), 1u);  // the second HV22 is no autoloader of its own
  EXPECT_EQ(Entry(0).HvCount.load(), 2);
  EXPECT_EQ(Entry(0).Link2Flag.load(), kFlagClosed);
  EXPECT_EQ(Entry(0).Link2Read.load(), platform::kInvalidHandle);
  EXPECT_EQ(Entry(0).HvPort.load(), 0);
  EXPECT_EQ(Entry(0).DriveCount.load(), 0);
  EXPECT_EQ(Entry(0).DriveLetter1.load(), 0);

  // The released HV22 part leaves: the removal recounts, and the HV22 that stays is now the only
  // one below the TM36P, so it becomes its part.
  bench->Unplug(LinkDevice(0, 2));
  DeliverMessages();
  EXPECT_EQ(Entry(0).HvCount.load(), 1);
  EXPECT_EQ(Entry(0).Link2Flag.load(), kFlagOpen);
  EXPECT_EQ(Entry(0).Link1Flag.load(), kFlagOpen);
}

TEST_F(DiscoveryTest, Hv22BelowATm36kIsAnAutoloaderOfItsOwn) {
  UseBench(Bench(R"({"id": "tk-box", "parent": "pc", "port": 1},
                    {"id": "tk-sub", "parent": "tk-box", "port": 2})",
                 R"({"model": "TM36K", "serial": "K1", "hub": "tk-box", "port": 1},
                    {"model": "HV22", "serial": "H1", "hub": "tk-sub", "port": 1})"));
  StartProgram();
  EXPECT_EQ(ComboItems(), (std::vector<std::string>{"[0] TM36K (K1)", "[1] HV22 (H1)"}));
  EXPECT_EQ(Entry(0).Link2Flag.load(), kFlagClosed);
}

TEST_F(DiscoveryTest, AutoloaderOnAHubBelowAZpsHubGetsNoEntry) {
  UseBench(Bench(R"({"id": "zp-box", "parent": "pc", "port": 1},
                    {"id": "zp-sub", "parent": "zp-box", "port": 4})",
                 R"({"model": "ZP61", "serial": "Z1", "hub": "zp-box", "port": 1},
                    {"model": "HV22", "serial": "H1", "hub": "zp-sub", "port": 1})"));
  StartProgram();
  EXPECT_EQ(ComboItems(), std::vector<std::string>{"[0] ZP61 (Z1)"});
}

TEST_F(DiscoveryTest, Lq40ThatNeverIdentifiesGetsNoEntryAndIsAskedAgainLater) {
  UseBench(
      Bench(R"({"id": "lq", "parent": "pc", "port": 1}, {"id": "zp", "parent": "pc", "port": 2})",
            R"({"model": "LQ40", "serial": "L1", "hub": "lq", "port": 1,
                     "faults": [{"kind": "reply", "command": "LQ40_CMD[1]", "times": 0,
                                 "chunks": ["LQ40", "V1", "OK AT+O"]}]},
                    {"model": "ZP61", "serial": "Z1", "hub": "zp", "port": 1},
                    {"model": "HV22", "serial": "H1", "hub": "zp", "port": 3, "present": false})"));
  StartProgram();
  EXPECT_EQ(ComboItems(), std::vector<std::string>{"[0] ZP61 (Z1)"});
  const std::size_t asked = bench->CommandLog(0).size();
  EXPECT_GT(asked, 0u);

  bench->Plug(LinkDevice(2));  // any arrival
  DeliverMessages();
  EXPECT_GT(bench->CommandLog(0).size(), asked);
  EXPECT_EQ(DeviceList.size(), 1u);
}

// --- Many hubs
// ------------------------------------------------------------------------------------

// 24 boxes on two root hubs of 15 ports, each a hub with a unit on port 1 and its part on port
// 2: even boxes a TM36K with its printer (queue "Q<box>", box 4's installed without a queue),
// odd ones a ZP61 with a drive (letters from D up). Box 5's serial holds a "#"; boxes 7 and 9
// share theirs.
constexpr int kBoxes = 24;

std::string BoxSerial(int box) {
  return box == 5 ? "U#5" : box == 7 || box == 9 ? "TWIN" : "U" + std::to_string(box);
}

std::string ManyHubsBench() {
  std::string hubs = R"({"id": "r0", "ports": 15}, {"id": "r1", "ports": 15})";
  std::string units;
  for (int box = 0; box < kBoxes; ++box) {
    const std::string id = "b" + std::to_string(box);
    hubs += R"(, {"id": ")" + id + R"(", "parent": "r)" + std::to_string(box / 15) +
            R"(", "port": )" + std::to_string(box % 15 + 1) + "}";
    std::string part;
    if (box % 2 == 0) {
      const std::string queue = box == 4 ? "null" : "\"Q" + std::to_string(box) + "\"";
      part = R"("model": "TM36K", "printer": {"port": 2, "queue": )" + queue + "}";
    } else {
      part = R"("model": "ZP61", "drives": [{"port": 2, "letter": ")" +
             std::string(1, static_cast<char>('D' + box / 2)) + "\"}]";
    }
    units.append(box == 0 ? "" : ", ").append("{").append(part);
    units.append(R"(, "serial": ")").append(BoxSerial(box));
    units.append(R"(", "hub": ")").append(id).append(R"(", "port": 1})");
  }
  return R"({"hubs": [)" + hubs + R"(], "units": [)" + units + "]}";
}

// What box `box`'s entry shows in the combo at `index`.
std::string BoxItem(int index, int box) {
  return "[" + std::to_string(index) + "] " + (box % 2 == 0 ? "TM36K" : "ZP61") + " (" +
         BoxSerial(box) + ")";
}

// The entry of box `box` has its link open and its own printer or drive.
void ExpectBoxParts(const DeviceEntry& entry, int box) {
  SCOPED_TRACE("box " + std::to_string(box));
  EXPECT_EQ(entry.Link1Flag.load(), kFlagOpen);
  if (box % 2 == 0) {
    EXPECT_EQ(entry.GetPrinterName(), box == 4 ? "No Install Software" : "Q" + std::to_string(box));
    EXPECT_EQ(entry.PrinterPort.load(), 2);
  } else {
    EXPECT_EQ(entry.DriveCount.load(), 1);
    EXPECT_EQ(entry.DriveLetter1.load(), static_cast<char>('D' + box / 2));
  }
}

TEST_F(DiscoveryTest, ManyHubsListEveryUnitInHubOrderWithItsOwnPrinterOrDrive) {
  UseBench(ManyHubsBench());
  StartProgram();
  std::vector<std::string> items(kBoxes);
  for (int box = 0; box < kBoxes; ++box) items[static_cast<std::size_t>(box)] = BoxItem(box, box);
  ASSERT_EQ(ComboItems(), items);
  for (int box = 0; box < kBoxes; ++box) ExpectBoxParts(Entry(box), box);

  // The second "TWIN" leaves: only its entry goes, the "#" serial's unit among those staying.
  const char letter = static_cast<char>('D' + 9 / 2);
  bench->UnplugUnit(9);
  bench->Unplug(DeviceAt(letter));
  DeliverMessages();
  std::vector<int> boxes;
  for (int box = 0; box < kBoxes; ++box) {
    if (box != 9) boxes.push_back(box);
  }
  items.clear();
  for (std::size_t i = 0; i < boxes.size(); ++i)
    items.push_back(BoxItem(static_cast<int>(i), boxes[i]));
  EXPECT_EQ(ComboItems(), items);
  for (std::size_t i = 0; i < boxes.size(); ++i) ExpectBoxParts(Entry(i), boxes[i]);

  // Back again, it comes last, with its drive.
  bench->Plug(DeviceAt(letter));
  bench->Plug(LinkDevice(9));
  DeliverMessages();
  boxes.push_back(9);
  items.push_back(BoxItem(kBoxes - 1, 9));
  EXPECT_EQ(ComboItems(), items);
  for (std::size_t i = 0; i < boxes.size(); ++i) ExpectBoxParts(Entry(i), boxes[i]);
}

// --- Removals ----------------------------------------------------------------------------------

constexpr const char* kTwoUnits =
    R"({"model": "ZP61", "serial": "Z1", "hub": "box", "port": 1,
        "drives": [{"letter": "I", "port": 2}, {"letter": "J", "port": 3}]},
       {"model": "TM36K", "serial": "K1", "hub": "box2", "port": 1,
        "printer": {"port": 2, "queue": "Disc Printer"}})";
constexpr const char* kTwoBoxes =
    R"({"id": "box", "parent": "pc", "port": 1}, {"id": "box2", "parent": "pc", "port": 2})";

TEST_F(DiscoveryTest, RemovedPrinterIsClearedAndClaimedAgainWhenBack) {
  UseBench(Bench(kTwoBoxes, kTwoUnits));
  StartProgram();
  const int printer = bench->Model().units[1].printer;
  bench->Unplug(printer);
  DeliverMessages();
  EXPECT_EQ(Entry(1).GetPrinterName(), "");
  EXPECT_EQ(Entry(1).PrinterPort.load(), 0);
  EXPECT_EQ(Entry(1).Claim1Flag.load(), kFlagClosed);
  EXPECT_EQ(Entry(1).Link1Flag.load(), kFlagOpen);
  EXPECT_EQ(ComboItems().size(), 2u);

  bench->Plug(printer);
  DeliverMessages();
  EXPECT_EQ(Entry(1).GetPrinterName(), "Disc Printer");
}

TEST_F(DiscoveryTest, RemovedDriveLeavesTheUnitWithOneDriveAndNoTrayHandle) {
  UseBench(Bench(kTwoBoxes, kTwoUnits));
  StartProgram();
  EXPECT_TRUE(MoveDriveTray('J', true));
  bench->Unplug(DeviceAt('J'));
  DeliverMessages();
  EXPECT_EQ(Entry(0).DriveCount.load(), 1);
  EXPECT_EQ(Entry(0).DriveLetter1.load(), 'I');
  EXPECT_EQ(Entry(0).DriveLetter2.load(), 0);
  EXPECT_EQ(DriveHandles['J' - 'A'].load(), platform::kInvalidHandle);
  EXPECT_FALSE(MoveDriveTray('J', false));
}

TEST_F(DiscoveryTest, UnitRemovedWhileIdleLeavesTheList) {
  UseBench(Bench(kTwoBoxes, kTwoUnits));
  StartProgram();
  for (int d : {LinkDevice(0), DeviceAt('I'), DeviceAt('J')}) bench->Unplug(d);
  DeliverMessages();
  EXPECT_EQ(ComboItems(), std::vector<std::string>{"[0] TM36K (K1)"});
  EXPECT_EQ(SelectedDevice, &Entry(0));
  EXPECT_EQ(HubNodeCount(), 1);
}

TEST_F(DiscoveryTest, UnitRemovedDuringItsRunLeavesTheListButNotTheWorker) {
  UseBench(Bench(kTwoBoxes, kTwoUnits));
  StartProgram();
  std::string seenModel;
  handlers[0] = [&](ScriptedWorker& w) {
    bench->UnplugUnit(0);  // from the worker's thread, as a scripted unplug fires
    // The removal reaches the window as a message; the worker goes on until the link closes.
    for (int i = 0; i < 1000 && w.Device()->Link1Flag.load() == kFlagOpen; ++i) {
      platform::PauseOn(PauseEvent, 10);
    }
    seenModel = w.Device()->ModelName;
    w.RunActive = false;
  };
  for (int d : {DeviceAt('I'), DeviceAt('J')}) bench->Unplug(d);
  DeliverMessages();
  RunToEnd();
  EXPECT_EQ(seenModel, "ZP61 (Z1)");
  EXPECT_EQ(ComboItems(), std::vector<std::string>{"[0] TM36K (K1)"});
  EXPECT_EQ(SelectedDevice, &Entry(0));
}

// Windows asks before it removes a device the program holds open ("Safely remove", Eject): the
// window's handler closes the handle so that the removal can go on. The drive's tray then moves
// no more; the unit under test fails its next command as a departed one and leaves the list when
// the removal completes, while the other unit is untouched.
TEST_F(DiscoveryTest, QueryToRemoveReleasesTheHandleAndTheRunMeetsADepartedUnit) {
  UseBench(Bench(kTwoBoxes, kTwoUnits));
  StartProgram();
  const std::size_t openAtStart = sim_.OpenHandleCount();
  const platform::Handle drive = DriveHandles['J' - 'A'].load();
  ASSERT_NE(drive, platform::kInvalidHandle);
  form().onHandleQueryRemove(drive);
  EXPECT_EQ(DriveHandles['J' - 'A'].load(), platform::kInvalidHandle);
  EXPECT_EQ(sim_.OpenHandleCount(), openAtStart - 1);
  EXPECT_FALSE(MoveDriveTray('J', true));
  form().onHandleQueryRemove(drive);  // asked again (or for a handle it never had): nothing
  EXPECT_EQ(sim_.OpenHandleCount(), openAtStart - 1);

  bool answeredBefore = false;
  bool answeredAfter = true;
  handlers[0] = [&](ScriptedWorker& w) {
    answeredBefore = bool(SendCommand(w.Channel(), StatusQuery, 1));
    const platform::Handle pipe = w.Device()->Link1Read.load();
    ui::TheToolkit().Invoke([&] { form().onHandleQueryRemove(pipe); });  // as the window gets it
    answeredAfter = bool(SendCommand(w.Channel(), StatusQuery, 1));
    w.RunActive = false;
  };
  RunToEnd();
  EXPECT_TRUE(answeredBefore);
  EXPECT_FALSE(answeredAfter);
  EXPECT_EQ(Entry(0).Link1Read.load(), platform::kInvalidHandle);
  EXPECT_EQ(Entry(0).Link1Write.load(), platform::kInvalidHandle);
  EXPECT_EQ(Entry(1).Link1Flag.load(), kFlagOpen);
  EXPECT_EQ(sim_.OpenHandleCount(), openAtStart - 3);
  for (int d : {LinkDevice(0), DeviceAt('I'), DeviceAt('J')}) bench->Unplug(d);
  DeliverMessages();
  EXPECT_EQ(ComboItems(), std::vector<std::string>{"[0] TM36K (K1)"});
}

// Another program refuses the removal after the query closed the handles: the drive and the
// link are opened again and work as before; a removal that went ahead leaves them closed.
TEST_F(DiscoveryTest, RefusedRemovalOpensAgainWhatItsQueryClosed) {
  UseBench(Bench(kTwoBoxes, kTwoUnits));
  StartProgram();
  const std::size_t openAtStart = sim_.OpenHandleCount();
  const platform::Handle drive = DriveHandles['J' - 'A'].load();
  const platform::Handle pipe = Entry(0).Link1Write.load();
  form().onHandleQueryRemove(drive);
  form().onHandleQueryRemove(pipe);
  EXPECT_EQ(Entry(0).Link1Flag.load(), kFlagDeparted);
  EXPECT_EQ(sim_.OpenHandleCount(), openAtStart - 3);
  form().onHandleRemoveEnded(true, drive, 0);
  form().onHandleRemoveEnded(true, pipe, 0);
  EXPECT_EQ(sim_.OpenHandleCount(), openAtStart);
  EXPECT_EQ(Entry(0).Link1Flag.load(), kFlagOpen);
  EXPECT_TRUE(MoveDriveTray('J', false));
  CommandChannel channel(&Entry(0), platform::kInvalidHandle);
  EXPECT_TRUE(SendCommand(channel, StatusQuery, 1));

  const platform::Handle reopened = DriveHandles['J' - 'A'].load();
  form().onHandleQueryRemove(reopened);
  form().onHandleRemoveEnded(false, reopened, 0);
  form().onHandleRemoveEnded(true, reopened, 0);  // already ended: nothing to open
  EXPECT_EQ(DriveHandles['J' - 'A'].load(), platform::kInvalidHandle);
}

// The cable pulled out: the removal completes without a query, and its handle notification may
// come before the device interface's. The pipes it names are closed at once, under the run that
// reads them (not when that run ends), and the unit leaves as a departed unit: its run meets a
// departed link, its result is "None", the other unit stays.
TEST_F(DiscoveryTest, RemovalWithoutAQueryClosesWhatItNamesAndTheUnitLeaves) {
  UseBench(Bench(kTwoBoxes, kTwoUnits));
  StartProgram();
  const std::size_t openAtStart = sim_.OpenHandleCount();
  bool answeredBefore = false;
  bool answeredAfter = true;
  std::size_t openAfter = 0;
  platform::Handle readAfter = 0;
  handlers[0] = [&](ScriptedWorker& w) {
    answeredBefore = bool(SendCommand(w.Channel(), StatusQuery, 1));
    const platform::Handle pipe = w.Device()->Link1Read.load();
    sim_.Usb().SetDeviceChangeSink(nullptr);  // the interface's notification has not come yet
    for (int d : {LinkDevice(0), DeviceAt('I'), DeviceAt('J')}) bench->Unplug(d);
    ui::TheToolkit().Invoke([&] { form().onHandleRemoveEnded(false, pipe, 0); });
    readAfter = w.Device()->Link1Read.load();
    openAfter = sim_.OpenHandleCount();
    answeredAfter = bool(SendCommand(w.Channel(), StatusQuery, 1));
    w.RunActive = false;
  };
  RunToEnd();
  EXPECT_TRUE(answeredBefore);
  EXPECT_FALSE(answeredAfter);
  EXPECT_EQ(readAfter, platform::kInvalidHandle);
  EXPECT_EQ(openAfter, openAtStart - 4) << "both pipes and both drives closed during the run";
  EXPECT_TRUE(form().RunEntryLeft());
  EXPECT_STREQ(form().RunResultWord(), "None");
  EXPECT_EQ(ComboItems(), std::vector<std::string>{"[0] TM36K (K1)"});
  // The same removal told again, or of a handle never watched: nothing more.
  form().onHandleRemoveEnded(false, Entry(0).Link1Read.load(), 0x77);
  EXPECT_EQ(Entry(0).Link1Flag.load(), kFlagOpen);
}

// A unit whose pipe reads never complete costs discovery one bounded wait per read, as the
// platform cancels each: discovery ends, and the unit is listed as a silent one is (a ZP61 under
// its description; an LQ40, never identified, not at all).
struct HungReadsCase {
  const char* model;
  const char* listed;  // the combo's one item
};

class HungReadsAtDiscovery : public DiscoveryFixture,
                             public ::testing::WithParamInterface<HungReadsCase> {};

TEST_P(HungReadsAtDiscovery, EndsWithinTheReadBoundsAndListsTheUnitAsASilentOne) {
  UseBench(Bench(kTwoBoxes, std::string(R"({"model": ")") + GetParam().model +
                                R"(", "serial": "U1", "hub": "box", "port": 1,
                                     "faults": [{"kind": "reads_hang"}]})"));
  const std::uint64_t startMs = sim_.Clock().NowMs();
  StartProgram();
  const std::uint64_t discoveryMs = sim_.Clock().NowMs() - startMs;
  std::printf("[ virtual  ] %s with hung reads: discovery took %.1f s virtual time\n",
              GetParam().model, static_cast<double>(discoveryMs) / 1000.0);
  EXPECT_EQ(ComboItems(), std::vector<std::string>{GetParam().listed});
  // At least one read waited out its bound; the unit took no more than its share of the rebuild
  // (both passes together), overrun by at most the read under way when the share ran out.
  EXPECT_GE(discoveryMs, platform::kDeviceIoTimeoutMs);
  EXPECT_LE(discoveryMs, kUnitDiscoveryHundredths * 10u + platform::kDeviceIoTimeoutMs + 200);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTimedLinks, HungReadsAtDiscovery,
                         ::testing::Values(HungReadsCase{"ZP61", "[0] ZP61"},
                                           HungReadsCase{"LQ40", "[No devices found]"}),
                         NameBy(&HungReadsCase::model));

}  // namespace
