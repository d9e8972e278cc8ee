// Fuzz target: what an autoloader sends back. The read pipe of a fake platform gives
// fuzzer-chosen reads (any bytes, 0 to 64 of them, or a failed read); SendCommand, PipeExchange or
// PipeExchangeTimed gather them into a reply and SendCommand logs it in each command's form
// (plain, TM36P marks, LQ40_CMD, the AT+I00 / AT+I99 listing, EEPROM hex lines).
//
// Input: a command byte, a mode byte, then reads: a head byte (0xFF: the read fails, else
// head % 65 bytes follow). When the input is used up the unit departs: reads fail and its link
// flags drop, so every call ends.
#include <cstring>
#include <string>
#include <vector>

#include "console/Unit1.h"
#include "device/CommandLink.h"
#include "device/Device.h"
#include "fuzz/FuzzSupport.h"
#include "report/TestLog.h"

namespace {

constexpr platform::Handle kLink1Read = 11;
constexpr platform::Handle kLink1Write = 12;
constexpr platform::Handle kLink2Read = 21;
constexpr platform::Handle kLink2Write = 22;
constexpr std::uint8_t kFailedRead = 0xFF;

// The models whose reply forms differ: plain, TM36P (marks, wider margin), LQ40 (numbered
// commands, timed exchange on link 1), and a ZP for the 16-sensor family.
struct Model {
  const char* name;
  const char* vidPid;
};
constexpr Model kModels[] = {{"HV22", "VID_1723&PID_0923"},
                             {"TM36P", "VID_1723&PID_0935"},
                             {"LQ40", "VID_1723&PID_0101"},
                             {"ZP61", "VID_1723&PID_0903"}};

enum class Call { kSendCommand, kPipeExchange, kPipeExchangeTimed };

class PipeFake : public platform::NullPlatform {
 public:
  PipeFake(fuzz::ByteStream& input, DeviceEntry& entry) : input_(input), entry_(entry) {}

  std::uint8_t firstWrite = 0;  // 1: the first write fails; 2: it writes 0 bytes

  bool WriteFile(platform::Handle file, const void*, std::uint32_t size,
                 std::uint32_t* done) override {
    *done = 0;
    ++writes_;
    texts_.clear();
    if (file != kLink1Write && file != kLink2Write) return false;
    if (writes_ == 1 && firstWrite == 1) return false;
    if (!(writes_ == 1 && firstWrite == 2)) *done = size;
    return true;
  }

  bool ReadFile(platform::Handle file, void* buffer, std::uint32_t size,
                std::uint32_t* done) override {
    *done = 0;
    fuzz::Check(size == kReplyChunkSize, "a reply chunk is read 64 bytes at a time");
    if (file != kLink1Read && file != kLink2Read) return false;
    if (input_.Empty()) {
      entry_.Link1Flag = kFlagDeparted;
      entry_.Link2Flag = kFlagDeparted;
      return false;
    }
    const std::uint8_t head = input_.Byte();
    if (head == kFailedRead) return false;
    const std::vector<std::uint8_t> bytes = input_.Bytes(head % (kReplyChunkSize + 1));
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    *done = static_cast<std::uint32_t>(bytes.size());
    if (!bytes.empty()) {
      const char* text = reinterpret_cast<const char*>(bytes.data());
      texts_.emplace_back(text, strnlen(text, bytes.size()));
    }
    return true;
  }

  // The reply the chunks read since the last write make: texts joined by ";", the first
  // non-empty one without a separator before it.
  std::string ExpectedReply() const {
    std::string reply;
    for (const std::string& text : texts_) {
      if (!reply.empty()) reply += ';';
      reply += text;
    }
    return reply;
  }
  const std::vector<std::string>& Texts() const { return texts_; }
  int Writes() const { return writes_; }

 private:
  fuzz::ByteStream& input_;
  DeviceEntry& entry_;
  std::vector<std::string> texts_;
  int writes_ = 0;
};

bool Has(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

CommandBlock ChooseCommand(fuzz::ByteStream& input) {
  const std::uint8_t pick = input.Byte();
  if (pick < CommandSet.size()) return CommandSet[pick];
  if (pick < 128) return MakeEepromRead(input.Byte());
  CommandBlock raw{};
  for (auto& b : raw) b = input.Byte();
  return raw;
}

// Every stored line is a prefix and a scrambled message of at most kMaxLogMessage characters,
// with nothing in it that would break Test.log's lines.
void CheckLogLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    fuzz::Check(line.size() >= kLogPrefixLength, "a log line has its prefix");
    fuzz::Check(line.size() <= kLogPrefixLength + kMaxLogMessage, "a log line fits its buffer");
    fuzz::Check(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
                "a log line holds no line end and no zero");
  }
}

// A plain reply line: the scrambled form of exactly the expected message.
void CheckReplyLine(const std::string& line, const std::string& message) {
  const std::string cut = message.substr(0, kMaxLogMessage);
  fuzz::Check(line.substr(kLogPrefixLength) == ScrambleLogText(cut, LogOffsetForPrefix(line)),
              "the reply is logged literally");
}

std::string PlainLabel(const DeviceEntry& entry, const CommandBlock& command, int link) {
  std::string mark;
  if (Has(entry.ModelName, "TM36P")) mark = link == 1 ? "(TM36P-TM36) " : "(TM36P-HV22) ";
  if (command[2] == '?') return mark + "AT+? = ";
  char name[16];
  std::snprintf(name, sizeof name, "AT+%c%02X = ", command[2], command[3]);
  return mark + name;
}

void CheckSendCommand(const PipeFake& fake, const CommandChannel& channel, DeviceEntry& entry,
                      const CommandBlock& command, int link, bool logging) {
  const std::size_t linesBefore = LogLineCount();
  const CommandReply reply = SendCommand(channel, command, link);
  const bool accepted = reply.accepted;
  fuzz::Check(reply.text == fake.ExpectedReply(), "the reply is the last exchange's chunks");
  if (accepted) {
    fuzz::Check(Has(reply.text, "OK") && Has(reply.text, "AT+"), "an accepted reply has OK, AT+");
  }
  const std::vector<std::string> lines = LogLinesSnapshot();
  CheckLogLines(lines);
  const bool numbered = command[0] != 0 || command[1] != 0;
  const bool listing = command[2] == 'I' && (command[3] == 0x00 || command[3] == 0x99);
  const bool eeprom = command[2] == 'I' && command[3] == 0x01;
  const bool noLetter = command[2] == 0;  // its name would end the formatted text early
  if (!accepted || !logging || numbered || listing || eeprom || noLetter) return;
  fuzz::Check(lines.size() == linesBefore + 1, "one reply line per accepted command");
  CheckReplyLine(lines.back(), PlainLabel(entry, command, link) + reply.text);
}

void CheckExchange(const PipeFake& fake, const CommandBlock& command, bool timed, int link) {
  std::string reply = "stale";
  const platform::Handle read = link == 1 ? kLink1Read : kLink2Read;
  const platform::Handle write = link == 1 ? kLink1Write : kLink2Write;
  const std::size_t linesBefore = LogLineCount();
  const int result = timed ? PipeExchangeTimed(read, write, command, reply)
                           : (PipeExchange(read, write, command, reply) ? 1 : 0);
  if (!(timed && result == kTimedWriteFailed)) {
    fuzz::Check(reply == fake.ExpectedReply(), "the reply is the chunks joined by ';'");
  }
  const auto& texts = fake.Texts();
  const bool finalSeen = !texts.empty() && Has(texts.back(), "AT+");
  if (timed) {
    fuzz::Check(result <= kMaxChunksPerReply, "a timed exchange counts at most the chunk bound");
    if (result > 0) fuzz::Check(finalSeen, "a counted exchange ended on its final chunk");
  } else {
    fuzz::Check((result == 1) == finalSeen, "an exchange is true exactly on a final chunk");
  }
  fuzz::Check(texts.size() <= static_cast<std::size_t>(kMaxChunksPerReply),
              "an exchange reads no more chunks than the bound");
  // EEPROM data chunks, and nothing else, leave hex lines.
  std::size_t dataChunks = 0;
  if (command[2] == 'I' && command[3] == 1) {
    for (const std::string& text : texts) dataChunks += !Has(text, "OK") && !Has(text, "AT+");
  }
  CheckLogLines(LogLinesSnapshot());
  fuzz::Check(LogLineCount() == linesBefore + dataChunks, "one hex line per EEPROM data chunk");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteStream input(data, size);
  DeviceEntry entry;
  PipeFake fake(input, entry);
  platform::SetPlatform(&fake);
  CreateLogLines();

  const CommandBlock command = ChooseCommand(input);
  const std::uint8_t mode = input.Byte();
  const int link = (mode & 1) != 0 ? 2 : 1;
  const Model& model = kModels[(mode >> 1) & 3];
  const bool logging = (mode & 8) == 0;
  const auto call = static_cast<Call>(((mode >> 4) & 3) % 3);
  fake.firstWrite = static_cast<std::uint8_t>((mode >> 6) % 3);

  entry.ModelName = model.name;
  std::snprintf(entry.VidPidText, sizeof entry.VidPidText, "%s", model.vidPid);
  entry.Link1Read = kLink1Read;
  entry.Link1Write = kLink1Write;
  entry.Link2Read = kLink2Read;
  entry.Link2Write = kLink2Write;
  entry.Link2Flag = kFlagOpen;
  const std::atomic<bool> logged{logging};
  const CommandChannel channel(&entry, platform::kInvalidHandle, &logged);

  switch (call) {
    case Call::kSendCommand:
      CheckSendCommand(fake, channel, entry, command, link, logging);
      break;
    case Call::kPipeExchange:
      CheckExchange(fake, command, false, link);
      break;
    case Call::kPipeExchangeTimed:
      CheckExchange(fake, command, true, link);
      break;
  }

  ReleaseLogLines();
  // The entry must not close the fake's handles through a platform that is gone.
  entry.Link1Read = entry.Link1Write = entry.Link2Read = entry.Link2Write =
      platform::kInvalidHandle;
  platform::SetPlatform(nullptr);
  return 0;
}
