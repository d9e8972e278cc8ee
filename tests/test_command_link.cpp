// The command link against a scripted autoloader: replies gathered from chunks, re-sends, the
// timed exchange, EEPROM lines, every form of reply line, lost links and the bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "device/CommandLink.h"
#include "device/Device.h"
#include "device/Discovery.h"
#include "device/Drives.h"
#include "platform/NullPlatform.h"
#include "report/TestLog.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// What one ReadFile on the read pipe gets.
struct Read {
  bool ok = true;
  Bytes bytes;
};

Read Chunk(std::string_view text) {
  return {true, Bytes(text.begin(), text.end())};
}
Read EmptyRead() {
  return {true, {}};
}
Read FailedRead() {
  return {false, {}};
}
std::vector<Read> Repeat(const Read& read, int times) {
  return std::vector<Read>(times, read);
}
std::vector<Read> Concat(std::vector<Read> a, const std::vector<Read>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr platform::Handle kLink1Read = 11;
constexpr platform::Handle kLink1Write = 12;
constexpr platform::Handle kLink2Read = 21;
constexpr platform::Handle kLink2Write = 22;

// An autoloader behind two pipe pairs (write handle = read handle + 1). Every write queues the
// scripted answer on the paired read pipe; once that is used up, a read gets `whenQuiet` (by
// default 0 bytes). The clock advances one hundredth per reading; waits return at once and only
// count their milliseconds.
class FakeAutoloader : public platform::NullPlatform {
 public:
  using Answer = std::function<std::vector<Read>(const CommandBlock& block, int writeIndex)>;

  Answer answer = [](const CommandBlock&, int) { return std::vector<Read>{}; };
  std::optional<Read> whenQuiet;
  std::uint32_t bytesWritten = 8;          // what a successful WriteFile reports
  std::function<void(int pause)> onPause;  // runs inside the n-th wait (1-based)

  void AnswerAlways(const std::vector<Read>& reads) {
    answer = [reads](const CommandBlock&, int) { return reads; };
  }

  struct Write {
    platform::Handle pipe;
    CommandBlock block;
  };
  std::vector<Write> Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  std::vector<std::int64_t> ReadTicks() {
    std::lock_guard lock(mutex_);
    return readTicks_;
  }
  int Reads() { return static_cast<int>(ReadTicks().size()); }
  std::uint32_t PausedMs() {
    std::lock_guard lock(mutex_);
    return pausedMs_;
  }

  // Pauses until a moment of the clock (the timed link's read pacing).
  int Paces() {
    std::lock_guard lock(mutex_);
    return paces_;
  }
  void PauseUntil(platform::Handle event, std::uint64_t untilMs) override {
    {
      std::lock_guard lock(mutex_);
      ++paces_;
    }
    NullPlatform::PauseUntil(event, untilMs);
  }

  std::uint32_t WaitForSingleObject(platform::Handle, std::uint32_t timeoutMs) override {
    int pause = 0;
    {
      std::lock_guard lock(mutex_);
      pausedMs_ += timeoutMs;
      pause = ++pauses_;
    }
    if (onPause) onPause(pause);
    return platform::kWaitTimeout;
  }
  bool WriteFile(platform::Handle file, const void* buffer, std::uint32_t size,
                 std::uint32_t* done) override {
    CommandBlock block{};
    std::memcpy(block.data(), buffer, std::min<std::size_t>(size, block.size()));
    std::lock_guard lock(mutex_);
    writes_.push_back({file, block});
    *done = 0;
    if (file != kLink1Write && file != kLink2Write) return false;
    const int index = static_cast<int>(writes_.size()) - 1;
    pending_[file - 1] = answer(block, index);
    *done = bytesWritten;
    return true;
  }
  bool ReadFile(platform::Handle file, void* buffer, std::uint32_t size,
                std::uint32_t* done) override {
    std::lock_guard lock(mutex_);
    readTicks_.push_back(Ticks());
    *done = 0;
    std::vector<Read>& queue = pending_[file];
    Read read = whenQuiet.value_or(EmptyRead());
    if (!queue.empty()) {
      read = queue.front();
      queue.erase(queue.begin());
    }
    if (!read.ok) return false;
    *done = static_cast<std::uint32_t>(std::min<std::size_t>(read.bytes.size(), size));
    if (*done > 0) std::memcpy(buffer, read.bytes.data(), *done);
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<Write> writes_;
  std::map<platform::Handle, std::vector<Read>> pending_;
  std::vector<std::int64_t> readTicks_;
  std::uint32_t pausedMs_ = 0;
  int pauses_ = 0;
  int paces_ = 0;
};

std::string InClear(const std::string& line) {
  return UnscrambleLogText(std::string_view(line).substr(kLogPrefixLength),
                           LogOffsetForPrefix(line));
}

std::vector<std::string> MessagesInClear() {
  std::vector<std::string> messages;
  for (const std::string& line : LogLinesSnapshot()) messages.push_back(InClear(line));
  return messages;
}

std::string Spaces(int n) {
  return std::string(n, ' ');
}
const std::string kMargin = Spaces(9);
const std::string kTm36pMargin = Spaces(22);

class CommandLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetPlatform(&device_);
    ReleaseLogLines();
    CreateLogLines();
  }
  void TearDown() override {
    SelectedDevice = nullptr;
    entries_.clear();  // closes their pipes through the platform
    ReleaseLogLines();
    platform::SetPlatform(nullptr);
  }

  DeviceEntry* AddEntry(const std::string& model, const char* vidPid, bool link2Open = false) {
    auto entry = std::make_unique<DeviceEntry>();
    entry->ModelName = model;
    std::snprintf(entry->VidPidText, sizeof entry->VidPidText, "%s", vidPid);
    entry->Link1Read = kLink1Read;
    entry->Link1Write = kLink1Write;
    if (link2Open) {
      entry->Link2Read = kLink2Read;
      entry->Link2Write = kLink2Write;
      entry->Link2Flag = kFlagOpen;
    }
    entries_.push_back(std::move(entry));
    return entries_.back().get();
  }

  // Holds the command under way inside its n-th pause until Release: the test acts on the GUI
  // thread's side (a removal, another caller) while the link is mid-command.
  struct PauseGate {
    std::promise<void> reached;
    std::promise<void> released;
    std::shared_future<void> releasedSeen = released.get_future().share();
    void WaitReached() { reached.get_future().wait(); }
    void Release() { released.set_value(); }
  };
  void HoldAtPause(PauseGate& gate, int n) {
    device_.onPause = [&gate, n](int pause) {
      if (pause != n) return;
      gate.reached.set_value();
      gate.releasedSeen.wait();
    };
  }

  FakeAutoloader device_;
  std::vector<std::unique_ptr<DeviceEntry>> entries_;
};

// --- PipeExchange ----------------------------------------------------------------------------

struct JoinCase {
  const char* name;
  std::vector<Read> reads;
  bool final;
  std::string reply;
};

TEST_F(CommandLinkTest, PipeExchangeJoinsChunkTextsWithSemicolons) {
  const std::string unterminated = std::string(61, 'x') + "AT+";
  const JoinCase cases[] = {
      {"one chunk", {Chunk("AT+O OK")}, true, "AT+O OK"},
      {"two data chunks and a final one",
       {Chunk("D1"), Chunk("D2"), Chunk("AT+O OK")},
       true,
       "D1;D2;AT+O OK"},
      {"empty text first adds no separator",
       {Chunk(std::string("\0z", 2)), Chunk("X"), Chunk("AT+O")},
       true,
       "X;AT+O"},
      {"empty text later adds a separator",
       {Chunk("X"), Chunk(std::string("\0", 1)), Chunk("AT+O")},
       true,
       "X;;AT+O"},
      {"empty and failed reads add nothing",
       {EmptyRead(), Chunk("X"), FailedRead(), EmptyRead(), Chunk("AT+O")},
       true,
       "X;AT+O"},
      {"64 bytes without a zero", {Chunk(unterminated)}, true, unterminated},
      {"text ends at the first zero", {Chunk(std::string("AT+O\0junk", 9))}, true, "AT+O"},
      {"no final chunk", {Chunk("X")}, false, "X"},
  };
  for (const JoinCase& c : cases) {
    SCOPED_TRACE(c.name);
    device_.AnswerAlways(c.reads);
    std::string reply = "stale";
    EXPECT_EQ(PipeExchange(kLink1Read, kLink1Write, AtR01, reply), c.final);
    EXPECT_EQ(reply, c.reply);
    ASSERT_FALSE(device_.Writes().empty());
    EXPECT_EQ(device_.Writes().back().pipe, kLink1Write);
    EXPECT_EQ(device_.Writes().back().block, AtR01);
  }
}

TEST_F(CommandLinkTest, PipeExchangeEndsAfter31FailedOrEmptyReads) {
  struct Case {
    int badReads;
    bool final;
  } cases[] = {{30, true}, {31, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.badReads);
    // Failures and empty reads count alike; a chunk in between does not reset the count.
    std::vector<Read> reads = Repeat(FailedRead(), c.badReads / 2);
    reads.push_back(Chunk("data"));
    reads = Concat(reads, Repeat(EmptyRead(), c.badReads - c.badReads / 2));
    reads.push_back(Chunk("AT+O OK"));
    device_.AnswerAlways(reads);
    const int readsBefore = device_.Reads();
    std::string reply;
    EXPECT_EQ(PipeExchange(kLink1Read, kLink1Write, AtC00, reply), c.final);
    EXPECT_EQ(device_.Reads() - readsBefore, c.badReads + 1 + (c.final ? 1 : 0));
  }
}

TEST_F(CommandLinkTest, PipeExchangeReadsNothingAfterAFailedWrite) {
  std::string reply = "stale";
  EXPECT_FALSE(PipeExchange(kLink2Read, platform::kInvalidHandle, AtR01, reply));
  EXPECT_EQ(reply, "");
  EXPECT_EQ(device_.Reads(), 0);
}

TEST_F(CommandLinkTest, PipeExchangeGivesUpOnEndlessChunksWithoutFinal) {
  device_.whenQuiet = Chunk("still busy");
  std::string reply;
  EXPECT_FALSE(PipeExchange(kLink1Read, kLink1Write, AtR01, reply));
  EXPECT_EQ(device_.Reads(), kMaxChunksPerReply);
}

// --- PipeExchangeTimed -----------------------------------------------------------------------

TEST_F(CommandLinkTest, PipeExchangeTimedCountsNonEmptyChunks) {
  device_.AnswerAlways({Chunk("a"), EmptyRead(), Chunk("b"), EmptyRead(), EmptyRead(), Chunk("c"),
                        Chunk("AT+O OK"), Chunk("never read")});
  std::string reply;
  EXPECT_EQ(PipeExchangeTimed(kLink1Read, kLink1Write, Lq40Cmd1, reply), 4);
  EXPECT_EQ(reply, "a;b;c;AT+O OK");
}

TEST_F(CommandLinkTest, PipeExchangeTimedFailures) {
  struct Case {
    const char* name;
    platform::Handle writePipe;
    std::uint32_t bytesWritten;
    std::vector<Read> reads;
    int result;
  } cases[] = {
      {"write fails", platform::kInvalidHandle, 8, {}, kTimedWriteFailed},
      {"write moves nothing", kLink1Write, 0, {}, kTimedWriteFailed},
      {"read fails",
       kLink1Write,
       8,
       {Chunk("a"), FailedRead(), Chunk("AT+O OK")},
       kTimedReadFailed},
      {"nothing final in time", kLink1Write, 8, {Chunk("a")}, kTimedOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device_.bytesWritten = c.bytesWritten;
    device_.AnswerAlways(c.reads);
    std::string reply;
    EXPECT_EQ(PipeExchangeTimed(kLink1Read, c.writePipe, Lq40Cmd1, reply), c.result);
  }
}

TEST_F(CommandLinkTest, PipeExchangeTimedGivesUpAfter31ChangesOfTheSeconds) {
  for (const CommandBlock& command : {Lq40Cmd1, Lq40Cmd12}) {
    SCOPED_TRACE(static_cast<int>(command[1]));
    const std::int64_t start = device_.Ticks();
    std::string reply;
    EXPECT_EQ(PipeExchangeTimed(kLink1Read, kLink1Write, command, reply), kTimedOut);
    const std::int64_t elapsed = device_.Ticks() - start;  // hundredths of the fake clock
    EXPECT_GT(elapsed, 3000);
    EXPECT_LT(elapsed, 3200);
  }
}

TEST_F(CommandLinkTest, PipeExchangeTimedPacesReadsExceptForTheIdentification) {
  device_.AnswerAlways({Chunk("a"), Chunk("b"), Chunk("AT+O OK")});
  std::string reply;
  ASSERT_EQ(PipeExchangeTimed(kLink1Read, kLink1Write, Lq40Cmd12, reply), 3);
  std::vector<std::int64_t> ticks = device_.ReadTicks();
  ASSERT_EQ(ticks.size(), 3u);
  // 0.3 s between reads, and not much more (the pace's own reading and the seconds' one): the
  // firmware's spacing, not what a coarse system tick would make of it.
  for (int i : {1, 2}) {
    EXPECT_GE(ticks[i] - ticks[i - 1], kTimedPaceHundredthsChanges);
    EXPECT_LE(ticks[i] - ticks[i - 1], kTimedPaceHundredthsChanges + 3);
  }
  // Each pace is a pause on the platform's clock (the core is free meanwhile), not a spin.
  EXPECT_EQ(device_.Paces(), 2);

  ASSERT_EQ(PipeExchangeTimed(kLink1Read, kLink1Write, Lq40Cmd1, reply), 3);
  ticks = device_.ReadTicks();
  EXPECT_LT(ticks[4] - ticks[3], kTimedPaceHundredthsChanges);
  EXPECT_EQ(device_.Paces(), 2);
}

TEST_F(CommandLinkTest, PipeExchangeTimedGivesUpOnEndlessChunksWithoutFinal) {
  device_.whenQuiet = Chunk("more");
  std::string reply;
  EXPECT_EQ(PipeExchangeTimed(kLink1Read, kLink1Write, Lq40Cmd1, reply), kTimedOut);
  EXPECT_EQ(device_.Reads(), kMaxChunksPerReply);
}

// --- IsFinalChunk and the EEPROM lines -------------------------------------------------------

TEST_F(CommandLinkTest, IsFinalChunkLogsOnlyEepromDataChunks) {
  struct Case {
    const char* name;
    CommandBlock command;
    std::string chunk;
    bool final;
    std::vector<std::string> lines;
  } cases[] = {
      {"eeprom data",
       MakeEepromRead(0x10),
       "\x01\x02\x03\x04\x05\x06\x07\xFEtail",
       false,
       {"10:17  01 02 03 04 05 06 07 FE"}},
      {"eeprom data starting with zero",
       MakeEepromRead(0),
       std::string("\0\x11", 2),
       false,
       {"00:07  00 11 00 00 00 00 00 00"}},
      {"eeprom final chunk", MakeEepromRead(0), "AT+O", true, {}},
      {"eeprom chunk with OK", MakeEepromRead(0), "OK", false, {}},
      {"other command's data", AtI00, "\x01\x02", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseLogLines();
    CreateLogLines();
    ReplyChunk chunk{};
    std::memcpy(chunk.data(), c.chunk.data(), std::min(c.chunk.size(), chunk.size()));
    EXPECT_EQ(IsFinalChunk(c.command, chunk), c.final);
    EXPECT_EQ(MessagesInClear(), c.lines);
  }
}

TEST_F(CommandLinkTest, EepromReadOf128BytesLogsSixteenLines) {
  DeviceEntry* entry = AddEntry("TM36K", "VID_1723&PID_0903");
  // The device answers each read with its 8 bytes (byte value = address), then "AT+O OK".
  device_.answer = [](const CommandBlock& block, int) {
    Bytes data;
    for (int a = block[4]; a <= block[5]; ++a) data.push_back(static_cast<std::uint8_t>(a));
    return std::vector<Read>{{true, data}, Chunk("AT+O OK")};
  };
  const std::atomic<bool> quiet{false};  // the hex lines do not depend on it
  const CommandChannel channel(entry, platform::kInvalidHandle, &quiet);
  std::vector<std::string> expected;
  for (int i = 0; i < kEepromReadCount; ++i) {
    const int start = i * kEepromReadBytes;
    ASSERT_TRUE(SendCommand(channel, MakeEepromRead(static_cast<std::uint8_t>(start)), 1));
    char line[64];
    std::snprintf(line, sizeof line, "%02X:%02X  %02X %02X %02X %02X %02X %02X %02X %02X", start,
                  start + 7, start, start + 1, start + 2, start + 3, start + 4, start + 5,
                  start + 6, start + 7);
    expected.push_back(line);
  }
  EXPECT_EQ(expected.front(), "00:07  00 01 02 03 04 05 06 07");
  EXPECT_EQ(expected.back(), "78:7F  78 79 7A 7B 7C 7D 7E 7F");
  EXPECT_EQ(MessagesInClear(), expected);
}

// --- SendCommand: acceptance, re-sends, targets ----------------------------------------------

TEST_F(CommandLinkTest, FinalChunkWithoutOkIsSentAgainAfter100Ms) {
  CommandChannel channel(AddEntry("ZP61", "VID_1723&PID_0935"), platform::kInvalidHandle);
  device_.answer = [](const CommandBlock&, int write) {
    return write == 0 ? std::vector<Read>{Chunk("AT+S12")} : std::vector<Read>{Chunk("AT+O OK")};
  };
  const CommandReply reply = SendCommand(channel, AtR01, 1);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply.text, "AT+O OK");
  const auto writes = device_.Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].block, AtR01);
  EXPECT_EQ(device_.PausedMs(), kResendPauseMs);
  EXPECT_EQ(MessagesInClear(), std::vector<std::string>{"AT+R01 = AT+O OK"});
}

TEST_F(CommandLinkTest, Lq40LinkOneWaitsForSlowAnswersOnTheClock) {
  // 40 empty reads would end an ordinary exchange; the LQ40's timed one keeps reading.
  const std::vector<Read> slow = Concat(Repeat(EmptyRead(), 40), {Chunk("AT+O OK")});
  struct Case {
    const char* vidPid;
    std::size_t writes;
  } cases[] = {{"VID_1723&PID_0101", 1}, {"VID_1723&PID_0935", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vidPid);
    FakeAutoloader device;
    platform::SetPlatform(&device);
    device.answer = [&slow](const CommandBlock&, int write) {
      return write == 0 ? slow : std::vector<Read>{Chunk("AT+O OK")};
    };
    DeviceEntry* entry = AddEntry("any", c.vidPid);
    CommandChannel channel(entry, platform::kInvalidHandle);
    EXPECT_TRUE(SendCommand(channel, Lq40Cmd12, 1));
    EXPECT_EQ(device.Writes().size(), c.writes);
    entry->Link1Read = platform::kInvalidHandle;  // closed with this fake, not the fixture's
    entry->Link1Write = platform::kInvalidHandle;
  }
  platform::SetPlatform(&device_);
}

TEST_F(CommandLinkTest, EachCallerSendsThroughItsOwnChannel) {
  DeviceEntry* selected = AddEntry("ZP61", "VID_1723&PID_0935");
  DeviceEntry* tested = AddEntry("TM36P", "VID_1723&PID_0907", /*link2Open=*/true);
  selected->Link1Write = kLink2Write;  // tells the two entries apart by the pipe written
  selected->Link1Read = kLink2Read;
  device_.AnswerAlways({Chunk("AT+O OK")});

  SelectedDevice = selected;
  const CommandReply none = SendCommand(CommandChannel{}, StatusQuery, 1);
  EXPECT_FALSE(none) << "a channel without a target addresses nobody, not the selected unit";
  EXPECT_EQ(none.text, "");
  EXPECT_TRUE(device_.Writes().empty());

  // A run muting its housekeeping reads mutes neither the window (discovery) nor another run;
  // each caller gets its own reply back.
  const std::atomic<bool> runLogs{false};
  std::thread worker([tested, &runLogs] {
    const CommandChannel channel(tested, platform::kInvalidHandle, &runLogs);
    EXPECT_EQ(channel.Target(), tested);
    EXPECT_FALSE(channel.LoggingOn());
    EXPECT_EQ(SendCommand(channel, StatusQuery, 1).text, "AT+O OK");
  });
  worker.join();
  EXPECT_TRUE(MessagesInClear().empty()) << "the muted run logged its reply";
  const CommandChannel window(selected, platform::kInvalidHandle);
  EXPECT_TRUE(window.LoggingOn());
  EXPECT_TRUE(SendCommand(window, AtC00, 1));
  EXPECT_EQ(MessagesInClear().size(), 1u) << "the window's reply is logged";

  const auto writes = device_.Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].pipe, kLink1Write);
  EXPECT_EQ(writes[1].pipe, kLink2Write);
}

// --- SendCommand: the reply lines ------------------------------------------------------------

// A unit as the link sees it: model name and vendor/product text.
struct Unit {
  const char* model;
  const char* vidPid;
};

struct LogCase {
  const char* name;
  Unit unit;
  int link;
  CommandBlock command;
  std::vector<Read> reply;
  std::vector<std::string> lines;
};

TEST_F(CommandLinkTest, RepliesAreLoggedInTheFormOfTheirCommand) {
  const Unit zp{"ZP61", "VID_1723&PID_0935"};
  const Unit hv{"HV22", "VID_1723&PID_0923"};
  const Unit tm36k{"TM36K", "VID_1723&PID_0903"};
  const Unit tm36p{"TM36P", "VID_1723&PID_0907"};
  const Unit lq{"LQ40", "VID_1723&PID_0101"};
  const std::string longField(40, 'L');
  const std::string field25(25, 'E');
  const std::vector<Read> ok = {Chunk("AT+O OK")};
  const std::vector<Read> info = {Chunk("A"), Chunk("B"), Chunk("C"), Chunk("AT+O OK")};
  // clang-format off
  const LogCase cases[] = {
      {"letter and number", zp, 1, AtR01, {Chunk("S1"), Chunk("AT+O OK")},
       {"AT+R01 = S1;AT+O OK"}},
      {"number in hexadecimal", hv, 1, AtR90, ok, {"AT+R90 = AT+O OK"}},
      {"TM36K has no mark", tm36k, 1, AtP00, ok, {"AT+P00 = AT+O OK"}},
      {"TM36P link 1", tm36p, 1, AtT01, ok, {"(TM36P-TM36) AT+T01 = AT+O OK"}},
      {"TM36P link 2", tm36p, 2, AtG99, ok, {"(TM36P-HV22) AT+G99 = AT+O OK"}},
      {"status query", hv, 1, StatusQuery, ok, {"AT+? = AT+O OK"}},
      {"status query TM36P link 1", tm36p, 1, StatusQuery, ok, {"(TM36P-TM36) AT+? = AT+O OK"}},
      {"status query TM36P link 2", tm36p, 2, StatusQuery, ok, {"(TM36P-HV22) AT+? = AT+O OK"}},
      {"LQ40 numbered command", lq, 1, Lq40Cmd12, ok, {"LQ40_CMD[12] = AT+O OK"}},
      {"numbered command elsewhere", zp, 1, Lq40Cmd3, ok, {}},
      {"byte 0 set", lq, 1, CommandBlock{1, 0, 'R', 1, 0, 0, 0, 0}, ok, {}},
      {"EEPROM read", zp, 1, MakeEepromRead(0x08),
       {Chunk("\x01\x02\x03\x04\x05\x06\x07\x08"), Chunk("AT+O OK")},
       {"08:0F  01 02 03 04 05 06 07 08"}},
      {"device text is not a format", zp, 1, AtR01, {Chunk("%s%n%d AT+O OK")},
       {"AT+R01 = %s%n%d AT+O OK"}},
      {"device information", zp, 1, AtI00, info,
       {kMargin + "A", kMargin + Spaces(24) + "C", "AT+I00 = AT+O OK"}},
      {"device information, empty fields skipped", zp, 1, AtI00,
       {Chunk("A;;B"), Chunk(std::string("\0", 1)), Chunk("C;AT+O OK")},
       {kMargin + "A", kMargin + Spaces(24) + "C", "AT+I00 = AT+O OK"}},
      {"device information on TM36P link 2", tm36p, 2, AtI00, info,
       {kTm36pMargin + "A", kTm36pMargin + Spaces(24) + "C", "(TM36P-HV22) AT+I00 = AT+O OK"}},
      {"device information, AT+ without OK", hv, 1, AtI00, {Chunk("N0;AT+V1;N2;OK V3;x;AT+O OK")},
       {kMargin + "N0", kMargin + "AT+V1", kMargin + Spaces(23) + "N2",
        kMargin + Spaces(24) + "x", "AT+I00 = AT+O OK"}},
      {"device information, long fields whole", zp, 1, AtI00,
       {Chunk(longField), Chunk("B"), Chunk(field25), Chunk("B"), Chunk(longField),
        Chunk("AT+O OK")},
       {kMargin + longField, kMargin + field25, kMargin + longField, "AT+I00 = AT+O OK"}},
      {"device information, text is not a format", zp, 1, AtI00,
       {Chunk("%n%s;B;%d"), Chunk("AT+O OK")},
       {kMargin + "%n%s", kMargin + Spaces(23) + "%d", "AT+I00 = AT+O OK"}},
      {"device information 99", hv, 1, AtI99, {Chunk("F0;F1;F2;F3"), Chunk("AT+O OK")},
       {kMargin + Spaces(7) + "F1", kMargin + Spaces(23) + "F3", "AT+I99 = AT+O OK"}},
      {"device information 99 on TM36P link 1", tm36p, 1, AtI99,
       {Chunk("F0;" + longField + ";F2;F3;AT+O OK")},
       {kTm36pMargin + Spaces(7) + longField, kTm36pMargin + Spaces(23) + "F3",
        "(TM36P-TM36) AT+I99 = AT+O OK"}},
  };
  // clang-format on
  for (const LogCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseLogLines();
    CreateLogLines();
    CommandChannel channel(AddEntry(c.unit.model, c.unit.vidPid, /*link2Open=*/true),
                           platform::kInvalidHandle);
    device_.AnswerAlways(c.reply);
    ASSERT_TRUE(SendCommand(channel, c.command, c.link));
    EXPECT_EQ(MessagesInClear(), c.lines);
  }
}

TEST_F(CommandLinkTest, NoReplyLinesWhileCommandLoggingIsClear) {
  const std::atomic<bool> quiet{false};
  const CommandChannel channel(AddEntry("TM36P", "VID_1723&PID_0907", /*link2Open=*/true),
                               platform::kInvalidHandle, &quiet);
  device_.AnswerAlways({Chunk("A;B;C;AT+O OK")});
  for (const CommandBlock& command : {StatusQuery, AtC00, AtI00, AtI99}) {
    EXPECT_TRUE(SendCommand(channel, command, 2));
  }
  EXPECT_TRUE(MessagesInClear().empty());
}

// --- SendCommand: lost links and the bound ---------------------------------------------------

TEST_F(CommandLinkTest, LinkTwoNeverOpenedFailsAfterOneAttempt) {
  CommandChannel channel(AddEntry("TM36K", "VID_1723&PID_0903"), platform::kInvalidHandle);
  device_.AnswerAlways({Chunk("AT+O OK")});
  const CommandReply reply = SendCommand(channel, AtR01, 2);
  EXPECT_FALSE(reply);
  EXPECT_EQ(reply.text, "");
  const auto writes = device_.Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].pipe, platform::kInvalidHandle);
  EXPECT_EQ(device_.Reads(), 0);
  EXPECT_EQ(device_.PausedMs(), kResendPauseMs);
  EXPECT_TRUE(MessagesInClear().empty());
}

TEST_F(CommandLinkTest, LinkOtherThanOneOrTwoSendsNothing) {
  CommandChannel channel(AddEntry("TM36K", "VID_1723&PID_0903"), platform::kInvalidHandle);
  EXPECT_FALSE(SendCommand(channel, AtR01, 3));
  EXPECT_TRUE(device_.Writes().empty());
}

TEST_F(CommandLinkTest, DepartureDuringACommandEndsItAtTheNextPause) {
  DeviceEntry* entry = AddEntry("HV22", "VID_1723&PID_0923");
  device_.AnswerAlways({Chunk("AT+S01")});  // final, never accepted
  PauseGate thirdPause;
  HoldAtPause(thirdPause, 3);
  std::atomic<bool> result{true};
  std::thread worker([&] {
    CommandChannel channel(entry, platform::kInvalidHandle);
    result = SendCommand(channel, AtR01, 1).accepted;
  });
  thirdPause.WaitReached();
  entry->Link1Flag = kFlagDeparted;  // what the removal scan does on the GUI thread
  thirdPause.Release();
  worker.join();

  EXPECT_FALSE(result);
  EXPECT_EQ(device_.Writes().size(), 3u);
  EXPECT_EQ(device_.PausedMs(), 3 * kResendPauseMs);
  EXPECT_TRUE(MessagesInClear().empty());
}

// A command's repetitions and their replies are one exchange: another thread asking the same
// link meanwhile (the window polling a sensor) is refused at once, writing and reading nothing;
// the other link of the unit is free, and the link is free again once the command has ended.
TEST_F(CommandLinkTest, ALinkInAnExchangeRefusesEveryOtherCallerAtOnce) {
  DeviceEntry* entry = AddEntry("TM36P", "VID_1723&PID_0935", /*link2Open=*/true);
  device_.answer = [](const CommandBlock& block, int) {
    return std::vector<Read>{Chunk(block[2] == 'R' ? "AT+S01" : "C00{000000000} OK AT+O")};
  };
  PauseGate secondPause;
  HoldAtPause(secondPause, 2);
  std::thread worker([&] {
    CommandChannel channel(entry, platform::kInvalidHandle);
    EXPECT_FALSE(SendCommand(channel, AtR01, 1));  // never accepted: it repeats to its bound
  });
  secondPause.WaitReached();
  CommandChannel channel(entry, platform::kInvalidHandle);
  const std::size_t writesBefore = device_.Writes().size();
  const int readsBefore = device_.Reads();
  EXPECT_FALSE(SendCommand(channel, AtC00, 1));
  EXPECT_EQ(device_.Writes().size(), writesBefore);
  EXPECT_EQ(device_.Reads(), readsBefore);
  EXPECT_TRUE(SendCommand(channel, AtC00, 2)) << "the unit's other link";
  secondPause.Release();
  worker.join();
  EXPECT_TRUE(SendCommand(channel, AtC00, 1)) << "free again";
}

TEST_F(CommandLinkTest, AcceptedReplyOnADepartedLinkIsNotSuccess) {
  DeviceEntry* entry = AddEntry("ZP61", "VID_1723&PID_0935");
  CommandChannel channel(entry, platform::kInvalidHandle);
  device_.answer = [entry](const CommandBlock&, int) {
    entry->Link1Flag = kFlagDeparted;  // gone while the reply was on its way
    return std::vector<Read>{Chunk("AT+O OK")};
  };
  EXPECT_FALSE(SendCommand(channel, AtR01, 1));
  EXPECT_TRUE(MessagesInClear().empty());
}

TEST_F(CommandLinkTest, SilentDeviceEndsAtTheRepetitionBound) {
  CommandChannel channel(AddEntry("ZP61", "VID_1723&PID_0935"), platform::kInvalidHandle);
  EXPECT_FALSE(SendCommand(channel, AtR01, 1));
  EXPECT_EQ(device_.Writes().size(), static_cast<std::size_t>(kMaxSendRepetitions));
  EXPECT_EQ(device_.Reads(), kMaxSendRepetitions * kMaxReadFailures);
  EXPECT_EQ(device_.PausedMs(), kMaxSendRepetitions * kResendPauseMs);
}

TEST_F(CommandLinkTest, EndlessChunksEndAtBothBounds) {
  CommandChannel channel(AddEntry("ZP61", "VID_1723&PID_0935"), platform::kInvalidHandle);
  device_.whenQuiet = Chunk("busy");
  EXPECT_FALSE(SendCommand(channel, AtR01, 1));
  EXPECT_EQ(device_.Writes().size(), static_cast<std::size_t>(kMaxSendRepetitions));
  EXPECT_EQ(device_.Reads(), kMaxSendRepetitions * kMaxChunksPerReply);
}

// --- A jump of the time of day ----------------------------------------------------------------

constexpr std::int64_t kHour = 60 * 60 * 100;  // hundredths
constexpr std::int64_t kMinute = 60 * 100;

// A station whose time of day jumps once, as at a daylight-saving change or when the clock is
// set: it shows `at` (hundredths of the day) on the reading `jumpAt`, `jump` hundredths away
// from where it would have been, and goes round at midnight. The monotonic clock runs on evenly,
// one hundredth a reading, as the fake's always does.
class JumpingDay : public FakeAutoloader {
 public:
  JumpingDay(std::int64_t at, std::int64_t jumpAt, std::int64_t jump)
      : start_(at - jump - jumpAt), jumpAt_(jumpAt), jump_(jump) {}
  platform::LocalTime GetLocalTime() override {
    constexpr std::int64_t kDay = 24 * kHour;
    const auto reading = static_cast<std::int64_t>(MonotonicMs() / 10);
    const std::int64_t shown = start_ + reading + (reading >= jumpAt_ ? jump_ : 0);
    const std::int64_t t = (shown % kDay + kDay) % kDay;
    return {2026,
            10,
            25,
            static_cast<int>(t / kHour),
            static_cast<int>(t / kMinute % 60),
            static_cast<int>(t / 100 % 60),
            static_cast<int>(t % 100)};
  }

 private:
  std::int64_t start_;
  std::int64_t jumpAt_;
  std::int64_t jump_;
};

// What a bound's run shows: the blocks written and the spans it lasted (hundredths of the
// monotonic clock).
struct Seen {
  std::size_t writes = 0;
  std::vector<std::int64_t> spans;
  bool operator==(const Seen&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Seen& seen) {
    out << seen.writes << " writes, spans";
    for (std::int64_t span : seen.spans) out << ' ' << span;
    return out;
  }
};

TEST_F(CommandLinkTest, AJumpOfTheTimeOfDayMovesNoBound) {
  struct Jump {
    const char* name;
    std::int64_t at;    // the time of day shown once it has jumped
    std::int64_t jump;  // hundredths
  } const jumps[] = {
      {"daylight saving ends (03:00 back to 02:00)", 2 * kHour, -kHour},
      {"daylight saving begins (02:00 on to 03:00)", 3 * kHour, kHour},
      {"clock set back 2 min 37.25 s", 14 * kHour + 30 * kMinute, -(2 * kMinute + 3725)},
      {"clock set forward 10 min 12.5 s", 14 * kHour + 30 * kMinute, 10 * kMinute + 1250},
      {"midnight", 0, 0},
  };
  DeviceEntry* zp61 = AddEntry("ZP61", "VID_1723&PID_0935");
  DeviceEntry* lq40 = AddEntry("LQ40", "VID_1723&PID_0101");
  struct Bound {
    const char* name;
    std::int64_t jumpAt;  // a reading while the bound runs
    std::int64_t least;   // each span lasts at least this long
    std::function<Seen(JumpingDay&)> run;
  } const bounds[] = {
      {"discovery's share of a silent unit", 100, kUnitDiscoveryHundredths,
       [&](JumpingDay& os) {
         CommandChannel channel(zp61, platform::kInvalidHandle);
         const LinkTimeBound bound(channel, kUnitDiscoveryHundredths);
         EXPECT_FALSE(SendCommand(channel, AtR01, 1));
         return Seen{os.Writes().size(), {bound.Elapsed()}};
       }},
      {"SendCommand's minute of repetitions on the timed link", 4000, kMaxRepeatingHundredths,
       [&](JumpingDay& os) {
         CommandChannel channel(lq40, platform::kInvalidHandle);
         const std::int64_t start = os.Ticks();
         EXPECT_FALSE(SendCommand(channel, Lq40Cmd12, 1));
         return Seen{os.Writes().size(), {os.Ticks() - start}};
       }},
      {"the LQ40's read pacing", 20, kTimedPaceHundredthsChanges,
       [&](JumpingDay& os) {
         os.AnswerAlways({Chunk("a"), Chunk("b"), Chunk("AT+O OK")});
         std::string reply;
         EXPECT_EQ(PipeExchangeTimed(kLink1Read, kLink1Write, Lq40Cmd12, reply), 3);
         const std::vector<std::int64_t> t = os.ReadTicks();
         return t.size() == 3 ? Seen{os.Writes().size(), {t[1] - t[0], t[2] - t[1]}} : Seen{};
       }},
  };
  for (const Bound& b : bounds) {
    SCOPED_TRACE(b.name);
    JumpingDay steady(10 * kHour, b.jumpAt, 0);
    platform::SetPlatform(&steady);
    const Seen expected = b.run(steady);
    ASSERT_FALSE(expected.spans.empty());
    for (std::int64_t span : expected.spans) EXPECT_GE(span, b.least);
    for (const Jump& j : jumps) {
      SCOPED_TRACE(j.name);
      JumpingDay os(j.at, b.jumpAt, j.jump);
      platform::SetPlatform(&os);
      EXPECT_EQ(b.run(os), expected);
    }
  }
  platform::SetPlatform(&device_);
}

// --- Handles let go while a transfer is in flight ---------------------------------------------

// A device whose reads and tray requests stay in flight until they are cancelled (or, so that a
// fault cannot hold the suite, until a short while has passed). A deaf one ignores the cancels:
// its transfers end only when told to, however long after the closer gave up waiting. It notes
// what reaches which handle, in order.
class HeldTransfers : public platform::NullPlatform {
 public:
  explicit HeldTransfers(bool deaf = false) : deaf_(deaf) {}
  // A deaf device's transfers in flight end now.
  void Finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool WaitFor(const std::string& event) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      return std::find(events_.begin(), events_.end(), event) != events_.end();
    });
  }
  bool CancelIoEx(platform::Handle file) override {
    Note("cancel", file);
    std::lock_guard lock(mutex_);
    cancelled_[file] = true;
    changed_.notify_all();
    return true;
  }
  bool CloseHandle(platform::Handle file) override {
    Note("close", file);
    return true;
  }
  bool WriteFile(platform::Handle, const void*, std::uint32_t size, std::uint32_t* done) override {
    *done = size;
    return true;
  }
  bool ReadFile(platform::Handle file, void*, std::uint32_t, std::uint32_t* done) override {
    *done = 0;
    return Held(file);
  }
  bool DeviceIoControl(platform::Handle file, std::uint32_t, const void*, std::uint32_t, void*,
                       std::uint32_t, std::uint32_t* returned) override {
    *returned = 0;
    return Held(file);
  }

 private:
  void Note(const char* what, platform::Handle file) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::string(what) + " " + std::to_string(file));
    changed_.notify_all();
  }
  bool Held(platform::Handle file) {
    Note("transfer", file);
    std::unique_lock lock(mutex_);
    if (deaf_) {
      changed_.wait_for(lock, std::chrono::seconds(10), [&] { return finished_; });
    } else {
      changed_.wait_for(lock, std::chrono::milliseconds(300), [&] { return cancelled_[file]; });
    }
    cancelled_[file] = false;
    events_.push_back("ended " + std::to_string(file));
    return false;
  }
  const bool deaf_;
  bool finished_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<platform::Handle, bool> cancelled_;
  std::vector<std::string> events_;
};

// The events with each run of repeated cancels (the closer repeats them while it waits) as one,
// and without the cancels of a link's write pipe (8): the link's pipes are let go together, and
// a cancel of the write pipe, which has no transfer under way while the read is held, does
// nothing.
std::vector<std::string> CancelsOnce(const std::vector<std::string>& events) {
  std::vector<std::string> out;
  for (const std::string& e : events) {
    if (e == "cancel 8" || (e.starts_with("cancel") && !out.empty() && out.back() == e)) continue;
    out.push_back(e);
  }
  return out;
}

// Windows asks to remove a device while the worker is inside a transfer on its handle: the
// handle is closed only after that transfer has been cancelled and has ended, and the worker
// makes no further request, so none can reach a device opened meanwhile under the same value.
// A transfer that outlives the closer's wait keeps its handle: the query is answered no, the
// handle never closed under the transfer and still the drive's or the link's afterwards, so the
// next request goes through it.
struct HeldCase {
  const char* name;
  bool drive;  // a tray request on drive E:, or a command on a link (pipes 7 and 8)
  std::vector<std::string> events;
  bool outlivesWait = false;  // the transfer ignores the cancels and ends after the wait
};

void PrintTo(const HeldCase& c, std::ostream* out) {
  *out << c.name;
}

class HandleInUse : public ::testing::TestWithParam<HeldCase> {};

TEST_P(HandleInUse, IsClosedOnlyAfterItsTransferWasCancelledAndEnded) {
  const HeldCase& c = GetParam();
  HeldTransfers device(c.outlivesWait);
  platform::SetPlatform(&device);
  auto entry = std::make_unique<DeviceEntry>();
  std::snprintf(entry->VidPidText, sizeof entry->VidPidText, "%s", "VID_1723&PID_0935");
  if (!c.drive) {
    entry->Link1Read = 7;
    entry->Link1Write = 8;
  }
  DeviceEntry* unit = entry.get();
  DeviceList.push_back(std::move(entry));
  if (c.drive) DriveHandles['E' - 'A'] = 7;
  std::thread worker([&] {
    if (c.drive) {
      EXPECT_FALSE(MoveDriveTray('E', true));
    } else {
      CommandChannel channel(unit, platform::kInvalidHandle);
      EXPECT_FALSE(SendCommand(channel, StatusQuery, 1));
    }
  });
  ASSERT_TRUE(device.WaitFor("transfer 7"));
  // The query to remove, on this (the GUI) thread: refused while the transfer holds the handle.
  EXPECT_EQ(ReleaseDeviceHandle(7), !c.outlivesWait);
  if (c.outlivesWait) {
    const auto events = device.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "close 7"), 0) << "closed under a transfer";
    device.Finish();
  }
  worker.join();
  // The refusal left the drive and the link working: the exchange reads on, the next tray
  // request goes through.
  if (c.outlivesWait && c.drive) MoveDriveTray('E', false);
  std::vector<std::string> events = CancelsOnce(device.Events());
  if (c.outlivesWait) events.resize(std::min(events.size(), c.events.size()));
  EXPECT_EQ(events, c.events);
  const platform::Handle kept = c.outlivesWait ? 7 : platform::kInvalidHandle;
  EXPECT_EQ(DriveHandles['E' - 'A'].exchange(platform::kInvalidHandle),
            c.drive ? kept : platform::kInvalidHandle);
  EXPECT_EQ(unit->Link1Read.load(), c.drive ? platform::kInvalidHandle : kept);
  EXPECT_EQ(unit->Link1Flag.load(), c.drive || c.outlivesWait ? kFlagOpen : kFlagDeparted);
  DeviceList.clear();
  platform::SetPlatform(nullptr);
}

// Two transfers on one handle at once (the worker's read and a tray request of the window's):
// the end of the first leaves the handle to the second, which the closer still waits for.
TEST(HandleInUse, IsHeldUntilTheLastOfSeveralUsesHasEnded) {
  HeldTransfers device;
  platform::SetPlatform(&device);
  std::atomic<platform::Handle> slot{7};
  auto first = std::make_unique<HandleUse>(slot);
  auto second = std::make_unique<HandleUse>(slot);
  first.reset();
  std::thread closer([&] { CloseDeviceHandle(slot); });
  EXPECT_TRUE(device.WaitFor("cancel 7")) << "the closer did not wait for the use still going";
  const auto events = device.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "close 7"), 0) << "closed under a use";
  second.reset();
  closer.join();
  EXPECT_EQ(CancelsOnce(device.Events()), (std::vector<std::string>{"cancel 7", "close 7"}));
  EXPECT_EQ(slot.load(), platform::kInvalidHandle);
  platform::SetPlatform(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Released, HandleInUse,
    ::testing::Values(
        HeldCase{"TrayRequest", true, {"transfer 7", "cancel 7", "ended 7", "close 7"}},
        HeldCase{"TrayRequestOutlivingTheWait",
                 true,
                 {"transfer 7", "cancel 7", "ended 7", "transfer 7", "ended 7"},
                 true},
        HeldCase{"PipeRead", false, {"transfer 7", "cancel 7", "ended 7", "close 7", "close 8"}},
        HeldCase{"PipeReadOutlivingTheWait",
                 false,
                 {"transfer 7", "cancel 7", "ended 7", "transfer 7"},
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
