// veltrane-bench's command line: usage and bench errors exit with 2 and say what is wrong.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#else
#include <sys/wait.h>
#endif

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
      {"--device two", "--device takes an item number or 'all'"},
      {"--answers retry,maybe", "--answers"},
      {"--bench /nonexistent/bench.json", "/nonexistent/bench.json"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunBench(c.args);
    EXPECT_EQ(o.status, 2) << c.args;
    EXPECT_NE(o.output.find(c.says), std::string::npos) << c.args << "\n" << o.output;
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
  for (const char* option :
       {"--bench", "--list", "--device", "--answers", "--real-time", "--out", "--json"}) {
    EXPECT_NE(o.output.find(option), std::string::npos) << option;
  }
}
