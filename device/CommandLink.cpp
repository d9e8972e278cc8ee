// The autoloader command link: pipe exchanges, SendCommand and the logging of replies.
#include "device/CommandLink.h"

#include <climits>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "device/Device.h"
#include "device/DeviceHost.h"
#include "device/RegistryText.h"
#include "models/ModelCatalogue.h"

namespace {

// The exchange ends, reading no more, once the GUI thread has taken either of its pipes to close
// it.
bool PipesReleased(const ExchangeWatch& watch) {
  return (watch.read != nullptr && watch.read->Released()) ||
         (watch.write != nullptr && watch.write->Released());
}

platform::Handle PauseOf(platform::Handle pause) {
  return pause != platform::kInvalidHandle ? pause : PauseEvent;
}

// The monotonic clock's count of hundredths of a second: never the time of day, which a clock
// set, a daylight-saving change or midnight would make jump.
std::uint64_t ClockHundredths() {
  return platform::ThePlatform().MonotonicMs() / 10;
}

// Hundredths from `since` (a ClockHundredths value) to now.
int HundredthsSince(std::uint64_t since) {
  const std::uint64_t now = ClockHundredths();
  const std::uint64_t elapsed = now > since ? now - since : 0;
  return elapsed > INT_MAX ? INT_MAX : static_cast<int>(elapsed);
}

// Appends a chunk's text: the first text is taken as it is, every further one behind ";".
void AppendChunk(std::string& reply, const std::string& text) {
  if (!reply.empty()) reply += ';';
  reply += text;
}

bool WriteBlock(platform::Handle writePipe, const CommandBlock& command) {
  std::uint32_t written = 0;
  return platform::ThePlatform().WriteFile(writePipe, command.data(), command.size(), &written) &&
         written > 0;
}

// One read into a zeroed chunk; false when the read failed. *received gets the byte count.
bool ReadChunk(platform::Handle readPipe, ReplyChunk& chunk, std::uint32_t* received) {
  chunk.fill(0);
  *received = 0;
  return platform::ThePlatform().ReadFile(readPipe, chunk.data(), chunk.size(), received);
}

// Pauses until the monotonic clock's hundredths count has changed `changes` times: 0.3 s for 30
// (counted from the hundredth under way), whatever the system's tick. The device's firmware needs
// this spacing between reads of a numbered command's reply. A pause, not a spin: the core stays
// free for the window and the other runs.
void PaceOnClock(platform::Handle pause, int changes) {
  const std::uint64_t until = (ClockHundredths() + static_cast<std::uint64_t>(changes)) * 10;
  platform::ThePlatform().PauseUntil(PauseOf(pause), until);
}

}  // namespace

CommandChannel::CommandChannel(DeviceEntry* target, platform::Handle pause,
                               const std::atomic<bool>* logging)
    : target_(target), pause_(pause), logging_(logging) {}

CommandChannel::CommandChannel(const CommandChannel& other)
    : target_(other.target_), pause_(other.pause_), logging_(other.logging_) {}

CommandChannel& CommandChannel::operator=(const CommandChannel& other) {
  if (this == &other) return *this;  // keeps its own bound
  target_ = other.target_;
  pause_ = other.pause_;
  logging_ = other.logging_;
  bound_ = nullptr;
  return *this;
}

platform::Handle CommandChannel::Pause() const {
  return PauseOf(pause_);
}

LinkTimeBound::LinkTimeBound(CommandChannel& channel, int hundredths)
    : channel_(channel), start_(ClockHundredths()), limit_(hundredths), outer_(channel.bound_) {
  channel.bound_ = this;
}

LinkTimeBound::~LinkTimeBound() {
  channel_.bound_ = outer_;
}

int LinkTimeBound::Elapsed() const {
  return HundredthsSince(start_);
}

std::string ChunkText(const ReplyChunk& chunk) {
  const char* text = reinterpret_cast<const char*>(chunk.data());
  return std::string(text, strnlen(text, chunk.size()));
}

bool IsFinalChunk(const CommandBlock& command, const ReplyChunk& chunk) {
  const std::string text = ChunkText(chunk);
  const bool final = Contains(text, "AT+");
  if (command[2] == 'I' && command[3] == 1 && !final && !Contains(text, "OK")) {
    DeviceLog("%02X:%02X  %02X %02X %02X %02X %02X %02X %02X %02X", command[4], command[5],
              chunk[0], chunk[1], chunk[2], chunk[3], chunk[4], chunk[5], chunk[6], chunk[7]);
  }
  return final;
}

bool PipeExchange(platform::Handle readPipe, platform::Handle writePipe,
                  const CommandBlock& command, std::string& reply, const ExchangeWatch& watch) {
  std::uint32_t written = 0;
  const bool wrote =
      platform::ThePlatform().WriteFile(writePipe, command.data(), command.size(), &written);
  reply.clear();
  if (!wrote) return false;  // nothing was asked, so nothing is read
  int failures = 0;
  int chunks = 0;
  ReplyChunk chunk;
  while (failures < kMaxReadFailures && chunks < kMaxChunksPerReply &&
         !LinkTimeBound::Passed(watch.bound) && !PipesReleased(watch)) {
    std::uint32_t received = 0;
    if (!ReadChunk(readPipe, chunk, &received) || received == 0) {
      ++failures;
      continue;
    }
    ++chunks;
    AppendChunk(reply, ChunkText(chunk));
    if (IsFinalChunk(command, chunk)) return true;
  }
  return false;
}

int PipeExchangeTimed(platform::Handle readPipe, platform::Handle writePipe,
                      const CommandBlock& command, std::string& reply, const ExchangeWatch& watch) {
  if (!WriteBlock(writePipe, command)) return kTimedWriteFailed;
  std::uint64_t rememberedSecond = platform::ThePlatform().MonotonicMs() / 1000;
  int secondChanges = 0;
  int chunks = 0;
  reply.clear();
  ReplyChunk chunk;
  while (secondChanges < kTimedExchangeSecondChanges && chunks < kMaxChunksPerReply) {
    std::uint32_t received = 0;
    if (PipesReleased(watch) || !ReadChunk(readPipe, chunk, &received)) return kTimedReadFailed;
    if (received > 0) {
      ++chunks;
      AppendChunk(reply, ChunkText(chunk));
      if (IsFinalChunk(command, chunk)) return chunks;
    }
    // The identification (command 1) is answered at once and needs no pacing.
    if (command[1] != 1) PaceOnClock(watch.pause, kTimedPaceHundredthsChanges);
    if (LinkTimeBound::Passed(watch.bound)) return kTimedOut;
    const std::uint64_t second = platform::ThePlatform().MonotonicMs() / 1000;
    if (second != rememberedSecond) {
      rememberedSecond = second;
      ++secondChanges;
    }
  }
  return kTimedOut;
}

// --- SendCommand -----------------------------------------------------------------------------

namespace {

constexpr std::size_t kInfoColumn = 25;  // device-information fields end in this column
constexpr const char* kPlainMargin = "         ";
constexpr const char* kTm36pMargin = "                      ";

// Read afresh every time: the GUI thread changes the flags when the device departs.
bool LinkOpen(const DeviceEntry& entry, int link) {
  if (link == 1) return entry.Link1Flag.load() == kFlagOpen;
  if (link == 2) return entry.Link2Flag.load() == kFlagOpen;
  return false;
}

// The pipes of one exchange, in use while it lasts (HandleUse).
class ExchangePipes {
 public:
  ExchangePipes(const std::atomic<platform::Handle>& read,
                const std::atomic<platform::Handle>& write)
      : read_(read), write_(write) {}
  ~ExchangePipes() = default;
  ExchangePipes(const ExchangePipes&) = delete;
  ExchangePipes& operator=(const ExchangePipes&) = delete;
  platform::Handle Read() const { return read_.Get(); }
  platform::Handle Write() const { return write_.Get(); }
  // The exchange on these pipes ends once either is taken to be closed.
  ExchangeWatch Watch(const CommandChannel& channel) const {
    return {channel.Bound(), &read_, &write_, channel.Pause()};
  }

 private:
  HandleUse read_;
  HandleUse write_;
};

// The link's exchange lock while it lives; a value other than 1 or 2 names no link and needs
// none.
class ExchangeHeld {
 public:
  ExchangeHeld(DeviceEntry& entry, int link)
      : lock_(link == 1   ? &entry.Link1Exchange
              : link == 2 ? &entry.Link2Exchange
                          : nullptr) {
    if (lock_ != nullptr && !lock_->TryTake()) {
      lock_ = nullptr;
      refused_ = true;
    }
  }
  ~ExchangeHeld() {
    if (lock_ != nullptr) lock_->Give();
  }
  ExchangeHeld(const ExchangeHeld&) = delete;
  ExchangeHeld& operator=(const ExchangeHeld&) = delete;
  bool Held() const { return !refused_; }

 private:
  LinkExchange* lock_;
  bool refused_ = false;
};

void ExchangeOnLink(const CommandChannel& channel, const DeviceEntry& entry,
                    const CommandBlock& command, int link, std::string& reply) {
  // A failed write leaves the timed exchange's reply untouched: without this, the previous
  // repetition's reply would pass for this one's.
  reply.clear();
  if (link == 1 && entry.ProductHas(&models::ModelRow::numberedCommands)) {
    const ExchangePipes pipes(entry.Link1Read, entry.Link1Write);
    PipeExchangeTimed(pipes.Read(), pipes.Write(), command, reply, pipes.Watch(channel));
  } else if (link == 1) {
    const ExchangePipes pipes(entry.Link1Read, entry.Link1Write);
    PipeExchange(pipes.Read(), pipes.Write(), command, reply, pipes.Watch(channel));
  } else if (link == 2) {
    const ExchangePipes pipes(entry.Link2Read, entry.Link2Write);
    PipeExchange(pipes.Read(), pipes.Write(), command, reply, pipes.Watch(channel));
  }
}

bool Accepted(const std::string& reply) {
  return Contains(reply, "OK") && Contains(reply, "AT+");
}

bool IsTm36p(const DeviceEntry& entry) {
  return Contains(entry.ModelName, "TM36P");
}

// A TM36P carries two autoloaders; its lines say which of them answered.
std::string ModelMark(const DeviceEntry& entry, int link) {
  if (!IsTm36p(entry)) return "";
  return link == 1 ? "(TM36P-TM36) " : "(TM36P-HV22) ";
}

// Right-aligned to end in kInfoColumn; a longer field is shown whole.
std::string RightAligned(const std::string& field) {
  if (field.size() >= kInfoColumn) return field;
  return std::string(kInfoColumn - field.size(), ' ') + field;
}

// AT+I00 lists names (even fields) over values; AT+I99 the other way round.
std::string InfoLine(bool i99, std::size_t index, const std::string& field) {
  const bool odd = index % 2 == 1;
  if (!i99) return index >= 2 && !odd ? RightAligned(field) : field;
  if (index == 1) return "       " + field;
  return index >= 3 && odd ? RightAligned(field) : field;
}

bool InfoLineShown(bool i99, std::size_t index, const std::string& line) {
  const bool odd = index % 2 == 1;
  return (i99 ? odd : !odd) || Contains(line, "AT+");
}

void LogDeviceInformation(const DeviceEntry& entry, const CommandBlock& command, int link,
                          const std::string& reply) {
  const bool i99 = command[3] == 0x99;
  const std::string label = ModelMark(entry, link) + (i99 ? "AT+I99" : "AT+I00");
  const char* margin = IsTm36p(entry) ? kTm36pMargin : kPlainMargin;
  const std::vector<std::string> fields = SplitFields(reply);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string line = InfoLine(i99, i, fields[i]);
    if (!InfoLineShown(i99, i, line)) continue;
    if (Contains(line, "OK")) {
      DeviceLog("%s = %s", label.c_str(), line.c_str());
    } else {
      DeviceLog("%s%s", margin, line.c_str());
    }
  }
}

void LogReply(const DeviceEntry& entry, const CommandBlock& command, int link,
              const std::string& reply) {
  const std::uint8_t letter = command[2];
  const std::uint8_t number = command[3];
  if (command[0] != 0 || command[1] != 0) {
    if (entry.ProductHas(&models::ModelRow::numberedCommands) && command[0] == 0) {
      DeviceLog("LQ40_CMD[%d] = %s", command[1], reply.c_str());
    }
  } else if (letter == '?') {
    DeviceLog("%sAT+? = %s", ModelMark(entry, link).c_str(), reply.c_str());
  } else if (letter == 'I' && (number == 0x00 || number == 0x99)) {
    LogDeviceInformation(entry, command, link, reply);
  } else if (letter == 'I' && number == 0x01) {
    // EEPROM data: IsFinalChunk has logged every data chunk already.
  } else {
    DeviceLog("%sAT+%c%02X = %s", ModelMark(entry, link).c_str(), letter, number, reply.c_str());
  }
}

}  // namespace

CommandReply SendCommand(const CommandChannel& channel, const CommandBlock& command, int link) {
  CommandReply reply;
  DeviceEntry* entry = channel.Target();
  if (entry == nullptr) return reply;
  // The whole command is one exchange: nobody else writes between its repetitions or reads a
  // chunk of its reply.
  const ExchangeHeld exchange(*entry, link);
  if (!exchange.Held()) return reply;
  std::optional<std::uint64_t> repeatingSince;  // the clock is read only once a command repeats
  for (int repetition = 1; true; ++repetition) {
    ExchangeOnLink(channel, *entry, command, link, reply.text);
    if (Accepted(reply.text)) break;
    if (!repeatingSince) repeatingSince = ClockHundredths();
    platform::PauseOn(channel.Pause(), kResendPauseMs);
    // A link that departed (or was never open) ends the command; so does a device that never
    // answers in the accepted form.
    if (!LinkOpen(*entry, link) || repetition >= kMaxSendRepetitions ||
        HundredthsSince(*repeatingSince) >= kMaxRepeatingHundredths ||
        LinkTimeBound::Passed(channel.Bound())) {
      return reply;
    }
  }
  if (!LinkOpen(*entry, link)) return reply;
  if (channel.LoggingOn()) LogReply(*entry, command, link, reply.text);
  reply.accepted = true;
  return reply;
}
