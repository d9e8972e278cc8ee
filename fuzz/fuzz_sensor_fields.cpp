// Fuzz target: the sensor field of AT+C00 replies. SensorReads on fuzzer-chosen replies, indexes
// and closing positions (both families' fields and any other), ReplyHas on the same text, and
// WaitTraySensor polling a unit whose AT+C00 replies are fuzzer-chosen chunks.
//
// Input: a mode byte; SensorReads mode: index, wanted character, closing index, then the reply;
// tray-sensor mode: reads as in the reply target (head byte 0xFF fails, else head % 65 bytes).
#include <cstring>
#include <string>
#include <vector>

#include "console/Unit1.h"
#include "device/CommandLink.h"
#include "device/Device.h"
#include "device/Drives.h"
#include "fuzz/FuzzSupport.h"
#include "sequences/StepPatterns.h"

namespace {

constexpr platform::Handle kRead = 11;
constexpr platform::Handle kWrite = 12;

// What the field test promises, written against bounds-checked access: a reading names a
// position inside the reply, braces at kSensorOpenIndex and closeIndex, and the wanted state.
void CheckSensorRead(const std::string& reply, std::size_t index, char wanted,
                     std::size_t closeIndex) {
  const bool reads = SensorReads(reply, index, wanted, closeIndex);
  if (reads) {
    fuzz::Check(closeIndex < reply.size() && index < reply.size(), "a reading lies in the reply");
    fuzz::Check(reply.at(kSensorOpenIndex) == '{', "a reading has its opening brace");
    fuzz::Check(reply.at(closeIndex) == '}', "a reading has its closing brace");
    fuzz::Check(reply.at(index) == wanted, "a reading shows the wanted state");
  }
  // What follows the field does not change what the field says.
  if (closeIndex < reply.size() && index < reply.size()) {
    fuzz::Check(SensorReads(reply + ";OK AT+O", index, wanted, closeIndex) == reads,
                "text behind the field changes nothing");
  }
  // A reply cut before its closing brace never reads.
  if (closeIndex < reply.size()) {
    fuzz::Check(!SensorReads(reply.substr(0, closeIndex), index, wanted, closeIndex),
                "a cut field never reads");
  }
}

void FuzzSensorReads(fuzz::ByteStream& input) {
  const std::size_t index = input.Byte() % 40;
  const char wanted = static_cast<char>(input.Byte());
  const std::uint8_t closePick = input.Byte();
  const std::size_t closeIndex = closePick % 3 == 0   ? kSensorCloseIndex
                                 : closePick % 3 == 1 ? kZpSensorCloseIndex
                                                      : closePick % 40;
  // Heap-held, exactly as long as the bytes: a read past its end is an ASan report.
  const std::string reply = input.Rest();
  CheckSensorRead(reply, index, wanted, closeIndex);
  for (const char* token : {"AT+O", "AT+E", "AT+S12", "{E0002}", "{S0008}"}) {
    fuzz::Check(ReplyHas(reply, token) == (reply.find(token) != std::string::npos),
                "ReplyHas finds");
  }
}

// A unit whose every read comes from the input; used up, it departs.
class SensorUnit : public platform::NullPlatform {
 public:
  SensorUnit(fuzz::ByteStream& input, DeviceEntry& entry) : input_(input), entry_(entry) {}

  bool WriteFile(platform::Handle file, const void*, std::uint32_t size,
                 std::uint32_t* done) override {
    CloseExchange();
    *done = file == kWrite ? size : 0;
    return file == kWrite;
  }
  bool ReadFile(platform::Handle file, void* buffer, std::uint32_t, std::uint32_t* done) override {
    *done = 0;
    if (file != kRead || input_.Empty()) {
      entry_.Link1Flag = kFlagDeparted;
      return false;
    }
    const std::uint8_t head = input_.Byte();
    if (head == 0xFF) return false;
    const auto bytes = input_.Bytes(head % (kReplyChunkSize + 1));
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    *done = static_cast<std::uint32_t>(bytes.size());
    if (!bytes.empty()) {
      const char* text = reinterpret_cast<const char*>(bytes.data());
      if (!reply_.empty()) reply_ += ';';
      reply_.append(text, strnlen(text, bytes.size()));
    }
    return true;
  }

  // The replies SendCommand would accept, in order.
  const std::vector<std::string>& Accepted() {
    CloseExchange();
    return accepted_;
  }

 private:
  void CloseExchange() {
    if (reply_.find("OK") != std::string::npos && reply_.find("AT+") != std::string::npos) {
      accepted_.push_back(reply_);
    }
    reply_.clear();
  }

  fuzz::ByteStream& input_;
  DeviceEntry& entry_;
  std::string reply_;
  std::vector<std::string> accepted_;
};

bool TrayOut(const std::string& reply) {
  return reply.size() > kSensorCloseIndex && reply[kSensorOpenIndex] == '{' &&
         reply[kSensorCloseIndex] == '}' && reply[9] == '1';
}

void FuzzTraySensor(fuzz::ByteStream& input) {
  DeviceEntry entry;
  SensorUnit unit(input, entry);
  platform::SetPlatform(&unit);
  std::snprintf(entry.VidPidText, sizeof entry.VidPidText, "%s", "VID_1723&PID_0945");
  entry.ModelName = "HV22";
  entry.Link1Read = kRead;
  entry.Link1Write = kWrite;
  const std::atomic<bool> quiet{false};
  const CommandChannel channel(&entry, platform::kInvalidHandle, &quiet);

  const bool out = WaitTraySensor(channel);
  const std::vector<std::string>& accepted = unit.Accepted();
  fuzz::Check(accepted.size() <= static_cast<std::size_t>(kMaxTraySensorPolls),
              "the tray sensor is polled a bounded number of times");
  if (out) {
    fuzz::Check(accepted.size() >= 3, "tray out needs three polls");
    for (std::size_t i = accepted.size() - 3; i < accepted.size(); ++i) {
      fuzz::Check(TrayOut(accepted[i]), "tray out is seen in the last three polls");
    }
  }

  entry.Link1Read = entry.Link1Write = platform::kInvalidHandle;
  platform::SetPlatform(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteStream input(data, size);
  if (input.Byte() % 2 == 0) {
    FuzzSensorReads(input);
  } else {
    FuzzTraySensor(input);
  }
  return 0;
}
