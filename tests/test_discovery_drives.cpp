// Drive trays and the drive-letter association: the SCSI requests a tray move sends, and how an
// HV22 of product 0945 whose drive hangs elsewhere finds it by letter count or tray sensor.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "BenchSessionFixture.h"
#include "CaseNames.h"
#include "device/CommandLink.h"
#include "platform/DeviceControl.h"

namespace {

using DrivesTest = BenchSessionFixture;
using Cdb = std::array<std::uint8_t, 6>;

std::vector<Cdb> Cdbs(const std::vector<platform::sim::ScsiRecord>& requests) {
  std::vector<Cdb> cdbs;
  for (const auto& r : requests) {
    Cdb cdb;
    std::copy_n(r.header.begin() + platform::ScsiPassThroughLayout::kCdb, 6, cdb.begin());
    cdbs.push_back(cdb);
  }
  return cdbs;
}

constexpr Cdb kAllowRemoval{0x1E, 0, 0, 0, 0, 0};
constexpr Cdb kEject{0x1B, 1, 0, 0, 2, 0};
constexpr Cdb kLoad{0x1B, 1, 0, 0, 3, 0};

constexpr const char* kHv22WithDrive =
    R"({"hubs": [{"id": "pc"}, {"id": "box", "parent": "pc", "port": 1}],
  "units": [{"model": "HV22", "hub": "box", "port": 1, "drives": [{"letter": "E", "port": 2}]}]})";

TEST_F(DrivesTest, OpeningATraySendsAllowRemovalThenEjectAndClosingSendsLoad) {
  using S = platform::ScsiPassThroughLayout;
  UseBench(kHv22WithDrive);
  StartProgram();
  EXPECT_TRUE(MoveDriveTray('E', true));
  EXPECT_TRUE(bench->Drive('E')->TrayOpen());
  EXPECT_TRUE(MoveDriveTray('e', false));  // either case, the same drive
  EXPECT_FALSE(bench->Drive('E')->TrayOpen());
  const auto requests = sim_.Usb().ScsiRequests('E');
  EXPECT_EQ(Cdbs(requests), (std::vector<Cdb>{kAllowRemoval, kEject, kLoad}));
  for (const auto& r : requests) {
    const std::span<const std::uint8_t> h(r.header);
    EXPECT_EQ(platform::GetU16(h, S::kLength), 44);
    EXPECT_EQ(h[S::kPathId] | h[S::kTargetId] | h[S::kLun], 0);
    EXPECT_EQ(h[S::kCdbLength], 6);
    EXPECT_EQ(h[S::kSenseInfoLength], 32);
    EXPECT_EQ(h[S::kDataIn], 1);
    EXPECT_EQ(platform::GetU32(h, S::kDataTransferLength), 0u);
    EXPECT_EQ(platform::GetU32(h, S::kTimeOutValue), 2u);
    EXPECT_EQ(platform::GetU32(h, S::kDataBufferOffset), 0u);
    EXPECT_EQ(platform::GetU32(h, S::kSenseInfoOffset), 44u);
    EXPECT_EQ(r.inSize, 44u);
    EXPECT_EQ(r.outSize, 76u);
  }
}

TEST_F(DrivesTest, NoLetterOrNoHandleMovesNothing) {
  UseBench(kHv22WithDrive);
  StartProgram();
  EXPECT_FALSE(MoveDriveTray('1', true));
  EXPECT_FALSE(MoveDriveTray('Z', true));  // no drive there
  EXPECT_FALSE(MoveDriveTray('C', true));  // the host's disk: no optical drive handle
  EXPECT_TRUE(sim_.Usb().ScsiRequests('E').empty());
}

// An HV22 (0945) in a box on the USB 3.0 root hub, its drive G on that root hub itself, and a
// free CD-ROM drive F on the PC: two candidates for one unit, so the trays must tell.
std::string SensorBench(const std::string& faults) {
  return R"({"hubs": [{"id": "pc"}, {"id": "pc3", "kind": "root_hub30"},
                      {"id": "box", "parent": "pc3", "port": 1}],
             "units": [{"model": "HV22", "product": "0x0945", "serial": "H5", "hub": "box",
                        "port": 1, "drives": [{"letter": "G", "hub": "pc3", "port": 2}],
                        "faults": [)" +
         faults + R"(]}],
             "devices": [{"kind": "cdrom", "hub": "pc", "port": 1, "letter": "F"}]})";
}

TEST_F(DrivesTest, TraySensorTellsWhichFreeDriveIsTheUnitsAndAllTraysEndClosed) {
  UseBench(SensorBench(""));
  StartProgram();
  ASSERT_EQ(DeviceList.size(), 1u);
  EXPECT_EQ(Entry(0).DriveLetter1.load(), 'G');
  EXPECT_EQ(Entry(0).DriveCount.load(), 1);
  EXPECT_EQ(Entry(0).Usb3Connection.load(), 1);
  EXPECT_EQ(Cdbs(sim_.Usb().ScsiRequests('F')), (std::vector<Cdb>{kAllowRemoval, kEject, kLoad}));
  EXPECT_EQ(Cdbs(sim_.Usb().ScsiRequests('G')), (std::vector<Cdb>{kAllowRemoval, kEject, kLoad}));
  EXPECT_FALSE(bench->Drive('F')->TrayOpen());
  EXPECT_FALSE(bench->Drive('G')->TrayOpen());

  // The association polls through its own target and leaves the operator's choice alone.
  Entry(0).DriveCount = 0;
  Entry(0).DriveLetter1 = 0;
  SelectedDevice = nullptr;
  AssociateDriveLetters(form().Discovery());
  EXPECT_EQ(SelectedDevice, nullptr);
  EXPECT_EQ(Entry(0).DriveLetter1.load(), 'G');
}

struct SensorFault {
  const char* fault;
  int commandsPerWait;  // at most this many AT+C00 per wait on the sensor
};

class SensorFaultTest : public DiscoveryFixture,
                        public ::testing::WithParamInterface<SensorFault> {};

TEST_P(SensorFaultTest, UnitWhoseSensorNeverAnswersGetsNoDriveAndDiscoveryEnds) {
  UseBench(SensorBench(GetParam().fault));
  const std::uint64_t startMs = sim_.Clock().NowMs();
  StartProgram();
  // However the sensor misbehaves, the unit holds the window at most its share of the rebuild
  // (the clock's own reads add a few milliseconds).
  EXPECT_LE(sim_.Clock().NowMs() - startMs, 5000u);
  ASSERT_EQ(DeviceList.size(), 1u);
  EXPECT_EQ(Entry(0).DriveCount.load(), 0);
  EXPECT_FALSE(bench->Drive('F')->TrayOpen());
  EXPECT_FALSE(bench->Drive('G')->TrayOpen());
  const auto log = bench->CommandLog(0);
  const auto polls = std::count(log.begin(), log.end(), "AT+C00");
  // Two associations (second pass, then the end of the first), two letters, one wait each.
  EXPECT_GT(polls, 0);
  EXPECT_LE(polls, 2 * 2 * GetParam().commandsPerWait);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SensorFaultTest,
    ::testing::Values(
        // well-formed replies without a sensor block: the wait gives up after its polls
        SensorFault{
            R"({"kind": "reply", "command": "AT+C00", "times": 0, "chunks": ["C00 OK AT+O"]})",
            kMaxTraySensorPolls},
        // no reply at all: the first poll's command fails, and with it the wait
        SensorFault{R"({"kind": "silent"})", kMaxSendRepetitions},
        // garbled replies that are never accepted: every poll repeats its command until the
        // unit's share of the rebuild is spent
        SensorFault{R"({"kind": "reply", "command": "AT+C00", "times": 0,
                        "chunks": [{"hex": "C3A9FF00"}, {"hex": "787B41542BFE"}]})",
                    kMaxSendRepetitions}),
    NameBy(&SensorFault::fault));

// Two 0945 units wait for a drive on the USB 3.0 root hub: the letter count cannot tell whose a
// free letter is, even when there is only one; the tray sensors decide. A drive that arrives
// while its unit runs is left alone until that run has ended: nothing of the window talks to a
// unit under test, nor moves a tray that may be its drive's.
struct WaitingUnits {
  const char* name;
  const char* drives[2];   // each unit's drive on the bench: "H" on port 3, "G" on port 4
  char letters[2];         // the letter each entry has once both have run
  const char* results[2];  // each unit's run (the operator cancels a prompt)
  int arrivesAfter = 0;    // the first unit's drive arrives after this command of its run (0: it
                           // is there from the start; 7 is its third EEPROM read)
};

class TwoWaitingUnits : public DrivesTest, public ::testing::WithParamInterface<WaitingUnits> {};

TEST_P(TwoWaitingUnits, GetTheDrivesTheirTraySensorsSee) {
  const WaitingUnits& c = GetParam();
  constexpr int kIdentification = 1;  // discovery's status query, before any run
  auto unit = [&c](const char* serial, const char* hub, const char* drive, bool first) {
    std::string u = std::string(R"({"model": "HV22", "product": "0x0945", "serial": ")") + serial +
                    R"(", "hub": ")" + hub + R"(", "port": 1, "discs": {"input": 5}, "eeprom": ")" +
                    session::CountingEeprom() + R"(")";
    const bool arrives = first && c.arrivesAfter > 0;
    if (*drive != 0) {
      u += std::string(R"(, "drives": [{"letter": ")") + drive + R"(", "hub": "pc3", "port": )" +
           (drive[0] == 'H' ? "3" : "4") + (arrives ? R"(, "present": false)" : "") + "}]";
    }
    if (arrives) {
      u += std::string(R"(, "faults": [{"kind": "plug", "target": "drive", "drive": ")") + drive +
           R"(", "after_command": )" + std::to_string(kIdentification + c.arrivesAfter) + "}]";
    }
    return u + "}";
  };
  UseBench(R"({"hubs": [{"id": "pc3", "kind": "root_hub30", "ports": 6},
                        {"id": "a", "parent": "pc3", "port": 1}, {"id": "b", "parent": "pc3", "port": 2}],
    "units": [)" +
           unit("A", "a", c.drives[0], true) + ", " + unit("B", "b", c.drives[1], false) + "]}");
  StartProgram();
  for (int item = 0; item < 2; ++item) {
    SCOPED_TRACE(std::string("unit ") + (item == 0 ? "A" : "B"));
    const std::size_t linesBefore = LogMessages().size();
    const std::size_t commandsBefore = bench->CommandLog(item).size();
    const char* own = c.drives[item];
    const std::size_t trayRequestsBefore = *own != 0 ? sim_.Usb().ScsiRequests(own[0]).size() : 0;
    // Where the run stands when its box asks (its drive check, for a unit without a drive).
    std::size_t commandsAtPrompt = 0;
    std::size_t trayRequestsAtPrompt = 0;
    OnPrompt([&](const ui::headless::PromptRecord&) {
      commandsAtPrompt = bench->CommandLog(item).size() - commandsBefore;
      trayRequestsAtPrompt = *own != 0 ? sim_.Usb().ScsiRequests(own[0]).size() : 0;
    });
    form().ComboBox1.PickItem(item);
    Run({ui::kIdCancel});
    OnPrompt(nullptr);
    EXPECT_EQ(ResultWord(), c.results[item]);
    // The run's EEPROM dump is whole, and every sensor reply logged is a sensor block.
    const auto lines = LogMessages();
    const std::vector<std::string> log(lines.begin() + static_cast<std::ptrdiff_t>(linesBefore),
                                       lines.end());
    for (const std::string& line : session::CountingEepromLines()) {
      EXPECT_EQ(session::CountOf(log, line), 1u) << line;
    }
    for (const std::string& line : log) {
      if (line.find("AT+C00 = ") != std::string::npos) {
        EXPECT_NE(line.find("AT+C00 = C00{"), std::string::npos) << line;
      }
    }
    // Only the run talked to its unit, and nobody moved the tray of a drive that arrived then:
    // at its drive check it has sent its 20 commands, and the trays are as they were.
    if (item == 0 && c.arrivesAfter > 0) {
      EXPECT_EQ(commandsAtPrompt, 20u) << "the run's commands only";
      EXPECT_EQ(trayRequestsAtPrompt, trayRequestsBefore);
    }
  }
  for (int item = 0; item < 2; ++item) {
    EXPECT_EQ(Entry(item).DriveLetter1.load(), c.letters[item]) << "unit " << item;
  }
  EXPECT_FALSE(sim_.Usb().ScsiRequests('G').empty() && sim_.Usb().ScsiRequests('H').empty())
      << "the trays told the drives apart";
}

INSTANTIATE_TEST_SUITE_P(
    Drives, TwoWaitingUnits,
    ::testing::Values(
        // The cables crossed (the first unit's drive has the later letter): both runs pass.
        WaitingUnits{"TwoLettersCrossed", {"H", "G"}, {'H', 'G'}, {"Success", "Success"}},
        // One free letter, and it is the second unit's: the first has no drive to check.
        WaitingUnits{"OneLetterOfTheSecond", {"", "G"}, {0, 'G'}, {"Error", "Success"}},
        // The first unit's drive arrives during its EEPROM read: its run goes on without it, and
        // it is the first unit's once that run has ended.
        WaitingUnits{"ArrivesWhileItsUnitRuns", {"H", ""}, {'H', 0}, {"Error", "Error"}, 7}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
