// The device list as the operator sees it after start-up and device changes: which autoloaders
// are listed, under which names, with which printer, HV22 part and drives.
#include <gtest/gtest.h>

#include "DiscoveryFixture.h"
#include "platform/sim/bench/DemoBench.h"

namespace {

using DiscoveryTest = DiscoveryFixture;

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

}  // namespace
