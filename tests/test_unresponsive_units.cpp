// Units that stop answering, babble or answer garbage, as the operator meets them: whatever the
// unit sends, the run ends within the command link's bounds, "Start" comes back, "Test.log" is
// saved and the result dialog appears. Each run's virtual time is printed for the record.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchSessionFixture.h"
#include "SessionLog.h"
#include "device/CommandLink.h"

using namespace session;

namespace {

// The models of every family, each alone on a box hub with what its sequence needs.
struct ModelCase {
  const char* model;
  const char* identification;  // the command discovery identifies it with
  int identifyQueries;         // how often discovery sends it before any run
  bool timedLink;              // its link 1 uses the timed exchange (LQ40)
  std::string unit;            // the unit's fields besides model, hub, port and faults
  std::string hubs = "";       // hubs besides the PC's root hub and the box hub
};

const std::vector<ModelCase>& Models() {
  static const std::vector<ModelCase> models = {
      {"TM36K", "AT+?", 1, false,
       R"("firmware": "RM82C V1.20", "printer": {"port": 3, "queue": "TM36K Disc Printer"},
          "discs": {"input": 5})"},
      {"TM36P", "AT+?", 2, false,
       R"("firmware": "RM83P V1.05", "printer": {"port": 3, "queue": "TM36P Disc Printer"},
          "hv22": {"hub": "hv", "port": 1}, "drives": [{"letter": "E", "port": 2}],
          "discs": {"input": 5})",
       R"(, {"id": "hv", "parent": "box", "port": 2})"},
      {"HV22", "AT+?", 1, false,
       R"("drives": [{"letter": "E", "port": 2}], "discs": {"input": 5})"},
      {"LQ40", "LQ40_CMD[1]", 1, true,
       R"("drives": [{"letter": "H", "port": 2}], "discs": {"input": 5})"},
      {"ZP61", "AT+?", 1, false,
       R"("drives": [{"letter": "E", "port": 2}, {"letter": "F", "port": 3}],
          "discs": {"input": 5})"},
      {"ZP65", "AT+?", 1, false,
       R"("drives": [{"letter": "E", "port": 2}, {"letter": "F", "port": 3}],
          "discs": {"input": 5})"},
  };
  return models;
}

std::string BenchJson(const ModelCase& m, const std::vector<std::string>& faults) {
  return R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4},
                      {"id": "box", "parent": "pc", "port": 1, "ports": 6})" +
         m.hubs + R"(],
             "units": [{"model": ")" +
         std::string(m.model) + R"(", "hub": "box", "port": 1, )" + m.unit + R"(, "faults": [)" +
         JoinedList(faults) + "]}]}";
}

// Every command any family sends, as bench faults name them.
std::vector<std::string> AllCommands() {
  std::vector<std::string> names = {"AT+?",   "AT+C00", "AT+P00", "AT+P01", "AT+T00", "AT+T01",
                                    "AT+T02", "AT+R01", "AT+R02", "AT+R04", "AT+R90", "AT+G01",
                                    "AT+G04", "AT+M01", "AT+M02", "AT+I00", "AT+I01", "AT+I08",
                                    "AT+F00", "AT+F02", "AT+G99", "AT+R99", "AT+I99"};
  for (int n : {1, 2, 3, 4, 5, 6, 9, 12}) names.push_back("LQ40_CMD[" + std::to_string(n) + "]");
  return names;
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  char pair[3];
  for (unsigned char b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    hex += pair;
  }
  return R"({"hex": ")" + hex + R"("})";
}

// Garbage as a unit might send it: random bytes (zeros included), a full 64-byte chunk of 8-bit
// characters without a zero, and 8-bit text. Seeded, so every run sees the same bytes.
std::vector<std::string> GarbageChunks(unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string noise(64, '\0');
  for (char& c : noise) c = static_cast<char>(byte(random));
  std::string high(64, '\0');
  for (char& c : high) c = static_cast<char>(128 + byte(random) % 128);
  return {Hex(noise), Hex(high), Hex("\xC3\xA9t\xE9 \xFF\xFE")};
}

// Every command of the run (discovery's identification left alone) answered with the chunks,
// every time.
std::vector<std::string> AnswerEverythingWith(const ModelCase& m,
                                              const std::vector<std::string>& chunks) {
  std::vector<std::string> faults;
  for (const std::string& command : AllCommands()) {
    const int first = command == m.identification ? m.identifyQueries + 1 : 1;
    faults.push_back(R"({"kind": "reply", "command": ")" + command + R"(", "occurrence": )" +
                     std::to_string(first) + R"(, "times": 0, "chunks": [)" + JoinedList(chunks) +
                     "]}");
  }
  return faults;
}

// A condition that holds from the run's start: discovery runs at virtual time 0, and the clock
// is moved on to kRunStartMs before Start.
constexpr std::uint64_t kRunStartMs = 600000;
std::string FromRunStart(const char* kind) {
  return R"({"kind": ")" + std::string(kind) + R"(", "from_ms": )" + std::to_string(kRunStartMs) +
         "}";
}

// How a unit misbehaves.
enum class Misbehaviour {
  kSilent,           // takes every command, never answers
  kBabble,           // answers every read with a chunk without "AT+"
  kGarbage,          // random and 8-bit chunks, ended by "AT+" without "OK": never accepted
  kAcceptedGarbage,  // the same, ended by a chunk with "OK" and "AT+": accepted nonsense
  kReadsHang,        // takes every command; no read ever completes (the platform cancels each)
};

const char* Name(Misbehaviour b) {
  switch (b) {
    case Misbehaviour::kSilent:
      return "silent";
    case Misbehaviour::kBabble:
      return "babble";
    case Misbehaviour::kGarbage:
      return "garbage";
    case Misbehaviour::kReadsHang:
      return "reads hang";
    default:
      return "accepted garbage";
  }
}

std::vector<std::string> Faults(const ModelCase& m, Misbehaviour b) {
  std::vector<std::string> chunks = GarbageChunks(20261207);
  switch (b) {
    case Misbehaviour::kSilent:
      return {FromRunStart("silent")};
    case Misbehaviour::kBabble:
      return {FromRunStart("babble")};
    case Misbehaviour::kReadsHang:
      return {FromRunStart("reads_hang")};
    case Misbehaviour::kGarbage:
      chunks.push_back(Hex("AT+\x8F\xFE"));
      return AnswerEverythingWith(m, chunks);
    default:
      chunks.push_back(
          Hex("\xFE"
              "OK AT+\x8F"));
      return AnswerEverythingWith(m, chunks);
  }
}

// The longest one command can hold the worker before SendCommand gives up. Plain links: the
// repetitions' pauses (the bench's pipes answer at once). The timed link, and any link whose
// reads hang: the first exchange, the repetitions' time limit, and the exchange under way when
// that limit passed; an exchange of hung reads waits out the platform's bound on each read it
// makes (the timed exchange ends at its first failed read).
std::uint64_t GiveUpMs(bool timedLink, Misbehaviour b) {
  std::uint64_t exchangeMs = (kTimedExchangeSecondChanges + 1) * 1000;
  if (b == Misbehaviour::kReadsHang) {
    exchangeMs = std::uint64_t{kMaxReadFailures} * (platform::kDeviceIoTimeoutMs + 100);
  } else if (!timedLink) {
    return kMaxSendRepetitions * kResendPauseMs;
  }
  return 2 * exchangeMs + kMaxRepeatingHundredths * 10 + kResendPauseMs;
}
// Around the give-up: the host report and topology, the runner's 500 ms cycle pauses and the end
// of the run.
constexpr std::uint64_t kRunOverheadMs = 10000;

struct Case {
  const ModelCase* model;
  Misbehaviour behaviour;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name = std::string(info.param.model->model) + "_" + Name(info.param.behaviour);
  for (char& c : name) {
    if (c == ' ') c = '_';
  }
  return name;
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (const ModelCase& m : Models()) {
    for (Misbehaviour b : {Misbehaviour::kSilent, Misbehaviour::kBabble, Misbehaviour::kGarbage,
                           Misbehaviour::kAcceptedGarbage, Misbehaviour::kReadsHang}) {
      cases.push_back({&m, b});
    }
  }
  return cases;
}

class UnresponsiveUnit : public BenchSessionFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(UnresponsiveUnit, RunEndsWithinTheLinkBoundsAndTheConsoleRecovers) {
  const ModelCase& m = *GetParam().model;
  const Misbehaviour behaviour = GetParam().behaviour;
  StartOnBench(BenchJson(m, Faults(m, behaviour)));
  ASSERT_EQ(ComboItems().size(), 1u) << "discovery found the unit before it misbehaved";
  ASSERT_TRUE(form().Button1.Enabled());
  sim_.Clock().Advance(kRunStartMs);

  const std::uint64_t startMs = sim_.Clock().NowMs();
  Run();
  const std::uint64_t runMs = sim_.Clock().NowMs() - startMs;
  std::printf("[ virtual  ] %s %s: run ended after %.1f s virtual time, %lu commands\n", m.model,
              Name(behaviour), static_cast<double>(runMs) / 1000.0,
              static_cast<unsigned long>(Commands().size()));
  RecordProperty("virtual_ms", static_cast<int>(runMs));

  // Whatever the unit did, the link gives up on it once: the run holds no longer than one
  // give-up, plus the host report, the cycles' pauses and the end of the run around it.
  EXPECT_LE(runMs, GiveUpMs(m.timedLink, behaviour) + kRunOverheadMs);
  ASSERT_NE(form().CurrentRun(), nullptr);
  EXPECT_FALSE(form().CurrentRun()->RunActive);
  EXPECT_TRUE(form().Button1.Enabled());
  EXPECT_EQ(form().Button1.Caption(), "Start");
  EXPECT_TRUE(form().ComboBox1.Enabled());
  // The run did not finish: it never reads as passed. A unit that gave up answering is named as
  // such on the row the run was on.
  EXPECT_EQ(ResultWord(), "Error");
  const auto memo = Memo();
  const bool stopped = std::find(memo.begin(), memo.end(),
                                 "    [ERROR] The autoloader stopped answering.") != memo.end();
  EXPECT_EQ(stopped, behaviour != Misbehaviour::kAcceptedGarbage) << memo.back();
  // Test.log holds exactly the lines of the log, in order.
  std::ifstream saved(kLogFileName, std::ios::binary);
  ASSERT_TRUE(saved.is_open());
  std::vector<std::string> lines;
  for (std::string line; std::getline(saved, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  EXPECT_EQ(lines, LogLinesSnapshot());
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, UnresponsiveUnit, ::testing::ValuesIn(AllCases()), CaseName);

// A unit that answers nothing from power-on holds the window at program start no longer than its
// share of a rebuild: the other unit is listed and its run starts within 5 virtual seconds.
class UnresponsiveAtStart : public BenchSessionFixture,
                            public ::testing::WithParamInterface<Misbehaviour> {};

TEST_P(UnresponsiveAtStart, TheOtherUnitIsListedAndItsRunStartsWithinFiveSeconds) {
  const ModelCase& lq40 = Models()[3];
  ASSERT_STREQ(lq40.model, "LQ40");
  std::vector<std::string> faults;
  if (GetParam() == Misbehaviour::kSilent) {
    faults = {R"({"kind": "silent"})"};
  } else {
    faults = {R"({"kind": "reply", "command": "LQ40_CMD[1]", "times": 0, "chunks": [)" +
              JoinedList(GarbageChunks(7)) + "]}"};
  }
  StartOnBench(R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4},
                            {"id": "lq", "parent": "pc", "port": 1, "ports": 6},
                            {"id": "tk", "parent": "pc", "port": 2, "ports": 6}],
                   "units": [{"model": "LQ40", "hub": "lq", "port": 1, )" +
               lq40.unit + R"(, "faults": [)" + JoinedList(faults) + R"(]},
                             {"model": "TM36K", "hub": "tk", "port": 1, )" +
               Models()[0].unit + "}]}");
  EXPECT_EQ(ComboItems().size(), 1u) << "the LQ40 never identified itself";
  const std::uint64_t startedMs = sim_.Clock().NowMs();
  std::printf("[ virtual  ] LQ40 %s at start: program ready after %.2f s\n", Name(GetParam()),
              static_cast<double>(startedMs) / 1000.0);
  EXPECT_LE(startedMs, 5000u);
  Run();
  EXPECT_EQ(ResultWord(), "Success");
}

INSTANTIATE_TEST_SUITE_P(Lq40, UnresponsiveAtStart,
                         ::testing::Values(Misbehaviour::kSilent, Misbehaviour::kGarbage),
                         [](const auto& info) { return std::string(Name(info.param)); });

}  // namespace
