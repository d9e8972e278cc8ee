// Bench files: the demo bench as the simulator sees it, what Windows would show for its
// topology, and bad files rejected with the file, the field and the reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "CaseNames.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchTopology.h"
#include "platform/sim/bench/DemoBench.h"

using namespace platform::sim;

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

const BenchDevice& LinkOf(const BenchModel& bench, int unit, int link = 1) {
  return bench.devices[bench.units[unit].links[link - 1].device];
}

TEST(BenchLoader, DemoBenchIsCompiledInUnchanged) {
  EXPECT_EQ(DemoBenchText(), ReadText(VELTRANE_SOURCE_DIR "/benches/demo.json"));
}

// The benches in benches/: healthy, the units the benchmarks count on, every serial its own.
TEST(BenchLoader, BenchFilesHoldTheirUnitsHealthyWithBothHv22Products) {
  struct Case {
    const char* file;
    std::multiset<std::string> models;
  };
  const std::multiset<std::string> station = {
      "TM36K", "TM36K", "TM36K", "TM36P", "TM36P", "TM36P", "HV22", "HV22", "HV22", "LQ40",
      "LQ40",  "LQ40",  "ZP61",  "ZP61",  "ZP65",  "ZP65",  "ZP71", "ZP71", "ZP75", "ZP75"};
  for (const Case& c : {
           Case{"demo.json",
                {"TM36K", "TM36P", "HV22", "HV22", "LQ40", "ZP61", "ZP65", "ZP71", "ZP75"}},
           Case{"station.json", station},
       }) {
    const BenchModel bench = LoadBenchFile(VELTRANE_SOURCE_DIR "/benches/" + std::string(c.file));
    std::multiset<std::string> models;
    std::set<std::uint16_t> hv22Products;
    std::set<std::string> serials;
    for (std::size_t u = 0; u < bench.units.size(); ++u) {
      models.insert(ModelName(bench.units[u].model));
      if (ModelName(bench.units[u].model) == std::string("HV22"))
        hv22Products.insert(LinkOf(bench, u).pid);
      EXPECT_TRUE(serials.insert(LinkOf(bench, u).serial.value_or("")).second)
          << c.file << " unit " << u;
      EXPECT_TRUE(bench.units[u].replies.empty() && bench.units[u].conditions.empty() &&
                  bench.units[u].events.empty())
          << c.file << " is healthy";
    }
    EXPECT_EQ(models, c.models) << c.file;
    EXPECT_EQ(hv22Products, (std::set<std::uint16_t>{0x0923, 0x0945})) << c.file;
  }
}

TEST(BenchLoader, DemoTm36pHasItsHv22PartAndDriveOnAHubBelow) {
  const BenchModel bench = DemoBench();
  const BenchUnit& tm36p = bench.units[1];
  ASSERT_STREQ(ModelName(tm36p.model), "TM36P");
  ASSERT_EQ(tm36p.links.size(), 2u);
  const BenchDevice& tm36 = LinkOf(bench, 1, 1);
  const BenchDevice& hv22 = LinkOf(bench, 1, 2);
  EXPECT_EQ(tm36.pid, 0x0935);
  EXPECT_EQ(hv22.pid, 0x0923);
  const BenchHub& hv22Hub = bench.hubs[HubIndex(bench, hv22.hub)];
  EXPECT_EQ(hv22Hub.parent, tm36.hub);
  // Discovery finds the HV22 part below the TM36 by the hub instance id holding its prefix.
  EXPECT_NE(HubInstanceId(bench, HubIndex(bench, hv22.hub))
                .find(*HubPrefix(bench, HubIndex(bench, tm36.hub))),
            std::string::npos);
  ASSERT_EQ(tm36p.drives.size(), 1u);
  EXPECT_EQ(bench.devices[tm36p.drives[0].device].hub, hv22.hub);
  EXPECT_EQ(bench.devices[tm36p.printer].port, 3);
}

TEST(BenchLoader, InterfacePathsFollowWindowsShape) {
  const BenchModel bench = DemoBench();
  EXPECT_EQ(InterfacePath(bench, bench.units[0].links[0].device),
            "\\\\?\\usb#vid_1723&pid_0935#tk36k0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
}

TEST(BenchLoader, InstanceIdsForMissingSerialsPrefixesAndDuplicates) {
  const BenchModel bench = ParseBench(R"({
    "hubs": [{"id": "pc"}, {"id": "h", "parent": "pc", "port": 2, "parent_id_prefix": null}],
    "units": [
      {"model": "ZP61", "hub": "h", "port": 2, "serial": null},
      {"model": "ZP61", "hub": "pc", "port": 1, "serial": "Ab 12"},
      {"model": "ZP61", "hub": "pc", "port": 3, "serial": "AB 12"}
    ]})",
                                      "ids.json");
  EXPECT_EQ(DeviceInstanceId(bench, bench.units[0].links[0].device), "nopointnextid&2");
  EXPECT_EQ(DeviceInstanceId(bench, bench.units[1].links[0].device), "ab_12");
  const std::string pcPrefix = *HubPrefix(bench, 0);
  EXPECT_EQ(DeviceInstanceId(bench, bench.units[2].links[0].device), pcPrefix + "&3");
  EXPECT_EQ(HubInstanceId(bench, 1), pcPrefix + "&2");
}

TEST(BenchLoader, FreePortsAreHandedOutInOrder) {
  const BenchModel bench = ParseBench(R"({
    "hubs": [{"id": "h", "ports": 3}],
    "units": [{"model": "ZP65", "hub": "h", "port": 2,
               "drives": [{"letter": "e"}, {"letter": "F"}]}]})",
                                      "ports.json");
  const BenchUnit& unit = bench.units[0];
  EXPECT_EQ(bench.devices[unit.drives[0].device].port, 1);
  EXPECT_EQ(bench.devices[unit.drives[1].device].port, 3);
  EXPECT_EQ(bench.devices[unit.drives[0].device].letter, 'E');
  EXPECT_EQ(unit.drives[1].slot, DriveSlot::kLower);
}

TEST(BenchLoader, FaultsAreRead) {
  const BenchModel bench = ParseBench(R"({
    "hubs": [{"id": "h"}],
    "units": [{"model": "ZP71", "hub": "h", "drives": [{"letter": "E"}, {"letter": "F"}],
      "faults": [
        {"kind": "reply", "command": "AT+R01", "occurrence": 2, "answer": "S12"},
        {"kind": "reply", "command": "LQ40_CMD[12]", "times": 0, "chunks": ["A", "B AT+O"]},
        {"kind": "ramp_closed", "until_ms": 4000},
        {"kind": "tray_never_opens", "drive": "f", "after_command": 3},
        {"kind": "motor", "code": "E2000"},
        {"kind": "add_discs", "count": 2, "at_ms": 1500},
        {"kind": "unplug", "target": "drive", "drive": "E", "after_command": 9}
      ]}]})",
                                      "faults.json");
  const BenchUnit& unit = bench.units[0];
  ASSERT_EQ(unit.replies.size(), 2u);
  EXPECT_EQ(FormatCommand(unit.replies[0].command), "AT+R01");
  EXPECT_EQ(unit.replies[0].chunks, std::vector<std::string>{"OK AT+S12"});
  EXPECT_EQ(unit.replies[1].command.numbered, 12);
  EXPECT_EQ(unit.replies[1].times, 0);
  ASSERT_EQ(unit.conditions.size(), 3u);
  EXPECT_EQ(unit.conditions[0].untilMs, 4000);
  EXPECT_EQ(unit.conditions[1].drive, 'F');
  EXPECT_EQ(unit.conditions[1].from.afterCommand, 3);
  EXPECT_EQ(unit.conditions[2].code, "E2000");
  ASSERT_EQ(unit.events.size(), 2u);
  EXPECT_EQ(unit.events[0].when.atMs, 1500);
  EXPECT_EQ(unit.events[1].target, EventTarget::kDrive);
}

// --- Bad files ----------------------------------------------------------------------------

struct BadBench {
  const char* text;
  const char* message;  // what() after "bad.json: "
};

class BadBenchFile : public testing::TestWithParam<BadBench> {};

TEST_P(BadBenchFile, IsRejectedNamingFileFieldAndReason) {
  try {
    ParseBench(GetParam().text, "bad.json");
    FAIL() << "accepted";
  } catch (const BenchError& e) {
    EXPECT_EQ(std::string(e.what()), std::string("bad.json: ") + GetParam().message);
  }
}

#define HUB R"("hubs": [{"id": "h"}])"
// EEPROM digits: 8 and 64 zero bytes.
#define EEPROM_8 "0000000000000000"
#define EEPROM_64 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8

INSTANTIATE_TEST_SUITE_P(
    Cases, BadBenchFile,
    testing::Values(
        BadBench{R"({})", "(top level): a bench needs at least one hub in \"hubs\""},
        BadBench{R"({"hubz": []})", "hubz: unknown field"},
        BadBench{R"({"hubs": [{"id": "a"}, {"id": "a"}]})",
                 "hubs[1].id: hub \"a\" is listed twice"},
        BadBench{R"({"hubs": [{"id": "a"}, {"id": "b", "parent": "zz", "port": 1}]})",
                 "hubs[1].parent: no hub \"zz\""},
        BadBench{R"({"hubs": [{"id": "a", "kind": "hub", "parent": "b", "port": 1},
                              {"id": "b", "kind": "hub", "parent": "a", "port": 1}]})",
                 "hubs[0].parent: hubs hang on each other in a loop"},
        BadBench{R"({"hubs": [{"id": "a", "kind": "root_hub31"}]})",
                 "hubs[0].kind: \"root_hub31\" is not a hub kind (root_hub, root_hub30, hub)"},
        BadBench{"{" HUB R"(, "units": [{"model": "TM37", "hub": "h"}]})",
                 "units[0].model: \"TM37\" is not a model (TM36K, TM36P, HV22, LQ40, ZP61, "
                 "ZP65, ZP71, ZP75)"},
        BadBench{"{" HUB R"(, "units": [{"model": "LQ40", "hub": "h", "port": 5}]})",
                 "units[0].port: hub \"h\" has only 4 ports"},
        BadBench{"{" HUB R"(, "units": [{"model": "LQ40", "hub": "h", "port": 1,
                              "drives": [{"letter": "E", "port": 1}]}]})",
                 "units[0].drives[0].port: port 1 of hub \"h\" is taken by another device"},
        BadBench{"{" HUB R"(, "units": [{"model": "LQ40", "hub": "h", "drives": [{"letter": "E"}]},
                              {"model": "HV22", "hub": "h", "drives": [{"letter": "e"}]}]})",
                 "units[1].drives[0].letter: drive letter E is also used by "
                 "units[0].drives[0].letter"},
        // What the system could not see as the bench says: the first autoloader on a hub takes
        // every drive there; a box names its unit by serial.
        BadBench{"{" HUB R"(, "units": [{"model": "HV22", "hub": "h", "port": 1},
                              {"model": "HV22", "hub": "h", "port": 2, "drives": [{"letter": "E"}]}]})",
                 "units[1].drives[0]: hub \"h\" holds units[0]'s autoloader on port 1, which the "
                 "system gives every drive on its hub: this drive could not be its own unit's"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "serial": "S"},
                              {"model": "HV22", "hub": "h", "serial": "S", "faults": [
                                {"kind": "add_discs", "count": 1, "at_prompt": 2}]}]})",
                 "units[1].faults[0].at_prompt: units[0] has the same serial \"S\", so this "
                 "unit's boxes cannot be told from its"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h"},
                              {"model": "HV22", "hub": "h", "serial": null, "faults": [
                                {"kind": "unplug", "prompt_text": "Go"}]}]})",
                 "units[1].faults[0].prompt_text: this unit has no serial, so its boxes cannot be "
                 "told from another unit's"},
        BadBench{"{" HUB
                 R"(, "units": [{"model": "LQ40", "hub": "h", "drives": [{"letter": "7"}]}]})",
                 "units[0].drives[0].letter: must be one letter A to Z"},
        BadBench{"{" HUB R"(, "units": [{"model": "TM36K", "hub": "h", "firmware": "V1"}]})",
                 "units[0].firmware: a TM36K identifies itself by \"RM82C\" in its firmware text"},
        BadBench{"{" HUB R"(, "units": [{"model": "HV22", "hub": "h", "product": "0x0935"}]})",
                 "units[0].product: an HV22's product is 0x0923 or 0x0945"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "vendor": "0x1724"}]})",
                 "units[0].vendor: an autoloader's vendor is 0x1723 or 0x1717"},
        BadBench{"{" HUB R"(, "units": [{"model": "TM36P", "hub": "h"}]})",
                 "units[0]: a TM36P needs its \"hv22\" part (hub and port)"},
        BadBench{"{" HUB R"(, "units": [{"model": "HV22", "hub": "h",
                              "drives": [{"letter": "E"}, {"letter": "F"}]}]})",
                 "units[0].drives: a HV22 has at most 1 drive(s); list others under \"devices\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "discs": {"input": -1}}]})",
                 "units[0].discs.input: -1 is out of range 0..1000"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "eeprom": "4f4b"}]})",
                 "units[0].eeprom: must be 256 hexadecimal digits (128 bytes)"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "explode"}]}]})",
                 "units[0].faults[0].kind: \"explode\" is not a fault kind"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R1", "answer": "ok"}]}]})",
                 "units[0].faults[0].command: \"AT+R1\" is not a command (AT+?, AT+R01, "
                 "LQ40_CMD[5], ...)"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01", "answer": "maybe"}]}]})",
                 "units[0].faults[0].answer: \"maybe\" is not an answer (ok, error, S01, S07, S08, "
                 "S12, unaccepted, none)"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01", "link": 2,
                                          "answer": "ok"}]}]})",
                 "units[0].faults[0].link: this unit has no link 2"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01", "chunks":
                              ["12345678901234567890123456789012345678901234567890123456789012345"]}]}]})",
                 "units[0].faults[0].chunks[0]: longer than 64 characters"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "ramp_closed"}]}]})",
                 "units[0].faults[0].kind: ramp_closed applies to ZP71, ZP75 only, not to a ZP61"},
        BadBench{
            "{" HUB R"(, "units": [{"model": "LQ40", "hub": "h",
                              "faults": [{"kind": "output_detached"}]}]})",
            "units[0].faults[0].kind: output_detached applies to ZP61, ZP65 only, not to a LQ40"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP75", "hub": "h",
                              "faults": [{"kind": "pick_blocked"}]}]})",
                 "units[0].faults[0].kind: pick_blocked applies to HV22 only, not to a ZP75"},
        BadBench{"{" HUB R"(, "units": [{"model": "HV22", "hub": "h",
                              "faults": [{"kind": "printer_never_ejects"}]}]})",
                 "units[0].faults[0].kind: printer_never_ejects applies to TM36K, TM36P only, not "
                 "to a HV22"},
        BadBench{"{" HUB R"(, "units": [{"model": "TM36K", "hub": "h",
                              "faults": [{"kind": "motor"}]}]})",
                 "units[0].faults[0].kind: motor applies to ZP models only, not to a TM36K"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "drives": [{"letter": "E"}],
                              "faults": [{"kind": "tray_never_opens", "drive": "Q"}]}]})",
                 "units[0].faults[0].drive: \"Q\" is not a drive of this unit"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "unplug", "at_ms": 5, "after_command": 2}]}]})",
                 "units[0].faults[0]: give either \"at_ms\" or \"after_command\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "silent", "until": 5}]}]})",
                 "units[0].faults[0].until: unknown field"},
        BadBench{R"({"hubs": [{"id": "h", "ports": 1}], "units": [{"model": "LQ40", "hub": "h",
                              "drives": [{"letter": "E"}]}]})",
                 "units[0].drives[0]: hub \"h\" has no free port left"},
        // Nothing passes silently: each of these was once taken without a word.
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "plug", "target": "device", "hub": "h",
                                          "port": 3}]}]})",
                 "units[0].faults[0].port: no device sits on port 3 of hub \"h\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "silent", "from_ms": 500, "until_ms": 100}]}]})",
                 "units[0].faults[0].until_ms: 100 is before from_ms 500"},
        BadBench{R"({"hubs": [{"id": "h", "comment": ["a", "list"]}]})",
                 "hubs[0].comment: must be a text"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h"}], "units": []})",
                 "units: given twice in one object"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h"},
                                        {"model": "HV22", "hub": "h", "port": 2, "port": 3}]})",
                 "units[1].port: given twice in one object"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01", "chunks": []}]}]})",
                 "units[0].faults[0].chunks: needs at least one chunk (\"answer\": \"none\" gives "
                 "no reply)"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "firmware": "ZP AT+V1"}]})",
                 "units[0].firmware: must not hold \"AT+\", which ends a reply"},
        BadBench{R"({"hubs": [{"id": "r"}, {"id": "a", "parent": "r", "port": 1},
                              {"id": "b", "parent": "a", "port": 1},
                              {"id": "c", "parent": "b", "port": 1},
                              {"id": "d", "parent": "c", "port": 1},
                              {"id": "e", "parent": "d", "port": 1},
                              {"id": "f", "parent": "e", "port": 1}]})",
                 "hubs[6].parent: a chain of 6 hubs below the root hub ends in hub \"f\"; USB "
                 "allows 5 (seven tiers)"},
        // Every other refusal of the loader, one row each. The field's own checks first:
        BadBench{"[]", "(top level): must be an object"},
        BadBench{R"({"hubs": ["h"]})", "hubs[0]: must be an object"},
        BadBench{R"({"hubs": "h"})", "hubs: must be a list"},
        BadBench{R"({"hubs": [{"id": 5}]})", "hubs[0].id: must be a text"},
        BadBench{R"({"hubs": [{"id": "h\u007f"}]})",
                 "hubs[0].id: holds a character outside printable ASCII"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "serial": "A\u001fB"}]})",
                 "units[0].serial: holds a character outside printable ASCII"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "name": "caf\u00e9"}]})",
                 "units[0].name: holds a character outside printable ASCII"},
        BadBench{R"({"hubs": [{"id": "h", "ports": 4.5}]})",
                 "hubs[0].ports: must be a whole number"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "present": "yes"}]})",
                 "units[0].present: must be true or false"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "vendor": "0x17230"}]})",
                 "units[0].vendor: must be four hexadecimal digits, like \"0x1723\""},
        // Hubs:
        BadBench{R"({"hubs": [{}]})", "hubs[0]: a hub needs an \"id\""},
        BadBench{R"({"hubs": [{"id": ""}]})", "hubs[0].id: must not be empty"},
        BadBench{R"({"hubs": [{"id": "a", "kind": "hub"}]})", "hubs[0]: a hub needs a \"parent\""},
        BadBench{R"({"hubs": [{"id": "a"}, {"id": "b", "kind": "root_hub30", "parent": "a"}]})",
                 "hubs[1].parent: a root hub has no parent"},
        BadBench{R"({"hubs": [{"id": "a"}, {"id": "b", "parent": "a"}]})",
                 "hubs[1]: a hub on a parent hub needs the parent's \"port\""},
        BadBench{R"({"hubs": [{"id": "a", "port": 1}]})",
                 "hubs[0].port: a root hub sits on no port"},
        // Devices and units:
        BadBench{"{" HUB R"(, "devices": [{"kind": "other"}]})", "devices[0]: needs a \"hub\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "x"}]})",
                 "units[0].hub: no hub \"x\""},
        BadBench{"{" HUB R"(, "units": [{"model": "LQ40", "hub": "h", "drives": [{}]}]})",
                 "units[0].drives[0]: needs a drive \"letter\""},
        BadBench{"{" HUB R"(, "devices": [{"kind": "scanner", "hub": "h"}]})",
                 "devices[0].kind: \"kind\" must be one of printer, cdrom, disk, other"},
        BadBench{"{" HUB R"(, "devices": [{"kind": "printer", "hub": "h", "queue": ""}]})",
                 "devices[0].queue: must not be empty"},
        BadBench{"{" HUB R"(, "units": [{"hub": "h"}]})", "units[0]: a unit needs a \"model\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61"}]})",
                 "units[0]: a unit needs the \"hub\" it hangs on"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "product": "0x0923"}]})",
                 "units[0].product: only an HV22 has a choice of product"},
        BadBench{"{" HUB R"(, "units": [{"model": "TM36P", "hub": "h", "firmware": "RM82C V2"}]})",
                 "units[0].firmware: \"RM82C\" would make this TM36P identify as a TM36K"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "firmware": "ZP;V1"}]})",
                 "units[0].firmware: must not hold \";\", which separates reply fields"},
        // "AT+" in the second block, "OK" at the end of the last: each would end the reply early.
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "eeprom": ")" EEPROM_8
                 "41542B0000000000" EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_64
                 R"("}]})",
                 "units[0].eeprom: the 8 bytes from 8 hold \"OK\" or \"AT+\", which would end the "
                 "data chunk's reply"},
        BadBench{"{" HUB
                 R"(, "units": [{"model": "ZP61", "hub": "h", "eeprom": ")" EEPROM_64 EEPROM_8
                     EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 EEPROM_8 "0000000000004F4B"
                 R"("}]})",
                 "units[0].eeprom: the 8 bytes from 120 hold \"OK\" or \"AT+\", which would end "
                 "the data chunk's reply"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "printer": {}}]})",
                 "units[0].printer: only a TM36K or TM36P has a printer"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "hv22": {}}]})",
                 "units[0].hv22: only a TM36P has an HV22 part"},
        BadBench{"{" HUB R"(, "units": [{"model": "TM36P", "hub": "h", "hv22": {}}]})",
                 "units[0].hv22: the HV22 part needs the \"hub\" it hangs on"},
        BadBench{"{" HUB R"(, "units": [{"model": "LQ40", "hub": "h",
                              "drives": [{"letter": "E", "tray": "ajar"}]}]})",
                 "units[0].drives[0].tray: must be \"open\" or \"closed\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "drives": [{"letter": "E", "slot": "lower"}, {"letter": "F"}]}]})",
                 "units[0].drives[1]: both drives sit in the same slot"},
        BadBench{"{" HUB R"(, "units": [{"model": "LQ40", "hub": "h",
                              "drives": [{"letter": "E", "slot": "upper"}]}]})",
                 "units[0].drives[0].slot: only a ZP model has upper and lower drives"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "drives": [{"letter": "E", "slot": "middle"}]}]})",
                 "units[0].drives[0].slot: must be \"upper\" or \"lower\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "discs": {"printer_tray": true}}]})",
                 "units[0].discs.printer_tray: only a TM36K or TM36P has a printer tray"},
        // Faults:
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "faults": ["silent"]}]})",
                 "units[0].faults[0]: must be an object"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "faults": [{}]}]})",
                 "units[0].faults[0]: a fault needs a \"kind\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "answer": "ok"}]}]})",
                 "units[0].faults[0]: a reply fault needs the \"command\" it answers"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01"}]}]})",
                 "units[0].faults[0]: give either \"answer\" or \"chunks\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01", "chunks": "A"}]}]})",
                 "units[0].faults[0].chunks: must be a list of texts"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01", "chunks": [""]}]}]})",
                 "units[0].faults[0].chunks[0]: an empty chunk cannot be read from a pipe"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01", "chunks": [{}]}]}]})",
                 "units[0].faults[0].chunks[0]: a byte chunk needs its \"hex\" digits"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "reply", "command": "AT+R01",
                                          "chunks": [{"hex": "8F0"}]}]}]})",
                 "units[0].faults[0].chunks[0].hex: must be pairs of hexadecimal digits, like "
                 "\"8F00C3\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "unplug", "at_ms": 5, "at_prompt": 1}]}]})",
                 "units[0].faults[0]: give one of \"at_ms\", \"after_command\" or "
                 "\"at_prompt\"/\"prompt_text\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "add_discs"}]}]})",
                 "units[0].faults[0]: add_discs needs a \"count\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "add_discs", "count": 1, "target": "unit"}]}]})",
                 "units[0].faults[0]: add_discs fills the input bin: no target"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "unplug", "count": 1}]}]})",
                 "units[0].faults[0].count: only add_discs has a count"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "unplug", "target": "moon"}]}]})",
                 "units[0].faults[0].target: must be unit, hv22, printer, drive or device"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "unplug", "target": "device", "hub": "h"}]}]})",
                 "units[0].faults[0]: a device target needs \"hub\" and \"port\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "unplug", "port": 2}]}]})",
                 "units[0].faults[0]: \"hub\" and \"port\" name a device target only"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "unplug", "target": "hv22"}]}]})",
                 "units[0].faults[0].target: this unit has no HV22 part"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "plug", "target": "printer"}]}]})",
                 "units[0].faults[0].target: this unit has no printer"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "plug", "target": "device", "hub": "zz",
                                          "port": 1}]}]})",
                 "units[0].faults[0].hub: no hub \"zz\""},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "tray_never_opens"}]}]})",
                 "units[0].faults[0]: needs the \"drive\" letter it concerns"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h", "drives": [{"letter": "E"}],
                              "faults": [{"kind": "silent", "drive": "E"}]}]})",
                 "units[0].faults[0].drive: only tray faults name a drive"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "motor", "code": "E4000"}]}]})",
                 "units[0].faults[0].code: a motor code is E1000, E2000 or E3000"},
        BadBench{"{" HUB R"(, "units": [{"model": "ZP61", "hub": "h",
                              "faults": [{"kind": "silent", "code": "E1000"}]}]})",
                 "units[0].faults[0].code: only a motor fault has a code"}),
    NameBy(&BadBench::message));

// Five hubs below the root hub is as deep as USB goes, and is taken.
TEST(BenchLoader, FiveHubsBelowTheRootHubAreTaken) {
  const BenchModel model =
      ParseBench(R"({"hubs": [{"id": "r"}, {"id": "a", "parent": "r", "port": 1},
      {"id": "b", "parent": "a", "port": 1}, {"id": "c", "parent": "b", "port": 1},
      {"id": "d", "parent": "c", "port": 1}, {"id": "e", "parent": "d", "port": 1}],
      "units": [{"model": "ZP61", "hub": "e", "comment": "on the last tier"}]})",
                 "deep.json");
  EXPECT_EQ(model.hubs.size(), 6u);
}

TEST(BenchLoader, BrokenJsonAndMissingFilesNameTheFile) {
  try {
    ParseBench("{\"hubs\": [", "broken.json");
    FAIL() << "accepted";
  } catch (const BenchError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("broken.json: not valid JSON: ", 0), 0u) << e.what();
  }
  // A folder may open as a file and fail only when read.
  for (const std::string& path :
       {std::string("/nonexistent/bench.json"), std::filesystem::temp_directory_path().string()}) {
    try {
      LoadBenchFile(path);
      ADD_FAILURE() << path << " accepted";
    } catch (const BenchError& e) {
      EXPECT_EQ(std::string(e.what()), path + ": cannot be read");
    }
  }
  // A file past the limit is refused before it is read whole or parsed (a device that never
  // ends once ran until memory was exhausted).
  const std::string tooLarge =
      (std::filesystem::temp_directory_path() / "veltrane-bench-too-large.json").string();
  {
    std::ofstream file(tooLarge, std::ios::binary);
    file << R"({"hubs": [{"id": "h"}]})" << std::string(kMaxBenchBytes, ' ');
  }
  try {
    LoadBenchFile(tooLarge);
    FAIL() << "accepted";
  } catch (const BenchError& e) {
    EXPECT_EQ(std::string(e.what()),
              tooLarge + ": larger than 16 MB, the most a bench file may hold");
  }
  std::filesystem::remove(tooLarge);
#ifndef _WIN32
  EXPECT_THROW(LoadBenchFile("/dev/zero"), BenchError);
#endif
}

}  // namespace
