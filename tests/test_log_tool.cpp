// veltrane-log: a log written by WriteLog reads back in clear through the tool, and lines that
// are not log lines are named by their number.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "report/TestLog.h"
#include "platform/NullPlatform.h"

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
}

}  // namespace
