// The test log: line prefix and scrambling, literal and truncated messages, the host report from
// the registry and memory status, and saving "Test.log".
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "report/TestLog.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Sz(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

// A host that answers with a fixed time, registry keys from a table, a set memory status and
// plain files in the real file system.
class FakeLogPlatform : public platform::Platform {
 public:
  platform::LocalTime now{2016, 11, 10, 9, 5, 7, 0};
  std::map<std::string, std::map<std::string, Bytes>> keys;
  platform::MemoryStatus memory{};
  std::uint32_t maxWriteChunk = 0xFFFFFFFFu;  // WriteFile moves at most this many bytes per call
  std::optional<std::size_t> failWriteAfter;  // WriteFile fails once this many bytes are out

  int OpenKeys() const { return static_cast<int>(openKeys_.size()); }
  int OpenFiles() const { return static_cast<int>(files_.size()); }

  platform::LocalTime GetLocalTime() override {
    std::lock_guard lock(mutex_);
    return now;
  }
  std::uint64_t MonotonicMs() override { return 0; }
  void SetSecond(int second) {
    std::lock_guard lock(mutex_);
    now.second = second;
  }
  platform::Handle CreateEventA(bool, bool) override { return 1; }
  std::uint32_t WaitForSingleObject(platform::Handle, std::uint32_t) override {
    return platform::kWaitTimeout;
  }
  bool CloseHandle(platform::Handle handle) override {
    auto file = files_.find(handle);
    if (file == files_.end()) return false;
    const bool closed = std::fclose(file->second) == 0;
    files_.erase(file);
    return closed;
  }

  long RegOpenKeyExA(const char* subKey, platform::Handle* key) override {
    auto found = keys.find(subKey);
    if (found == keys.end()) return platform::kErrorFileNotFound;
    *key = nextHandle_++;
    openKeys_[*key] = &found->second;
    return platform::kErrorSuccess;
  }
  // Like Windows: a too small buffer gets kErrorMoreData and undefined content (here: junk).
  long RegQueryValueExA(platform::Handle key, const char* valueName, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override {
    auto values = openKeys_.find(key);
    if (values == openKeys_.end()) return platform::kErrorFileNotFound;
    auto value = values->second->find(valueName);
    if (value == values->second->end()) return platform::kErrorFileNotFound;
    if (type) *type = platform::kRegSz;
    const auto full = static_cast<std::uint32_t>(value->second.size());
    const std::uint32_t room = *size;
    *size = full;
    if (data == nullptr) return platform::kErrorSuccess;
    if (full > room) {
      std::fill(data, data + room, std::uint8_t{'#'});
      return platform::kErrorMoreData;
    }
    std::copy(value->second.begin(), value->second.end(), data);
    return platform::kErrorSuccess;
  }
  long RegEnumKeyA(platform::Handle, std::uint32_t, char*, std::uint32_t) override {
    return platform::kErrorNoMoreItems;
  }
  long RegCloseKey(platform::Handle key) override {
    return openKeys_.erase(key) ? platform::kErrorSuccess : platform::kErrorFileNotFound;
  }
  platform::MemoryStatus GlobalMemoryStatus() override { return memory; }

  platform::Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t,
                               std::uint32_t creation) override {
    if (access != platform::kGenericWrite || creation != platform::kCreateAlways) {
      return platform::kInvalidHandle;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return platform::kInvalidHandle;
    files_[nextHandle_] = file;
    return nextHandle_++;
  }
  bool ReadFile(platform::Handle, void*, std::uint32_t, std::uint32_t* done) override {
    *done = 0;
    return false;
  }
  bool WriteFile(platform::Handle handle, const void* buffer, std::uint32_t size,
                 std::uint32_t* done) override {
    *done = 0;
    auto file = files_.find(handle);
    if (file == files_.end()) return false;
    std::uint32_t count = std::min(size, maxWriteChunk);
    if (failWriteAfter) {
      if (written_ >= *failWriteAfter) return false;
      count = static_cast<std::uint32_t>(std::min<std::size_t>(count, *failWriteAfter - written_));
    }
    *done = static_cast<std::uint32_t>(std::fwrite(buffer, 1, count, file->second));
    written_ += *done;
    return true;
  }
  std::span<const std::uint8_t> LoadItemResource(const char*) override { return {}; }

 private:
  std::mutex mutex_;
  platform::Handle nextHandle_ = 100;
  std::map<platform::Handle, std::map<std::string, Bytes>*> openKeys_;
  std::map<platform::Handle, std::FILE*> files_;
  std::size_t written_ = 0;
};

constexpr const char* kCpuKey = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\";
constexpr const char* kVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

std::string CpuKey(int i) {
  return kCpuKey + std::to_string(i);
}

std::string InClear(const std::string& line) {
  return UnscrambleLogText(std::string_view(line).substr(kLogPrefixLength),
                           LogOffsetForPrefix(line));
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class TestLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetPlatform(&os_);
    ReleaseLogLines();
    CreateLogLines();
  }
  void TearDown() override {
    ReleaseLogLines();
    platform::SetPlatform(nullptr);
  }

  std::vector<std::string> MessagesInClear() {
    std::vector<std::string> messages;
    for (const std::string& line : LogLinesSnapshot()) messages.push_back(InClear(line));
    return messages;
  }

  FakeLogPlatform os_;
};

// --- the character transformation --------------------------------------------------------------

struct ScrambleCase {
  std::string plain;
  int k;
  std::string scrambled;
};

TEST(ScrambleLogText, TransformsEachCharacterWithTheOffset) {
  const ScrambleCase cases[] = {
      {"abc", 0, "OYc"},    {"abc", 10, "Ycm"}, {" ", 0, "\xF3"},  // 23 is below 32: 23 + 220
      {" ", 8, "\xFB"},                                            //
      {" ", 9, " "},                                               // 23 + 9 = 32 stays
      {" ", 14, "%"},                                              //
      {"\xFF", 0, "\xD2"},                                         // -1: units -1 -> -10, plus 220
      {"\x80", 0, "&"},                                            // -128: -100 - 80 - 2, plus 220
      {"\x7F", 14, "\xBA"},                                        // 127: 100 + 70 + 2 + 14
      {"----", 3, "9999"},  {"", 7, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScrambleLogText(c.plain, c.k), c.scrambled) << "'" << c.plain << "' k=" << c.k;
  }
}

TEST(ScrambleLogText, UnscrambleRestoresEverySevenBitCodeForEveryOffset) {
  std::string all;
  for (int c = 0; c < 128; ++c) all += static_cast<char>(c);
  for (int k = 0; k <= 14; ++k) {
    EXPECT_EQ(UnscrambleLogText(ScrambleLogText(all, k), k), all) << "k=" << k;
  }
}

TEST(ScrambleLogText, BytesNoMessageCanProduceReadAsQuestionMarks) {
  // Nothing scrambles to a control code, so these have no preimage.
  EXPECT_EQ(UnscrambleLogText(std::string_view("\x01\x0D\x0A", 3), 0), "???");
}

TEST(LogOffsetForPrefix, SumsTheDigitsOfTheSeconds) {
  const std::pair<int, int> cases[] = {{0, 0}, {9, 9}, {10, 1}, {37, 10}, {59, 14}};
  for (auto [second, k] : cases) {
    platform::LocalTime t{2024, 1, 2, 3, 4, second, 0};
    EXPECT_EQ(LogOffsetForPrefix(FormatDateTime(t) + " : [0] "), k) << "second " << second;
  }
  EXPECT_EQ(LogOffsetForPrefix("too short"), 0);
}

// --- lines ----------------------------------------------------------------------------------

TEST_F(TestLogTest, PrefixIsPlainWithTheHourPaddedByASpace) {
  os_.now = {2016, 11, 10, 9, 5, 7, 0};
  WriteLog("x");
  os_.now = {2023, 1, 2, 13, 45, 0, 0};
  WriteLog("x");
  const auto lines = LogLinesSnapshot();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, kLogPrefixLength), "2016-11-10  9:05:07 : [0] ");
  EXPECT_EQ(lines[1].substr(0, kLogPrefixLength), "2023-01-02 13:45:00 : [0] ");
  EXPECT_EQ(FormatDateTime({2016, 11, 10, 9, 5, 7, 0}), "2016-11-10  9:05:07");
}

TEST_F(TestLogTest, MessageIsScrambledWithTheOffsetOfItsOwnSecond) {
  const std::pair<int, std::string> cases[] = {{0, "OYc"}, {37, "Ycm"}, {59, "]gq"}};
  for (const auto& [second, expected] : cases) {
    os_.now.second = second;
    WriteLog("%s", "abc");
    EXPECT_EQ(LastLogLine().substr(kLogPrefixLength), expected) << "second " << second;
    EXPECT_EQ(LastLogLine().substr(17, 2), (second < 10 ? "0" : "") + std::to_string(second));
  }
}

TEST_F(TestLogTest, FormatsWithPrintfRules) {
  WriteLog("[%d] %s %02X", -3, "Load", 0xA);
  EXPECT_EQ(MessagesInClear(), std::vector<std::string>{"[-3] Load 0A"});
}

TEST_F(TestLogTest, TextIsLoggedLiterally) {
  const std::string text = "100% done: %s %d %n %%";
  WriteLogText(text);
  WriteLogText(std::string_view("cut\0here", 8));
  EXPECT_EQ(MessagesInClear(), (std::vector<std::string>{text, "cut"}));
}

TEST_F(TestLogTest, MessagesAreCutAt273Characters) {
  const std::string exact(kMaxLogMessage, 'a');
  const std::string longer = std::string(kMaxLogMessage, 'b') + "tail";
  WriteLog("%s", exact.c_str());
  WriteLog("%s", longer.c_str());
  WriteLogText(longer);
  const auto messages = MessagesInClear();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], exact);
  EXPECT_EQ(messages[1], longer.substr(0, kMaxLogMessage));
  EXPECT_EQ(messages[2], longer.substr(0, kMaxLogMessage));
  EXPECT_LE(LastLogLine().size() + 1, 300u);  // line and terminator fit in 300 bytes
}

TEST_F(TestLogTest, LinesNeedAnExistingList) {
  WriteLog("kept");
  CreateLogLines();  // a second creation keeps what is there
  EXPECT_EQ(LogLineCount(), 1u);
  ReleaseLogLines();
  EXPECT_FALSE(LogLinesExist());
  WriteLog("dropped");
  EXPECT_EQ(LogLineCount(), 0u);
  EXPECT_EQ(LastLogLine(), "");
  CreateLogLines();
  EXPECT_TRUE(LogLinesExist());
  EXPECT_EQ(LastLogLine(), "");
}

TEST_F(TestLogTest, TwoThreadsLoggingKeepEveryLineWhole) {
  constexpr int kPerThread = 500;
  auto writer = [](char mark) {
    for (int i = 0; i < kPerThread; ++i) WriteLogText(std::string(40, mark));
  };
  std::thread worker(writer, 'w');
  writer('g');
  os_.SetSecond(42);
  worker.join();
  int worker_lines = 0;
  for (const std::string& message : MessagesInClear()) {
    ASSERT_TRUE(message == std::string(40, 'w') || message == std::string(40, 'g')) << message;
    worker_lines += message[0] == 'w';
  }
  EXPECT_EQ(worker_lines, kPerThread);
  EXPECT_EQ(LogLineCount(), 2u * kPerThread);
}

// A line nobody claims is the station's: a run's own lines only, and what it sees as the log's
// last line, unless its unit is the only one attached (then the station is its run, as always).
TEST_F(TestLogTest, AStationLineIsARunsOnlyWhileItsUnitIsAlone) {
  struct Case {
    std::size_t units;
    std::vector<std::string> runLines;
    const char* lastSeen;
  };
  for (const Case& c : {Case{1, {"own", "station"}, "station"},
                        Case{0, {"own", "station"}, "station"}, Case{2, {"own"}, "own"}}) {
    ReleaseLogLines();
    CreateLogLines();
    SetLogStationUnits(c.units);
    BeginLogRun(1, "A");
    {
      ScopedLogOwner owner(1);
      WriteLogText("own");
    }
    WriteLogText("station");
    std::vector<std::string> lines;
    for (const std::string& line : RunLogLines(1, 0)) lines.push_back(InClear(line));
    EXPECT_EQ(lines, c.runLines) << c.units;
    EXPECT_EQ(InClear(LastLogLineOf(1, 0)), c.lastSeen) << c.units;
    EndLogRun(1);
  }
}

// A tag reads back as the tag it was, whatever bytes a serial holds, and only the whole tag
// text does: no serial's characters end a tag early or make it read as another.
TEST(LogTagText, EveryTagReadsBackWholeAndOnlyAsItself) {
  std::vector<std::string> tags = {"HV22A0001", "HV22A0001> X", "A\\x3E", "<A> <B>",
                                   "[1] ZP61 (-)"};
  for (int c = 0; c < 256; ++c) tags.push_back(std::string("S") + static_cast<char>(c) + "E");
  for (const std::string& tag : tags) {
    const std::string text = LogTagText(tag);
    EXPECT_EQ(text.find('>'), text.size() - 2) << tag;
    for (const char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << tag;
    const auto read = LogTagOf(text + "AT+C00 = OK> x");
    ASSERT_TRUE(read) << tag;
    EXPECT_EQ(read->tag, tag);
    EXPECT_EQ(read->length, text.size()) << tag;
  }
  EXPECT_EQ(LogTagText("HV22A0001> X"), "<HV22A0001\\x3E X> ");
  for (const char* untagged : {"AT+C00 = OK", "<A>B", "<A\\x4> x", "<A\\y41> x", "<A"}) {
    EXPECT_FALSE(LogTagOf(untagged)) << untagged;
  }
}

// --- host report --------------------------------------------------------------------------

class HostReportTest : public TestLogTest {
 protected:
  void SetUp() override {
    TestLogTest::SetUp();
    os_.keys[CpuKey(0)]["ProcessorNameString"] = Sz("Core A");
    os_.keys[CpuKey(1)]["ProcessorNameString"] = Sz("Core B");
    auto& version = os_.keys[kVersionKey];
    version["ProductName"] = Sz("Windows 7 Professional");
    version["CSDVersion"] = Sz("Service Pack 1");
    version["CurrentVersion"] = Sz("6.1");
    version["CurrentBuild"] = Sz("7601");
    version["CurrentBuildNumber"] = Sz("7601");
    os_.memory = {0x7FFFFFFFu, 1048576u};
  }

  std::vector<std::string> CpuLines() {
    std::vector<std::string> cpu;
    for (const std::string& m : MessagesInClear()) {
      if (m.rfind("CPU: ", 0) == 0) cpu.push_back(m);
    }
    return cpu;
  }
};

TEST_F(HostReportTest, WritesTheBlockInOrder) {
  WriteHostReport();
  const std::vector<std::string> expected = {
      "=======Get CPU Information==============",
      "CPU: Core A",
      "CPU: Core B",
      "=======Get Memory Information===========",
      "TotalPhys: 2147483647 Bytes",
      "AvailPhys: 1048576 Bytes",
      "=======Get Windows OS Information=======",
      "ProductName = Windows 7 Professional",
      "CSDVersion = Service Pack 1",
      "CurrentVersion = 6.1",
      "CurrentBuild = 7601",
      "CurrentBuildNumber = 7601",
      "Test program version : JX RVM 3.0.0.1 Build Date: 2016-11-10",
      "========================================",
  };
  EXPECT_EQ(MessagesInClear(), expected);
  EXPECT_EQ(os_.OpenKeys(), 0);
}

TEST_F(HostReportTest, MemoryAbove2GiBReadsAsSigned) {
  os_.memory = {0xFFFFFFFFu, 0x80000000u};
  WriteHostReport();
  const auto messages = MessagesInClear();
  EXPECT_EQ(messages[4], "TotalPhys: -1 Bytes");
  EXPECT_EQ(messages[5], "AvailPhys: -2147483648 Bytes");
}

TEST_F(HostReportTest, FirstMissingProcessorKeyEndsTheLoop) {
  os_.keys[CpuKey(3)]["ProcessorNameString"] = Sz("after a gap");
  WriteHostReport();
  EXPECT_EQ(CpuLines(), (std::vector<std::string>{"CPU: Core A", "CPU: Core B"}));

  os_.keys.erase(CpuKey(0));
  ReleaseLogLines();
  CreateLogLines();
  WriteHostReport();
  EXPECT_TRUE(CpuLines().empty());
  EXPECT_EQ(LogLineCount(), 12u);
}

TEST_F(HostReportTest, AtMostSixteenProcessorLines) {
  for (int i = 0; i < 20; ++i) os_.keys[CpuKey(i)]["ProcessorNameString"] = Sz("P");
  WriteHostReport();
  EXPECT_EQ(CpuLines().size(), 16u);
}

TEST_F(HostReportTest, MissingVersionKeyDropsItsFiveLines) {
  os_.keys.erase(kVersionKey);
  WriteHostReport();
  const auto messages = MessagesInClear();
  ASSERT_EQ(messages.size(), 9u);
  EXPECT_EQ(messages[6], "=======Get Windows OS Information=======");
  EXPECT_EQ(messages[7], "Test program version : JX RVM 3.0.0.1 Build Date: 2016-11-10");
}

// Registry bytes are untrusted: the shown text never runs past the buffer or the value.
TEST_F(HostReportTest, RegistryValuesAreReadWithinTheirBuffer) {
  struct Case {
    const char* what;
    std::optional<Bytes> value;
    std::string shown;
  };
  const std::string full(256, 'F');
  const Case cases[] = {
      {"missing value", std::nullopt, ""},
      {"no terminator", Bytes{'C', 'o', 'r', 'e'}, "Core"},
      {"zero inside", Sz(std::string_view("ab\0cd", 5)), "ab"},
      {"256 bytes, no terminator", Bytes(full.begin(), full.end()), full},
      {"too long for the buffer", Sz(std::string(300, 'L')), ""},
      {"empty", Bytes{}, ""},
  };
  for (const Case& c : cases) {
    ReleaseLogLines();
    CreateLogLines();
    os_.keys[CpuKey(1)].clear();
    os_.keys[kVersionKey].erase("CSDVersion");
    if (c.value) {
      os_.keys[CpuKey(1)]["ProcessorNameString"] = *c.value;
      os_.keys[kVersionKey]["CSDVersion"] = *c.value;
    }
    WriteHostReport();
    const auto messages = MessagesInClear();
    ASSERT_EQ(messages.size(), 14u) << c.what;
    EXPECT_EQ(messages[2], "CPU: " + c.shown) << c.what;
    EXPECT_EQ(messages[8], "CSDVersion = " + c.shown) << c.what;
  }
}

// --- saving -------------------------------------------------------------------------------

class SaveLogTest : public TestLogTest {
 protected:
  void SetUp() override {
    TestLogTest::SetUp();
    std::random_device random;
    dir_ =
        std::filesystem::temp_directory_path() / ("veltrane-savelog-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    file_ = (dir_ / kLogFileName).string();
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    TestLogTest::TearDown();
  }

  std::string ExpectedFile() {
    std::string bytes;
    for (const std::string& line : LogLinesSnapshot()) bytes += line + "\r\n";
    return bytes;
  }

  std::filesystem::path dir_;
  std::string file_;
};

TEST_F(SaveLogTest, WritesEveryLineWithCrLfReplacingTheFile) {
  {
    std::ofstream old(file_, std::ios::binary);
    old << std::string(10000, 'o');
  }
  WriteLog("first");
  os_.now.second = 59;
  WriteLogText("second line");
  ASSERT_TRUE(SaveLogLines(file_.c_str()));
  const std::string saved = ReadWholeFile(file_);
  EXPECT_EQ(saved, ExpectedFile());
  EXPECT_EQ(saved.size(), 2 * (kLogPrefixLength + 2) + 5 + 11);
  EXPECT_EQ(os_.OpenFiles(), 0);
}

TEST_F(SaveLogTest, ShortWritesStillSaveEverything) {
  for (int i = 0; i < 50; ++i) WriteLog("line %d", i);
  os_.maxWriteChunk = 7;
  ASSERT_TRUE(SaveLogLines(file_.c_str()));
  EXPECT_EQ(ReadWholeFile(file_), ExpectedFile());
}

TEST_F(SaveLogTest, FailsCleanly) {
  WriteLog("something");
  const std::string unwritable = (dir_ / "no-such-directory" / kLogFileName).string();
  EXPECT_FALSE(SaveLogLines(unwritable.c_str()));

  os_.failWriteAfter = 10;
  EXPECT_FALSE(SaveLogLines(file_.c_str()));
  EXPECT_EQ(os_.OpenFiles(), 0);
  EXPECT_EQ(LogLineCount(), 1u);
}

}  // namespace
