// veltrane-log: a log written by WriteLog reads back in clear through the tool, and lines that
// are not log lines are named by their number.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "platform/NullPlatform.h"
#include "report/RecordReport.h"
#include "report/TestLog.h"

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#else
#include <sys/wait.h>
#endif

namespace {

// Only the clock matters here, and it stands still; everything else is refused.
class ClockOnlyPlatform : public platform::NullPlatform {
 public:
  platform::LocalTime now{2016, 11, 10, 9, 5, 0, 0};

  platform::LocalTime GetLocalTime() override { return now; }
};

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Quoted(const std::filesystem::path& path) {
  return "\"" + path.string() + "\"";
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

class LogToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetPlatform(&os_);
    ReleaseLogLines();
    CreateLogLines();
    std::random_device random;
    dir_ =
        std::filesystem::temp_directory_path() / ("veltrane-logtool-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    ReleaseLogLines();
    platform::SetPlatform(nullptr);
  }

  // Runs the tool with arguments (already quoted) and, optionally, a file on standard input.
  ToolResult RunTool(const std::string& arguments, const std::string& input = "") {
    const std::filesystem::path errFile = dir_ / "stderr.txt";
    std::string command = std::string("\"") + VELTRANE_LOG_TOOL + "\" " + arguments;
    if (!input.empty()) command += " < " + Quoted(input);
    command += " 2> " + Quoted(errFile);
#ifdef _WIN32
    command = "\"" + command + "\"";  // cmd /c strips one pair of outer quotes
#endif
    ToolResult result;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      result.out.append(buffer, n);
    }
    const int status = pclose(pipe);
#ifdef _WIN32
    result.status = status;
#else
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    result.err = ReadWholeFile(errFile);
    return result;
  }

  std::filesystem::path WriteLogFile(const std::vector<std::string>& lines, const char* eol) {
    const std::filesystem::path path = dir_ / kLogFileName;
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : lines) out << line << eol;
    return path;
  }

  ClockOnlyPlatform os_;
  std::filesystem::path dir_;
};

TEST_F(LogToolTest, EveryPrintableCharacterReadsBackInClearAtEverySecond) {
  std::string printable;
  for (int c = 32; c <= 126; ++c) printable += static_cast<char>(c);
  std::vector<std::string> expected;
  for (int second = 0; second < 60; ++second) {
    os_.now.second = second;
    // Rotated, so that every character also stands at the start and the end of a message.
    const std::string message = printable.substr(second) + printable.substr(0, second);
    WriteLog("%s", message.c_str());
    expected.push_back(LastLogLine().substr(0, kLogPrefixLength) + message);
  }
  const auto lines = LogLinesSnapshot();

  struct Case {
    const char* what;
    const char* eol;
    bool viaStdin;
  };
  for (const Case& c : {Case{"CR LF file", "\r\n", false}, Case{"LF file", "\n", false},
                        Case{"standard input", "\r\n", true}}) {
    const std::filesystem::path file = WriteLogFile(lines, c.eol);
    const ToolResult result = c.viaStdin ? RunTool("-", file.string()) : RunTool(Quoted(file));
    EXPECT_EQ(result.status, 0) << c.what;
    EXPECT_EQ(result.err, "") << c.what;
    EXPECT_EQ(SplitLines(result.out), expected) << c.what;
  }
}

TEST_F(LogToolTest, LinesThatAreNotLogLinesAreReportedByNumber) {
  os_.now.second = 37;
  WriteLog("%s", "abc");
  const std::string good = LastLogLine();
  const std::string wrongBracket = "2016-11-10  9:05:37 : [1] Ycm";
  const std::string noHourPadding = "2016-11-10 9:05:37 : [0] Ycmxx";
  const std::filesystem::path file =
      WriteLogFile({good, "garbage", wrongBracket, "", noHourPadding, good}, "\r\n");

  const ToolResult result = RunTool(Quoted(file));
  EXPECT_EQ(result.status, 1);
  const std::vector<std::string> expectedErrors = {
      "line 2: not a log line: garbage",
      "line 3: not a log line: " + wrongBracket,
      "line 4: not a log line: ",
      "line 5: not a log line: " + noHourPadding,
  };
  EXPECT_EQ(SplitLines(result.err), expectedErrors);
  const std::string clear = "2016-11-10  9:05:37 : [0] abc";
  EXPECT_EQ(SplitLines(result.out), (std::vector<std::string>{clear, clear}));
}

// A station's log: a run alone, then four under way at once, between lines nobody claims.
// --unit prints the lines the whole tag names, tag included, and nothing else; --json rebuilds
// each run as its own record.
TEST_F(LogToolTest, UnitPrintsTheLinesTaggedWithItsSerial) {
  // Each tagged line as the tool should print it: the prefix, "<TAG> ", the message. A serial's
  // '>' and '\\' stand escaped in its tag, so that no serial forges another unit's tag.
  const std::map<std::string, std::string> printed = {
      {"TK36K0001", "<TK36K0001> "},
      {"[1] ZP61 (no serial)", "<[1] ZP61 (no serial)> "},
      {"TK36K", "<TK36K> "},
      {"TK36K0001> <TK36K> \\X", "<TK36K0001\\x3E <TK36K\\x3E \\x5CX> "}};
  std::map<std::string, std::vector<std::string>> expected;
  int second = 0;
  const auto write = [&](std::uint64_t run, const std::string& message, const char* tag) {
    os_.now.second = second++ % 60;  // every offset of the scrambling turns up
    SetLogOwner(run);
    WriteLogText(message);
    SetLogOwner(0);
    if (tag != nullptr) {
      expected[tag].push_back(LastLogLine().substr(0, kLogPrefixLength) + printed.at(tag) +
                              message);
    }
  };
  const char* const tags[] = {"TK36K0001", "[1] ZP61 (no serial)", "TK36K",
                              "TK36K0001> <TK36K> \\X"};
  SetLogStationUnits(4);
  BeginLogRun(1, tags[0]);
  write(1, "=======Get CPU Information==============", nullptr);
  write(1, "[1] Get device information", nullptr);
  // A unit without a serial is tagged with its item; a serial may be the start of another's.
  for (std::uint64_t run = 2; run <= 4; ++run) {
    BeginLogRun(run, tags[run - 1]);
    write(run, "=======Get CPU Information==============", tags[run - 1]);
    write(run, "[1] Get device information", tags[run - 1]);
  }
  for (int i = 0; i < 20; ++i) {
    write(1 + i % 4, "Step " + std::to_string(i) + " <TK36K> inside the message", tags[i % 4]);
  }
  write(0, "discovery: a line nobody claims", nullptr);
  write(2, "    [ERROR] The unit did not answer.", tags[1]);
  for (std::uint64_t run : {1, 3, 4}) write(run, std::string(kLogSeparator), tags[run - 1]);
  EndLogRun(2);
  EndLogRun(3);
  EndLogRun(4);
  // A run that has had company keeps its tag to its end: a reader can follow it.
  write(1, "alone again: still tagged", tags[0]);
  EndLogRun(1);
  write(0, "discovery again", nullptr);
  ASSERT_EQ(expected.size(), 4u);
  ASSERT_EQ(expected["TK36K0001"].size(), 7u);
  const std::vector<std::string> lines = LogLinesSnapshot();
  const std::filesystem::path file = WriteLogFile(lines, "\r\n");

  struct Case {
    const char* arguments;  // before the file
    std::vector<std::string> out;
    const char* err;
  };
  const char* kNone = "veltrane-log: no line of unit ";
  for (const Case& c : {
           Case{"--unit TK36K0001", expected["TK36K0001"], ""},
           Case{"--unit TK36K", expected["TK36K"], ""},
           Case{"--unit \"[1] ZP61 (no serial)\"", expected["[1] ZP61 (no serial)"], ""},
           Case{"--unit tk36k0001", {}, kNone},  // serials match exactly
           Case{"--unit TK36K000", {}, kNone},   // a part of a serial is not the serial
           Case{"--unit ZP61", {}, kNone},
           Case{"--unit \"TK36K0001> <TK36K> \\X\"", expected["TK36K0001> <TK36K> \\X"], ""},
           Case{"--unit \"TK36K0001> <TK36K>\"", {}, kNone},
       }) {
    for (const bool viaStdin : {false, true}) {
      const ToolResult result = viaStdin ? RunTool(std::string(c.arguments) + " -", file.string())
                                         : RunTool(Quoted(file) + " " + c.arguments);
      const std::string what = c.arguments + std::string(viaStdin ? " (stdin)" : "");
      EXPECT_EQ(result.status, 0) << what;
      EXPECT_EQ(SplitLines(result.out), c.out) << what;
      EXPECT_EQ(result.err.substr(0, std::strlen(c.err)), c.err) << what;
      if (*c.err == '\0') {
        EXPECT_EQ(result.err, "") << what;
      }
    }
  }

  // Each run is its own record, with its own lines (without their tags) and result; the lines
  // nobody claims are in none.
  const ToolResult json = RunTool("--json " + Quoted(file));
  ASSERT_EQ(json.status, 0) << json.err;
  const auto records = nlohmann::json::parse(json.out);
  ASSERT_EQ(records.size(), 4u);
  for (std::size_t run = 0; run < 4; ++run) {
    const auto& record = records[run];
    EXPECT_EQ(record.at("result"), run == 1 ? "Error" : "Success") << run;
    const auto& log = record.at("log");
    EXPECT_EQ(log.size(), run == 0 ? 9u : 8u) << run;
    EXPECT_EQ(log.front().get<std::string>().substr(kLogPrefixLength),
              "=======Get CPU Information==============");
    for (const auto& line : log) {
      const std::string message = line.get<std::string>().substr(kLogPrefixLength);
      EXPECT_FALSE(message.starts_with("<") || message.starts_with("discovery")) << message;
    }
  }

  // Lines that are not log lines are still reported; the unit's lines still printed.
  std::vector<std::string> withGarbage = lines;
  withGarbage.insert(withGarbage.begin() + 3, "garbage");
  const ToolResult mixed = RunTool("--unit TK36K " + Quoted(WriteLogFile(withGarbage, "\n")));
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(SplitLines(mixed.out), expected["TK36K"]);
  EXPECT_EQ(SplitLines(mixed.err), std::vector<std::string>{"line 4: not a log line: garbage"});
}

// A run read back names its unit's model from the identification in its log: the LQ40's numbered
// reply by its model field, the others by the firmware's code where the model has one of its own
// ("RM82C" a TM36K, "RM83P" a TM36P), else by the firmware's first word.
TEST_F(LogToolTest, RecordsFromLogNameTheModelByTheIdentification) {
  struct Case {
    const char* identification;
    const char* model;
    const char* firmware;
  };
  const Case cases[] = {
      {"AT+? = RM82C V1.20;{S0000};TK36K0001;OK AT+O", "TM36K", "RM82C V1.20"},
      {"(TM36P-TM36) AT+? = RM83P-2 V1.05;{S0000};TP36P0001;OK AT+O", "TM36P", "RM83P-2 V1.05"},
      {"AT+? = HV22X V3.02;{S0000};HV220001;OK AT+O", "HV22X", "HV22X V3.02"},
      {"LQ40_CMD[1] = LQ40;V3.02;LQ400001;OK AT+O", "LQ40", "V3.02"},
  };
  for (const Case& c : cases) {
    WriteLogText("=======Get CPU Information==============");
    WriteLogText("[1] Get device information");
    WriteLogText(c.identification);
    WriteLogText(std::string(kLogSeparator));
  }
  std::string text;
  for (const std::string& line : LogLinesSnapshot()) text += line + "\r\n";
  std::istringstream in(text);
  const std::vector<RunRecord> records = RecordsFromLog(in);
  ASSERT_EQ(records.size(), std::size(cases));
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].unit.model, cases[i].model) << cases[i].identification;
    EXPECT_EQ(records[i].unit.firmware, cases[i].firmware) << cases[i].identification;
  }
}

TEST_F(LogToolTest, UsageAndUnreadableFilesExitWithTwo) {
  const ToolResult noArgument = RunTool("");
  EXPECT_EQ(noArgument.status, 2);
  EXPECT_NE(noArgument.err.find("usage: veltrane-log FILE"), std::string::npos);

  const ToolResult missing = RunTool(Quoted(dir_ / "absent.log"));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);

  const ToolResult help = RunTool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: veltrane-log FILE"), std::string::npos);
  EXPECT_NE(help.out.find("--unit SERIAL"), std::string::npos);

  WriteLog("%s", "abc");
  const std::string log = Quoted(WriteLogFile(LogLinesSnapshot(), "\r\n"));
  struct Case {
    std::string arguments;
    const char* why;
  };
  for (const Case& c : {
           Case{log + " --unit", "--unit needs the unit's serial"},
           Case{"--unit \"\" " + log, "--unit needs the unit's serial, not an empty text"},
           Case{"--unit \"A\tB\" " + log, "--unit A\\tB: a serial in a log holds only"},
           Case{"--unit A --unit B " + log, "--unit is given twice"},
           Case{"--unit A --json " + log, "--unit prints log lines; it does not go with --json"},
           Case{"--unit A", "give the log to read"},
           Case{"--unit A " + log + " " + log, "give one log"},
           Case{"--units A " + log, "unknown option --units"},
       }) {
    const ToolResult result = RunTool(c.arguments);
    EXPECT_EQ(result.status, 2) << c.arguments;
    EXPECT_EQ(result.out, "") << c.arguments;
    EXPECT_EQ(result.err.rfind(std::string("veltrane-log: ") + c.why, 0), 0u) << c.arguments << "\n"
                                                                              << result.err;
    EXPECT_NE(result.err.find("usage: veltrane-log FILE"), std::string::npos) << c.arguments;
  }
}

}  // namespace
