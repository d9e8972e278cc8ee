// Simulated autoloaders: a healthy test run's conversation per family, the scripted faults,
// the pipes' behaviour and disc conservation.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/DemoBench.h"
#include "platform/sim/bench/SimBench.h"

using namespace platform::sim;

namespace {

// A bench on a hand-moved clock.
struct Bench {
  explicit Bench(BenchModel model) : sim(std::move(model), [this] { return now.load(); }) {}
  explicit Bench(const char* json) : Bench(ParseBench(json, "test.json")) {}
  std::atomic<std::int64_t> now{0};
  SimBench sim;
};

std::array<std::uint8_t, 8> Block(const std::string& command, std::uint8_t start = 0) {
  const auto key = ParseCommand(command);
  EXPECT_TRUE(key) << command;
  return {0,
          key->numbered,
          static_cast<std::uint8_t>(key->letter),
          key->number,
          start,
          static_cast<std::uint8_t>(start + 7),
          0,
          0};
}

// What the host's exchange does: write the block, read chunks until one holds "AT+" or 31 reads
// gave nothing. The chunks are returned one by one.
std::vector<std::string> Exchange(SimBench& sim, const PipeRef& pipe, const std::string& command,
                                  std::uint8_t start = 0) {
  const auto block = Block(command, start);
  std::uint32_t done = 0;
  EXPECT_TRUE(sim.WritePipe(pipe, block, &done));
  EXPECT_EQ(done, 8u);
  std::vector<std::string> chunks;
  for (int empty = 0; empty <= 30;) {
    std::array<std::uint8_t, 64> buffer{};
    if (!sim.ReadPipe(pipe, buffer, &done) || done == 0) {
      ++empty;
      continue;
    }
    chunks.emplace_back(reinterpret_cast<const char*>(buffer.data()), done);
    if (chunks.back().find("AT+") != std::string::npos) break;
  }
  return chunks;
}

std::string Joined(const std::vector<std::string>& chunks) {
  std::string text;
  for (const std::string& c : chunks) text += (text.empty() ? "" : ";") + c;
  return text;
}

bool Accepted(const std::string& reply) {
  return reply.find("OK") != std::string::npos && reply.find("AT+") != std::string::npos;
}

char DriveLetter(const SimBench& sim, int unit, int i) {
  const BenchModel& m = sim.Model();
  return m.devices[m.units[unit].drives[i].device].letter;
}

// --- Scripted conversations --------------------------------------------------------------
// A step is a command on a link with the token its reply must hold, or "[i]=c" for a sensor
// character of the AT+C00 field, or a tray move / print job done by the host.

struct Step {
  std::string what;  // "AT+R01", "LQ40_CMD[3]", "open E", "close E", "print <queue>"
  std::string expect;
  int link = 1;
};

void Play(SimBench& sim, int unit, const std::vector<Step>& script) {
  const bool zp = IsZp(sim.Model().units[unit].model);
  for (const Step& step : script) {
    SCOPED_TRACE(step.what + " on link " + std::to_string(step.link));
    if (step.what.rfind("open ", 0) == 0 || step.what.rfind("close ", 0) == 0) {
      SimDrive* drive = sim.Drive(step.what.back());
      ASSERT_NE(drive, nullptr);
      EXPECT_TRUE(drive->SetTray(step.what[0] == 'o'));
      continue;
    }
    if (step.what.rfind("print ", 0) == 0) {
      EXPECT_TRUE(sim.SubmitPrintJob(step.what.substr(6)));
      continue;
    }
    const auto pipe = sim.OpenLink(unit, step.link);
    ASSERT_TRUE(pipe);
    const std::string reply = Joined(Exchange(sim, *pipe, step.what));
    EXPECT_TRUE(Accepted(reply)) << reply;
    if (step.expect.rfind("[", 0) == 0) {
      const std::size_t index = std::stoul(step.expect.substr(1));
      const std::size_t close = zp ? 20 : 13;
      ASSERT_GT(reply.size(), close) << reply;
      EXPECT_EQ(reply[3], '{') << reply;
      EXPECT_EQ(reply[close], '}') << reply;
      EXPECT_EQ(reply[index], step.expect.back()) << reply << " at " << index;
    } else {
      EXPECT_NE(reply.find(step.expect), std::string::npos) << reply;
    }
  }
  EXPECT_EQ(sim.TotalDiscs(), sim.DiscsSupplied());
}

// Device information as every letter-command family starts its run.
std::vector<Step> Information(int link = 1) {
  std::vector<Step> steps = {
      {"AT+?", "AT+O", link}, {"AT+I00", "AT+O", link}, {"AT+C00", "AT+O", link}};
  for (int start = 0; start < 128; start += 8) steps.push_back({"AT+I01", "AT+O", link});
  return steps;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<Step> PrinterSide(const std::string& queue) {
  return {{"AT+T02", "AT+O"}, {"print " + queue, ""}, {"AT+C00", "[12]=0"},
          {"AT+T01", "AT+O"}, {"AT+T00", "AT+O"},     {"AT+P00", "AT+O"}};
}

TEST(BenchConversation, Tm36kRunCarriesADiscFromTheInputBinToTheRejectArea) {
  Bench b(DemoBench());
  Play(b.sim, 0,
       Information() +
           std::vector<Step>{{"AT+P01", "AT+O"},
                             {"AT+T00", "AT+O"},
                             {"AT+C00", "[5]=1"},
                             {"AT+R01", "AT+O"},
                             {"AT+C00", "[12]=1"}} +
           PrinterSide("TM36K Disc Printer"));
  const UnitSnapshot s = b.sim.Snapshot(0);
  EXPECT_EQ(s.input, 4);
  EXPECT_EQ(s.reject, 1);
  EXPECT_EQ(s.printJobs, 1);
}

TEST(BenchConversation, Tm36pRunPassesTheDiscThroughTheDriveToThePrinterTray) {
  Bench b(DemoBench());
  const std::string e(1, DriveLetter(b.sim, 1, 0));
  Play(b.sim, 1,
       Information(1) + std::vector<Step>{{"AT+C00", "[9]=0", 2}} + Information(2) +
           std::vector<Step>{{"AT+P01", "AT+O"},
                             {"AT+T00", "AT+O"},
                             {"AT+C00", "[5]=1", 2},
                             {"open " + e, ""},
                             {"AT+C00", "[9]=1", 2},
                             {"AT+R01", "AT+O", 2},
                             {"AT+G01", "AT+O", 2},
                             {"close " + e, ""},
                             {"AT+C00", "[9]=0", 2},
                             {"AT+R02", "AT+O", 2}} +
           PrinterSide("TM36P Disc Printer"));
  EXPECT_EQ(b.sim.Snapshot(1).reject, 1);
}

TEST(BenchConversation, Tm36pCanLoadThePrinterTrayPastTheDrive) {
  Bench b(DemoBench());
  Play(b.sim, 1,
       {{"AT+P01", "AT+O"}, {"AT+T00", "AT+O"}, {"AT+R90", "AT+O", 2}, {"AT+C00", "[9]=1"}});
}

std::vector<Step> Hv22Run(const std::string& d) {
  return Information() +
         std::vector<Step>{{"AT+C00", "[5]=1"}, {"open " + d, ""},   {"AT+C00", "[9]=1"},
                           {"AT+R01", "AT+O"},  {"close " + d, ""},  {"AT+C00", "[9]=0"},
                           {"open " + d, ""},   {"AT+C00", "[9]=1"}, {"AT+G01", "AT+O"},
                           {"close " + d, ""},  {"AT+C00", "[9]=0"}, {"AT+R02", "AT+O"}};
}

TEST(BenchConversation, Hv22RunsOfBothProductsUnloadToTheOutputBin) {
  Bench b(DemoBench());
  for (int unit : {2, 3}) {
    Play(b.sim, unit, Hv22Run(std::string(1, DriveLetter(b.sim, unit, 0))));
    EXPECT_EQ(b.sim.Snapshot(unit).output, 1);
  }
}

TEST(BenchConversation, Lq40IdentifiesInFourChunksAndRunsItsNumberedCommands) {
  Bench b(DemoBench());
  const auto pipe = b.sim.OpenLink(4, 1);
  ASSERT_TRUE(pipe);
  const auto id = Exchange(b.sim, *pipe, "LQ40_CMD[1]");
  ASSERT_EQ(id.size(), 4u);
  EXPECT_EQ(id[2], "LQ40A0001");
  const std::string h(1, DriveLetter(b.sim, 4, 0));
  Play(b.sim, 4,
       {{"open " + h, ""},
        {"close " + h, ""},
        {"LQ40_CMD[12]", "AT+O"},
        {"LQ40_CMD[3]", "AT+O"},
        {"open " + h, ""},
        {"LQ40_CMD[5]", "AT+O"},
        {"close " + h, ""},
        {"open " + h, ""},
        {"LQ40_CMD[4]", "AT+O"},
        {"close " + h, ""},
        {"LQ40_CMD[6]", "AT+O"}});
  EXPECT_EQ(b.sim.Snapshot(4).output, 1);
}

std::vector<Step> ZpChecks() {
  return Information() +
         std::vector<Step>{
             {"AT+?", "{S0000}"}, {"AT+F02", "AT+O"}, {"AT+F00", "AT+O"}, {"AT+C00", "[17]=1"}};
}

TEST(BenchConversation, ZpPairModelsLoadBothTraysAndPickBothDiscs) {
  Bench b(DemoBench());
  for (int unit : {5, 7}) {
    const std::string u(1, DriveLetter(b.sim, unit, 0)), l(1, DriveLetter(b.sim, unit, 1));
    Play(b.sim, unit,
         ZpChecks() +
             std::vector<Step>{{"open " + u, ""},    {"AT+C00", "[10]=1"}, {"AT+C00", "[8]=1"},
                               {"open " + l, ""},    {"AT+C00", "[14]=1"}, {"AT+R01", "AT+O"},
                               {"AT+C00", "[8]=0"},  {"close " + u, ""},   {"AT+C00", "[10]=0"},
                               {"AT+R01", "AT+O"},   {"AT+C00", "[11]=0"}, {"close " + l, ""},
                               {"AT+C00", "[14]=0"}, {"open " + u, ""},    {"open " + l, ""},
                               {"AT+G01", "AT+O"},   {"AT+C00", "[8]=1"},  {"AT+C00", "[11]=1"},
                               {"close " + u, ""},   {"close " + l, ""},   {"AT+R02", "AT+O"}});
    EXPECT_EQ(b.sim.Snapshot(unit).output, 2);
  }
}

TEST(BenchConversation, ZpSingleTrayModelsFlipTheDiscToTheLowerDrive) {
  Bench b(DemoBench());
  for (int unit : {6, 8}) {
    const std::string u(1, DriveLetter(b.sim, unit, 0)), l(1, DriveLetter(b.sim, unit, 1));
    Play(b.sim, unit,
         ZpChecks() + std::vector<Step>{{"open " + u, ""},
                                        {"open " + l, ""},
                                        {"AT+R01", "AT+O"},
                                        {"close " + u, ""},
                                        {"open " + u, ""},
                                        {"AT+G99", "AT+O"},
                                        {"AT+C00", "[8]=1"},
                                        {"close " + u, ""},
                                        {"AT+R04", "AT+O"},
                                        {"AT+C00", "[11]=0"},
                                        {"close " + l, ""},
                                        {"open " + l, ""},
                                        {"AT+G04", "AT+O"},
                                        {"close " + l, ""},
                                        {"AT+R02", "AT+O"}});
    EXPECT_EQ(b.sim.Snapshot(unit).output, 1);
  }
}

TEST(BenchConversation, EepromReadGivesEightBytesInADataChunkThenTheEnd) {
  Bench b(DemoBench());
  const auto pipe = b.sim.OpenLink(5, 1);
  const auto chunks = Exchange(b.sim, *pipe, "AT+I01", 0x78);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 8u);
  EXPECT_EQ(chunks[0].find("AT+"), std::string::npos);
  EXPECT_EQ(chunks[0].find("OK"), std::string::npos);
  const auto& eeprom = b.sim.Model().units[5].links[0].eeprom;
  EXPECT_EQ(chunks[0], std::string(eeprom.begin() + 0x78, eeprom.end()));
}

TEST(BenchConversation, IdentificationTellsTm36kFromTm36pAndCarriesTheSerialThird) {
  Bench b(DemoBench());
  const auto k = Exchange(b.sim, *b.sim.OpenLink(0, 1), "AT+?");
  const auto p = Exchange(b.sim, *b.sim.OpenLink(1, 1), "AT+?");
  EXPECT_NE(Joined(k).find("RM82C"), std::string::npos);
  EXPECT_EQ(Joined(p).find("RM82C"), std::string::npos);
  ASSERT_GE(k.size(), 3u);
  EXPECT_EQ(k[2], "TK36K0001");
  const auto info = Exchange(b.sim, *b.sim.OpenLink(1, 2), "AT+I00");
  EXPECT_GE(info.size(), 4u);
  EXPECT_NE(Joined(info).find("HV22P0001"), std::string::npos);
}

// --- Physical refusals -----------------------------------------------------------------------

TEST(BenchUnits, LoadingRepliesTellWhatStoodInTheWay) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [
      {"model": "HV22", "hub": "h", "drives": [{"letter": "E", "disc": true}],
       "discs": {"input": 1}}]})");
  const auto pipe = *b.sim.OpenLink(0, 1);
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+R01")), "OK AT+E");    // tray closed
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+G01")), "OK AT+S12");  // arm blocked by the tray
  b.sim.Drive('E')->SetTray(true);
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+R01")), "OK AT+S12");  // tray holds a disc
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+G01")), "OK AT+O");
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+G01")), "OK AT+E");  // the arm is full
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+R02")), "OK AT+O");
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+R01")), "OK AT+S07");  // the bin's last disc
  EXPECT_EQ(b.sim.TotalDiscs(), 2);
}

// --- Scripted faults -------------------------------------------------------------------------

TEST(BenchFaults, NthOccurrenceIsAnsweredAsScriptedAndDoesNothing) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [{"model": "TM36K", "hub": "h", "faults": [
      {"kind": "reply", "command": "AT+T00", "occurrence": 2, "answer": "error"},
      {"kind": "reply", "command": "AT+P01", "times": 0, "chunks": ["part one", "AT+O"]}]}]})");
  const auto pipe = *b.sim.OpenLink(0, 1);
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+T00")), "OK AT+O");
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+T01")), "OK AT+O");
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+T00")), "OK AT+E");
  EXPECT_EQ(b.sim.Snapshot(0).printerTray, PrinterTray::kReject) << "the failed move did nothing";
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+T00")), "OK AT+O");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+P01")), "part one;AT+O");
  EXPECT_FALSE(b.sim.Snapshot(0).cdMode);
}

TEST(BenchFaults, TrayThatNeverOpensUntilItsTimeComes) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [{"model": "HV22", "hub": "h",
      "drives": [{"letter": "E"}],
      "faults": [{"kind": "tray_never_opens", "drive": "E", "until_ms": 3000}]}]})");
  SimDrive* drive = b.sim.Drive('E');
  EXPECT_TRUE(drive->SetTray(true)) << "the request itself succeeds";
  EXPECT_FALSE(drive->TrayOpen());
  const auto pipe = *b.sim.OpenLink(0, 1);
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+C00"))[9], '0');
  b.now = 3000;
  drive->SetTray(true);
  EXPECT_TRUE(drive->TrayOpen());
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+C00"))[9], '1');
}

TEST(BenchFaults, TrayThatNeverClosesAfterACommand) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [{"model": "ZP65", "hub": "h",
      "drives": [{"letter": "E", "tray": "open"}, {"letter": "F"}],
      "faults": [{"kind": "tray_never_closes", "drive": "E", "after_command": 1}]}]})");
  const auto pipe = *b.sim.OpenLink(0, 1);
  EXPECT_NE(Joined(Exchange(b.sim, pipe, "AT+?")).find("{S0010}"), std::string::npos);
  b.sim.Drive('E')->SetTray(false);
  EXPECT_TRUE(b.sim.Drive('E')->TrayOpen());
  EXPECT_NE(Joined(Exchange(b.sim, pipe, "AT+?")).find("{S0010}"), std::string::npos);
}

TEST(BenchFaults, EmptyInputBinGetsDiscsAtTheirTime) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [{"model": "HV22", "hub": "h",
      "faults": [{"kind": "add_discs", "count": 3, "at_ms": 5000}]}]})");
  const auto pipe = *b.sim.OpenLink(0, 1);
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+C00"))[5], '0');
  b.now = 4999;
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+C00"))[5], '0');
  b.now = 5000;
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+C00"))[5], '1');
  EXPECT_EQ(b.sim.Snapshot(0).input, 3);
  EXPECT_EQ(b.sim.TotalDiscs(), 3);
  EXPECT_EQ(b.sim.DiscsSupplied(), 3);
}

TEST(BenchFaults, UnitUnpluggedAfterItsNthCommandFailsItsPipesAndIsReported) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [{"model": "ZP61", "hub": "h",
      "faults": [{"kind": "unplug", "after_command": 2}]}]})");
  std::vector<int> unplugged;
  std::vector<SimDeviceChange> changes;
  b.sim.SetOnUnplug([&](int unit) { unplugged.push_back(unit); });
  b.sim.SetOnDeviceChange([&](const SimDeviceChange& c) { changes.push_back(c); });
  const auto pipe = *b.sim.OpenLink(0, 1);
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+?")).find("AT+O") != std::string::npos, true);
  std::uint32_t done = 99;
  const auto block = Block("AT+C00");
  EXPECT_TRUE(b.sim.WritePipe(pipe, block, &done)) << "the second command still arrives";
  std::array<std::uint8_t, 64> buffer{};
  EXPECT_FALSE(b.sim.ReadPipe(pipe, buffer, &done));
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(b.sim.WritePipe(pipe, block, &done));
  EXPECT_FALSE(b.sim.OpenLink(0, 1));
  EXPECT_EQ(unplugged, std::vector<int>{0});
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_FALSE(changes[0].arrived);
  // Plugged in again, the unit needs new pipes: the old ones stay dead.
  b.sim.Plug(b.sim.LinkDevice(0, 1));
  EXPECT_FALSE(b.sim.ReadPipe(pipe, buffer, &done));
  ASSERT_TRUE(b.sim.OpenLink(0, 1));
  EXPECT_TRUE(b.sim.ReadPipe(*b.sim.OpenLink(0, 1), buffer, &done));
  EXPECT_TRUE(changes.back().arrived);
}

TEST(BenchFaults, PlugAndUnplugEventsAtTimesMoveDrivesAndPrinters) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [{"model": "TM36P", "hub": "h",
      "printer": {"queue": "Q"}, "hv22": {"hub": "h"},
      "drives": [{"letter": "E", "present": false}],
      "faults": [{"kind": "plug", "target": "drive", "drive": "E", "at_ms": 100},
                 {"kind": "unplug", "target": "printer", "at_ms": 200},
                 {"kind": "unplug", "target": "hv22", "at_ms": 300}]}]})");
  EXPECT_FALSE(b.sim.Drive('E')->SetTray(true)) << "an absent drive takes no requests";
  b.now = 100;
  b.sim.Poll();
  EXPECT_TRUE(b.sim.Drive('E')->SetTray(true));
  EXPECT_TRUE(b.sim.SubmitPrintJob("q"));
  b.now = 200;
  EXPECT_FALSE(b.sim.SubmitPrintJob("Q"));
  EXPECT_TRUE(b.sim.OpenLink(0, 2));
  b.now = 300;
  EXPECT_FALSE(b.sim.OpenLink(0, 2));
  EXPECT_TRUE(b.sim.OpenLink(0, 1));
}

TEST(BenchFaults, SilentUnitGivesNothingAndBabblingUnitNeverEnds) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [
      {"model": "ZP61", "hub": "h", "faults": [{"kind": "silent", "after_command": 1}]},
      {"model": "LQ40", "hub": "h", "faults": [{"kind": "babble", "from_ms": 10}]}]})");
  const auto quiet = *b.sim.OpenLink(0, 1);
  EXPECT_TRUE(Accepted(Joined(Exchange(b.sim, quiet, "AT+?"))));
  EXPECT_TRUE(Exchange(b.sim, quiet, "AT+?").empty());
  const auto noisy = *b.sim.OpenLink(1, 1);
  EXPECT_TRUE(Accepted(Joined(Exchange(b.sim, noisy, "LQ40_CMD[12]"))));
  b.now = 10;
  std::uint32_t done = 0;
  EXPECT_TRUE(b.sim.WritePipe(noisy, Block("LQ40_CMD[12]"), &done));
  for (int i = 0; i < 100; ++i) {
    std::array<std::uint8_t, 64> buffer{};
    ASSERT_TRUE(b.sim.ReadPipe(noisy, buffer, &done));
    ASSERT_GT(done, 0u);
    const std::string chunk(reinterpret_cast<const char*>(buffer.data()), done);
    ASSERT_EQ(chunk.find("AT+"), std::string::npos);
  }
}

TEST(BenchFaults, ZpStatusCodesFollowTheirConditions) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [
      {"model": "ZP61", "hub": "h", "faults": [{"kind": "output_full", "until_ms": 50}]},
      {"model": "ZP65", "hub": "h", "faults": [{"kind": "output_detached"}]},
      {"model": "ZP71", "hub": "h", "faults": [{"kind": "ramp_closed", "from_ms": 20}]},
      {"model": "ZP75", "hub": "h", "faults": [{"kind": "motor", "code": "E3000"},
                                              {"kind": "recovery_request"}]}]})");
  auto status = [&](int unit) { return Joined(Exchange(b.sim, *b.sim.OpenLink(unit, 1), "AT+?")); };
  EXPECT_NE(status(0).find("{E0002}"), std::string::npos);
  EXPECT_NE(status(1).find("{S0008}"), std::string::npos);
  EXPECT_EQ(status(2).find("{E0003}"), std::string::npos);
  EXPECT_NE(status(3).find("{E3000}"), std::string::npos);
  b.now = 50;
  EXPECT_EQ(status(0).find("{E0002}"), std::string::npos);
  EXPECT_NE(status(2).find("{E0003}"), std::string::npos);
  const auto zp75 = *b.sim.OpenLink(3, 1);
  EXPECT_EQ(Joined(Exchange(b.sim, zp75, "AT+C00"))[4], '1');
  EXPECT_EQ(Joined(Exchange(b.sim, zp75, "AT+F02")), "OK AT+E") << "the motor is faulty";
  EXPECT_EQ(Joined(Exchange(b.sim, zp75, "AT+R99")), "OK AT+O");
  EXPECT_EQ(Joined(Exchange(b.sim, zp75, "AT+C00"))[4], '0');
}

TEST(BenchFaults, DetachedOutputBinRefusesTheUnloadWithS08) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [{"model": "ZP61", "hub": "h",
      "drives": [{"letter": "E", "tray": "open"}, {"letter": "F"}], "discs": {"input": 1},
      "faults": [{"kind": "output_detached"}]}]})");
  const auto pipe = *b.sim.OpenLink(0, 1);
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+R01")), "OK AT+S07");
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+G01")), "OK AT+O");
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+R02")), "OK AT+S08");
  EXPECT_EQ(b.sim.Snapshot(0).arm, 1);
}

TEST(BenchFaults, PrinterThatNeverEjectsLeavesTheTrayIn) {
  Bench b(R"({"hubs": [{"id": "h"}], "units": [{"model": "TM36K", "hub": "h",
      "printer": {"queue": "P"}, "faults": [{"kind": "printer_never_ejects"}]}]})");
  const auto pipe = *b.sim.OpenLink(0, 1);
  Exchange(b.sim, pipe, "AT+T02");
  EXPECT_TRUE(b.sim.SubmitPrintJob("P"));
  EXPECT_EQ(Joined(Exchange(b.sim, pipe, "AT+C00"))[12], '1');
  EXPECT_EQ(b.sim.Snapshot(0).printJobs, 1);
}

// --- Pipes -----------------------------------------------------------------------------------

TEST(BenchPipes, BlocksMayArriveInPiecesAndShortReadsKeepTheRest) {
  Bench b(DemoBench());
  const auto pipe = *b.sim.OpenLink(5, 1);
  const auto block = Block("AT+?");
  std::uint32_t done = 0;
  ASSERT_TRUE(b.sim.WritePipe(pipe, std::span(block).first(3), &done));
  std::array<std::uint8_t, 64> buffer{};
  ASSERT_TRUE(b.sim.ReadPipe(pipe, buffer, &done));
  EXPECT_EQ(done, 0u) << "no reply before the block is whole";
  ASSERT_TRUE(b.sim.WritePipe(pipe, std::span(block).subspan(3), &done));
  std::array<std::uint8_t, 4> small{};
  ASSERT_TRUE(b.sim.ReadPipe(pipe, small, &done));
  ASSERT_EQ(done, 4u);
  ASSERT_TRUE(b.sim.ReadPipe(pipe, buffer, &done));
  const std::string firmware = b.sim.Model().units[5].links[0].firmware;
  EXPECT_EQ(std::string(small.begin(), small.end()) +
                std::string(reinterpret_cast<const char*>(buffer.data()), done),
            firmware);
}

// --- Disc conservation -----------------------------------------------------------------------

TEST(BenchDiscs, RandomCommandStreamsNeitherMakeNorLoseDiscs) {
  static const char* kCommands[] = {
      "AT+?",   "AT+C00",      "AT+P00",      "AT+P01",      "AT+T00",      "AT+T01",
      "AT+T02", "AT+R01",      "AT+R02",      "AT+R04",      "AT+R90",      "AT+G01",
      "AT+G04", "AT+M02",      "AT+F00",      "AT+F02",      "AT+G99",      "AT+R99",
      "AT+I00", "LQ40_CMD[3]", "LQ40_CMD[4]", "LQ40_CMD[5]", "LQ40_CMD[6]", "LQ40_CMD[12]"};
  for (unsigned seed = 1; seed <= 5; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    BenchModel model = DemoBench();
    BenchEvent supply;
    supply.kind = EventKind::kAddDiscs;
    supply.when.atMs = 300;
    supply.count = 4;
    model.units[2].events.push_back(supply);
    Bench b(std::move(model));
    std::mt19937 random(seed);
    const int units = static_cast<int>(b.sim.Model().units.size());
    for (int i = 0; i < 3000; ++i) {
      b.now = i;
      const int unit = static_cast<int>(random() % units);
      const int what = static_cast<int>(random() % 10);
      if (what == 0) {
        const auto& drives = b.sim.Model().units[unit].drives;
        if (!drives.empty()) {
          b.sim.Drive(DriveLetter(b.sim, unit, random() % drives.size()))->SetTray(random() % 2);
        }
      } else if (what == 1) {
        b.sim.SubmitPrintJob(unit == 0 ? "TM36K Disc Printer" : "TM36P Disc Printer");
      } else {
        const int link = static_cast<int>(1 + random() % b.sim.Model().units[unit].links.size());
        Exchange(b.sim, *b.sim.OpenLink(unit, link), kCommands[random() % std::size(kCommands)]);
      }
      ASSERT_EQ(b.sim.TotalDiscs(), b.sim.DiscsSupplied()) << "after step " << i;
    }
    int output = 0;
    for (int u = 0; u < units; ++u) output += b.sim.Snapshot(u).output + b.sim.Snapshot(u).reject;
    EXPECT_GT(output, 0) << "the streams moved discs at all";
  }
}

// The worker exchanges while the GUI thread queries and finally unplugs (run under TSan).
TEST(BenchThreads, ExchangesRaceQueriesAndUnplugSafely) {
  Bench b(DemoBench());
  const auto pipe = *b.sim.OpenLink(5, 1);
  std::atomic<int> unplugs{0};
  b.sim.SetOnUnplug([&](int) { ++unplugs; });
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i) {
      std::uint32_t done = 0;
      std::array<std::uint8_t, 64> buffer{};
      if (!b.sim.WritePipe(pipe, Block("AT+C00"), &done)) break;
      b.sim.ReadPipe(pipe, buffer, &done);
      b.sim.Drive('I')->SetTray(i % 2 == 0);
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(b.sim.TotalDiscs(), b.sim.DiscsSupplied());
    b.sim.Snapshot(5);
  }
  b.sim.UnplugUnit(5);
  worker.join();
  EXPECT_EQ(unplugs.load(), 1);
  std::uint32_t done = 0;
  EXPECT_FALSE(b.sim.WritePipe(pipe, Block("AT+?"), &done));
}

}  // namespace
