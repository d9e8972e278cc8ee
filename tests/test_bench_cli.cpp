// veltrane-bench's command line: usage and bench errors exit with 2 and say what is wrong; what
// a run prints.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "report/TestLog.h"

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#else
#include <sys/wait.h>
#endif

#include "platform/sim/ItemResources.h"
#include "report/StepList.h"

namespace {

struct Outcome {
  int status;
  std::string output;
};

Outcome RunBench(const std::string& args) {
  std::string command = std::string("\"") + VELTRANE_BENCH_TOOL + "\" " + args + " 2>&1";
#ifdef _WIN32
  command = "\"" + command + "\"";  // cmd /c strips one pair of outer quotes
#endif
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, {}};
  std::string output;
  std::array<char, 512> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) output += buffer.data();
  const int status = pclose(pipe);
#ifdef _WIN32
  return {status, output};
#else
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
#endif
}

}  // namespace

TEST(BenchCli, UsageErrorsExitWith2AndSayWhy) {
  struct Case {
    const char* args;
    const char* says;
  };
  const Case cases[] = {
      {"--frobnicate", "unknown argument: --frobnicate"},
      {"--device", "option --device needs a value"},
      {"--device two", "--device takes an item number, a list such as 0,3,5, or 'all'"},
      {"--device 0,,3", "--device takes an item number, a list"},
      {"--device 0,0", "item 0 is listed twice"},
      {"--device 1,99", "there is no item 99"},
      {"--parallel --device 0,9", "there is no item 9"},
      {"--device 0 --answers-for 0:ok", "--answers-for needs --parallel"},
      {"--parallel --device 0,1 --answers-for 1ok", "--answers-for takes N:A,B"},
      {"--parallel --device 0,1 --answers-for 1:maybe", "--answers-for 1:"},
      {"--parallel --device 0,1 --answers-for 1:ok --answers-for 1:ok", "is given twice"},
      {"--parallel --device 0,1 --answers-for 4:ok", "--answers-for 4: item 4 is not run"},
      {"--answers retry,maybe", "--answers"},
      {"--bench /nonexistent/bench.json", "/nonexistent/bench.json"},
      {"--seed -1", "--seed takes a number, not '-1'"},
      {"--seed", "option --seed needs a value"},
      {"--day 2026-13-01", "--day takes YYYY-MM-DD"},
      {"--day 7.12.2026", "--day takes YYYY-MM-DD"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunBench(c.args);
    EXPECT_EQ(o.status, 2) << c.args;
    EXPECT_NE(o.output.find(c.says), std::string::npos) << c.args << "\n" << o.output;
    // Everything is checked before anything runs.
    EXPECT_EQ(o.output.find("==="), std::string::npos) << c.args << "\n" << o.output;
  }
}

TEST(BenchCli, BadBenchFileIsNamedWithItsField) {
  const auto path = std::filesystem::temp_directory_path() / "veltrane-bad-bench.json";
  std::ofstream(path) << R"({"hubs": "not a list"})";
  const Outcome o = RunBench("--bench " + path.string() + " --list");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.output.find(path.string()), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("hubs"), std::string::npos) << o.output;
  std::filesystem::remove(path);
}

TEST(BenchCli, HelpListsTheOptions) {
  const Outcome o = RunBench("--help");
  EXPECT_EQ(o.status, 0);
  for (const char* option : {"--bench", "--list", "--device", "--answers", "--real-time", "--out",
                             "--json", "--station", "--seed", "--day"}) {
    EXPECT_NE(o.output.find(option), std::string::npos) << option;
  }
}

// A simulated station of its own: its name, its day and run ids of its own seed in the record.
TEST(BenchCli, AStationOfItsOwnNamesItselfAndDrawsItsOwnRunIds) {
  const auto folder = std::filesystem::temp_directory_path() / "veltrane-own-station";
  std::filesystem::create_directories(folder);
  const std::string json = (folder / "runs.json").string();
  auto runIds = [&](const std::string& args) {
    const Outcome o =
        RunBench("--device 0,1 --out " + folder.string() + " --json " + json + " " + args);
    EXPECT_EQ(o.status, 0) << o.output;
    const auto records = nlohmann::json::parse(std::ifstream(json));
    std::vector<std::string> ids;
    for (const auto& r : records) ids.push_back(r.at("run_id"));
    return std::pair(ids, records);
  };
  const auto [plain, plainRecords] = runIds("");
  const auto [own, records] = runIds("--station LINE-2 --seed 9 --day 2027-02-03");
  EXPECT_EQ(runIds("").first, plain) << "virtual time: the same seed, the same ids";
  ASSERT_EQ(own.size(), 2u);
  EXPECT_NE(own[0], own[1]);
  EXPECT_NE(own[0], plain[0]);
  EXPECT_EQ(records[1].at("computer"), "LINE-2");
  EXPECT_EQ(records[1].at("start").get<std::string>().substr(0, 10), "2027-02-03");
  std::filesystem::remove_all(folder);
}

// A scripted answer that is no button of its box is used up and the box gets its safe default;
// the operator of the script is told, and --strict-answers makes it an error. Runs that went
// together are all kept, with it or without it.
TEST(BenchCli, AnAnswerThatFitsNoButtonIsReportedAndStrictAnswersMakeItAnError) {
  const auto folder = std::filesystem::temp_directory_path() / "veltrane-unfit-answer";
  std::filesystem::create_directories(folder);
  struct Case {
    const char* args;
    int status;
    std::size_t records;
  };
  for (const Case c : {Case{"--device 4", 1, 1}, Case{"--device 4 --strict-answers", 2, 1},
                       Case{"--parallel --device 4,2,3 --strict-answers", 2, 3},
                       Case{"--parallel --device 4,2,3", 1, 3}}) {
    const std::string json = (folder / "runs.json").string();
    // The LQ40's first box is OK/Cancel: "retry" fits none of its buttons.
    const Outcome o = RunBench(std::string(c.args) + " --answers retry --out " + folder.string() +
                               " --json " + json);
    EXPECT_EQ(o.status, c.status) << c.args << "\n" << o.output;
    EXPECT_NE(o.output.find("the answer Retry is no button of the box \"Supply the loading area "
                            "with discs.\" (OK/Cancel); it got Cancel"),
              std::string::npos)
        << o.output;
    const auto records = nlohmann::json::parse(std::ifstream(json));
    ASSERT_EQ(records.size(), c.records) << c.args;
    const auto answers = records[0].at("answers");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].at("scripted").get<bool>());
    EXPECT_EQ(answers[0].at("unfitting"), "Retry");
  }
  std::filesystem::remove_all(folder);
}

// The first run of --device all and a lone --device 0 on the same bench are the same run, event
// for event: one clock rule for every way of running.
TEST(BenchCli, TheFirstRunOfAllAndALoneRunOfItemZeroAreTheSame) {
  const auto folder = std::filesystem::temp_directory_path() / "veltrane-one-clock";
  std::filesystem::create_directories(folder);
  const std::string bench = (folder / "bench.json").string();
  std::ofstream(bench) << R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4},
      {"id": "a", "parent": "pc", "port": 1}, {"id": "b", "parent": "pc", "port": 2}],
    "units": [
      {"model": "TM36K", "serial": "K1", "hub": "a", "port": 1,
       "printer": {"port": 3, "queue": "K1 Printer"}, "discs": {"input": 5},
       "faults": [{"kind": "unplug", "target": "printer", "at_ms": 1700},
                  {"kind": "plug", "target": "printer", "at_ms": 2600}]},
      {"model": "HV22", "serial": "H1", "hub": "b", "port": 1,
       "drives": [{"letter": "E", "port": 2}], "discs": {"input": 5}}]})";
  nlohmann::json first[2];
  const char* devices[] = {"0", "all"};
  for (int i = 0; i < 2; ++i) {
    const std::string json = (folder / ("runs" + std::to_string(i) + ".json")).string();
    RunBench(std::string("--bench ") + bench + " --device " + devices[i] +
             " --answers retry,retry --out " + folder.string() + " --json " + json);
    const auto records = nlohmann::json::parse(std::ifstream(json));
    ASSERT_FALSE(records.empty()) << devices[i];
    first[i] = records[0];
    first[i].erase("wall_seconds");
  }
  EXPECT_EQ(first[0], first[1]);
  std::filesystem::remove_all(folder);
}

// --json holds the run's record in every case: also when "Test.log" cannot be saved (a folder
// stands in its place) and no result dialog follows the error box. That box is the program's
// own: it takes none of the runs' answers.
TEST(BenchCli, JsonHoldsTheRunEvenWhenTestLogCannotBeSaved) {
  const auto folder = std::filesystem::temp_directory_path() / "veltrane-log-unsaved";
  std::filesystem::create_directories(folder / "out" / "Test.log");
  const std::string json = (folder / "runs.json").string();
  const Outcome o =
      RunBench("--device 0,4 --answers ok --out " + (folder / "out").string() + " --json " + json);
  EXPECT_NE(o.output.find("Cannot create file Test.log"), std::string::npos) << o.output;
  const auto records = nlohmann::json::parse(std::ifstream(json));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].at("result"), "Success");
  EXPECT_FALSE(records[0].at("rows").empty());
  EXPECT_FALSE(records[0].at("log").empty());
  ASSERT_EQ(records[1].at("answers").size(), 1u);
  EXPECT_TRUE(records[1].at("answers")[0].at("scripted").get<bool>()) << "the LQ40's OK";
  EXPECT_EQ(records[1].at("result"), "Success");
  std::filesystem::remove_all(folder);
}

// Records that cannot be written are each said on stderr, the last run's included, whether the
// runs go one after another or together.
TEST(BenchCli, EveryRecordThatCouldNotBeWrittenIsSaid) {
  const auto folder = std::filesystem::temp_directory_path() / "veltrane-records-unwritten";
  for (const char* mode : {"", "--parallel "}) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "TestRecords") << "a file where the folder should be";
    const Outcome o = RunBench(std::string(mode) + "--device 0,2 --out " + folder.string());
    std::size_t said = 0;
    const std::string line = "veltrane-bench: Could not write TestRecords/";
    for (std::size_t at = 0; (at = o.output.find(line, at)) != std::string::npos; ++at) ++said;
    EXPECT_EQ(said, 2u) << mode << "\n" << o.output;
    std::filesystem::remove_all(folder);
  }
}

// --parallel is the window's Start all: every chosen unit's lines carry its tag from its first,
// also when only some are chosen; a bench without a unit runs nothing, and every header names
// its item.
TEST(BenchCli, ParallelStartsTheChosenUnitsAsStartAllDoes) {
  const auto folder = std::filesystem::temp_directory_path() / "veltrane-parallel-start";
  std::filesystem::create_directories(folder);
  for (const char* device : {"all", "4,2"}) {
    const Outcome o = RunBench(std::string("--parallel --device ") + device +
                               " --answers ok --out " + folder.string());
    EXPECT_EQ(o.status, 0) << device << "\n" << o.output;
    std::ifstream log(folder / "Test.log", std::ios::binary);
    std::string first;
    for (std::string line; first.empty() && std::getline(log, line);) {
      const std::string clear = ClearLogText(line);
      if (clear.find("=======Get CPU Information") != std::string::npos) first = clear;
    }
    EXPECT_EQ(first.compare(kLogPrefixLength, 1, "<"), 0) << device << ": " << first;
    log.close();  // Windows removes no file that is open
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
  }
  const std::string bench = (folder / "bench.json").string();
  std::ofstream(bench)
      << R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4}], "units": []})";
  for (const char* mode : {"", " --parallel"}) {
    const std::string json = (folder / "runs.json").string();
    const Outcome o = RunBench("--bench " + bench + " --device all" + mode + " --out " +
                               folder.string() + " --json " + json);
    EXPECT_EQ(o.status, 1) << mode << "\n" << o.output;
    EXPECT_NE(o.output.find("=== [No devices found] ===\nStart is disabled for this device."),
              std::string::npos)
        << mode << "\n"
        << o.output;
    const auto records = nlohmann::json::parse(std::ifstream(json));
    ASSERT_EQ(records.size(), 1u) << mode;
    EXPECT_FALSE(records[0].at("started").get<bool>());
  }
  std::filesystem::remove_all(folder);
}

// Each progress line "[k/n] caption" names row k of the unit's step list, n its length; a run
// prints one for each row it marked, in order, the last row included. Runs in turn head their
// lines with "=== item ==="; a station's lines each begin with "item | ", and its LQ40 is
// cancelled at its first box, so one of its rows fails.
TEST(BenchCli, ProgressLinesNameEachMarkedRowOfTheStepListUpToTheLast) {
  const auto folder = std::filesystem::temp_directory_path() / "veltrane-progress";
  std::filesystem::create_directories(folder);
  const std::string json = (folder / "runs.json").string();
  const std::regex progress(
      R"(^(?:(.+?) \| )?\[ *(\d+)/(\d+)\] (.*) \.\.\. (passed|failed|warned)(: .*)?$)");
  for (const char* mode : {"--device all --answers ok", "--parallel --device all"}) {
    const Outcome o = RunBench(std::string(mode) + " --out " + folder.string() + " --json " + json);
    std::map<std::string, std::vector<std::size_t>> printed;  // by item, as printed
    std::istringstream lines(o.output);
    std::string heading;
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
      if (line.starts_with("=== ") && line.ends_with(" ===")) {
        heading = line.substr(4, line.size() - 8);
        continue;
      }
      if (!std::regex_match(line, m, progress)) continue;
      const std::string item = m[1].matched ? m[1].str() : heading;
      // "[3] HV22 (HV22B0001)": the model is the second word.
      const std::size_t space = item.find(' ');
      const std::string model = item.substr(space + 1, item.find(' ', space + 1) - space - 1);
      const auto list = platform::sim::FindItemResource("LIST_" + model);
      const std::vector<std::string> steps =
          SplitStepList(reinterpret_cast<const char*>(list.data()), list.size());
      const std::size_t k = std::stoul(m[2].str());
      EXPECT_EQ(std::stoul(m[3].str()), steps.size()) << line;
      ASSERT_TRUE(k >= 1 && k <= steps.size()) << line;
      EXPECT_EQ(m[4].str(), steps[k - 1]) << line;
      printed[item].push_back(k);
    }
    const auto records = nlohmann::json::parse(std::ifstream(json));
    ASSERT_EQ(records.size(), 9u) << mode << "\n" << o.output;
    for (const auto& record : records) {
      std::vector<std::size_t> marked;
      const auto& rows = record.at("rows");
      for (std::size_t r = 0; r < rows.size(); ++r) {
        if (!rows[r].at("icon").get<std::string>().empty()) marked.push_back(r + 1);
      }
      EXPECT_FALSE(marked.empty()) << mode;
      EXPECT_EQ(printed[record.at("item").get<std::string>()], marked)
          << mode << ": " << record.at("item");
    }
  }
  std::filesystem::remove_all(folder);
}
