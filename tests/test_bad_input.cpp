// Bad input from units and files, each case a fault that fuzzing found once: a reply left from an
// earlier command taken for the answer to a command that never reached the unit, a number too
// large for the JSON parser escaping the bench loader; and the bench's byte chunks that let a
// unit answer garbage.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/CommandLink.h"
#include "device/Device.h"
#include "platform/NullPlatform.h"
#include "platform/sim/bench/BenchLoader.h"
#include "report/TestLog.h"

namespace {

constexpr platform::Handle kRead = 11;
constexpr platform::Handle kWrite = 12;

// An LQ40 on link 1 that answers its first command and is then unplugged: every later write
// fails. The first pause after that is when the removal reaches the entry's link flag.
class UnpluggedAfterOneCommand : public platform::NullPlatform {
 public:
  explicit UnpluggedAfterOneCommand(DeviceEntry& entry) : entry_(entry) {}

  int writes = 0;
  int pauses = 0;

  std::uint32_t WaitForSingleObject(platform::Handle, std::uint32_t) override {
    if (++pauses == 1) entry_.Link1Flag = kFlagDeparted;
    return platform::kWaitTimeout;
  }
  bool WriteFile(platform::Handle, const void*, std::uint32_t size, std::uint32_t* done) override {
    *done = ++writes == 1 ? size : 0;
    pending_ = writes == 1;
    return writes == 1;
  }
  bool ReadFile(platform::Handle, void* buffer, std::uint32_t, std::uint32_t* done) override {
    *done = 0;
    if (!pending_) return false;
    pending_ = false;
    static constexpr char kReply[] = "OK AT+O";
    std::memcpy(buffer, kReply, sizeof kReply - 1);
    *done = sizeof kReply - 1;
    return true;
  }

 private:
  DeviceEntry& entry_;
  bool pending_ = false;
};

class LostLq40Command : public ::testing::Test {
 protected:
  void SetUp() override {
    entry_.ModelName = "LQ40";
    std::snprintf(entry_.VidPidText, sizeof entry_.VidPidText, "%s", "VID_1723&PID_0101");
    entry_.Link1Read = kRead;
    entry_.Link1Write = kWrite;
    platform::SetPlatform(&unit_);
    CreateLogLines();
  }
  void TearDown() override {
    ReleaseLogLines();
    entry_.Link1Read = entry_.Link1Write = platform::kInvalidHandle;
    platform::SetPlatform(nullptr);
  }

  DeviceEntry entry_;
  UnpluggedAfterOneCommand unit_{entry_};
  const CommandChannel channel_{&entry_, platform::kInvalidHandle};
};

TEST_F(LostLq40Command, IsNotAnsweredByThePreviousCommandsReply) {
  const CommandReply first = SendCommand(channel_, Lq40Cmd12, 1);
  ASSERT_TRUE(first);
  ASSERT_EQ(first.text, "OK AT+O");

  const CommandReply lost = SendCommand(channel_, Lq40Cmd3, 1);
  EXPECT_FALSE(lost) << "the command never reached the unit";
  EXPECT_EQ(lost.text, "") << "nothing was read for it";
  EXPECT_EQ(unit_.writes, 2);
  std::vector<std::string> messages;
  for (const std::string& line : LogLinesSnapshot()) {
    messages.push_back(UnscrambleLogText(line.substr(kLogPrefixLength), LogOffsetForPrefix(line)));
  }
  EXPECT_EQ(messages, std::vector<std::string>{"LQ40_CMD[12] = OK AT+O"});
}

// --- Bench files --------------------------------------------------------------------------

std::string WithReplyChunks(const std::string& chunks) {
  return R"({"hubs": [{"id": "h"}], "units": [{"model": "HV22", "hub": "h", "faults": [
             {"kind": "reply", "command": "AT+C00", "chunks": [)" +
         chunks + "]}]}]}";
}

std::string RejectionOf(const std::string& text) {
  try {
    platform::sim::ParseBench(text, "bad.json");
  } catch (const platform::sim::BenchError& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("escaped the loader: ") + e.what();
  }
  return "accepted";
}

TEST(BadBenchNumbers, TooLargeForTheParserAreRefusedAsBadJson) {
  for (const char* number : {"1e400", "-1e400", "1e322"}) {
    SCOPED_TRACE(number);
    const std::string why =
        RejectionOf(std::string(R"({"hubs": [{"id": "h", "ports": )") + number + "}]}");
    EXPECT_EQ(why.rfind("bad.json: not valid JSON: ", 0), 0u) << why;
  }
}

TEST(BenchByteChunks, CarryAnyBytesAsTheUnitSendsThem) {
  const std::string sixtyFour(128, 'F');
  const auto model = platform::sim::ParseBench(
      WithReplyChunks(R"({"hex": "8F00c3"}, {"hex": ")" + sixtyFour + R"("}, "OK AT+O")"),
      "garbage.json");
  const std::vector<std::string> expected = {std::string("\x8F\x00\xC3", 3),
                                             std::string(64, '\xFF'), "OK AT+O"};
  EXPECT_EQ(model.units.at(0).replies.at(0).chunks, expected);
}

TEST(BenchByteChunks, BadDigitsAreRefusedNamingTheChunk) {
  const struct {
    const char* chunk;
    const char* why;
  } cases[] = {
      {R"({"hex": "8F0"})", "[0].hex: must be pairs of hexadecimal digits, like \"8F00C3\""},
      {R"({"hex": "8G"})", "[0].hex: must be pairs of hexadecimal digits, like \"8F00C3\""},
      {R"({"hex": ""})", "[0]: an empty chunk cannot be read from a pipe"},
      {R"({"bytes": "00"})", "[0].bytes: unknown field"},
      {R"({})", "[0]: a byte chunk needs its \"hex\" digits"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chunk);
    EXPECT_EQ(RejectionOf(WithReplyChunks(c.chunk)),
              std::string("bad.json: units[0].faults[0].chunks") + c.why);
  }
  // 65 bytes: one more than a read of the pipe takes.
  const std::string why =
      RejectionOf(WithReplyChunks(R"({"hex": ")" + std::string(130, '0') + "\"}"));
  EXPECT_EQ(why, "bad.json: units[0].faults[0].chunks[0].hex: longer than 128 characters");
}

}  // namespace
