// The autoloader command link: command blocks, pipe exchanges and SendCommand.
// A caller passes its CommandChannel (target, pause event, reply logging, time bound) and gets its
// reply back; the pipes themselves belong to the DeviceEntry that holds them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

struct DeviceEntry;

// --- Command blocks --------------------------------------------------------------------------

// The 8 bytes written to the write pipe: 0, the LQ40 command number, the letter, the number, two
// parameters (an EEPROM read's first and last address) and two unused bytes.
using CommandBlock = std::array<std::uint8_t, 8>;

// AT+<letter><number>: letter in byte 2, number in byte 3, everything else 0.
constexpr CommandBlock MakeCommand(char letter, std::uint8_t number) {
  return {0, 0, static_cast<std::uint8_t>(letter), number, 0, 0, 0, 0};
}
// The LQ40 family's numbered command n: only byte 1 is set.
constexpr CommandBlock MakeNumberedCommand(std::uint8_t n) {
  return {0, n, 0, 0, 0, 0, 0, 0};
}

// The EEPROM is read in 16 requests of 8 bytes, addresses 0x00 to 0x7F.
inline constexpr int kEepromBytes = 128;
inline constexpr int kEepromReadBytes = 8;
inline constexpr int kEepromReadCount = kEepromBytes / kEepromReadBytes;
// AT+I01 for the 8 bytes from `start` to start + 7.
constexpr CommandBlock MakeEepromRead(std::uint8_t start) {
  return {0, 0, 'I', 1, start, static_cast<std::uint8_t>(start + kEepromReadBytes - 1), 0, 0};
}

inline constexpr CommandBlock StatusQuery = MakeCommand('?', 0x00);  // AT+?
inline constexpr CommandBlock AtC00 = MakeCommand('C', 0x00);        // status and sensor block
inline constexpr CommandBlock AtP00 = MakeCommand('P', 0x00);
inline constexpr CommandBlock AtP01 = MakeCommand('P', 0x01);
inline constexpr CommandBlock AtT00 = MakeCommand('T', 0x00);
inline constexpr CommandBlock AtT01 = MakeCommand('T', 0x01);
inline constexpr CommandBlock AtT02 = MakeCommand('T', 0x02);
inline constexpr CommandBlock AtR01 = MakeCommand('R', 0x01);
inline constexpr CommandBlock AtR02 = MakeCommand('R', 0x02);
inline constexpr CommandBlock AtR04 = MakeCommand('R', 0x04);
inline constexpr CommandBlock AtR90 = MakeCommand('R', 0x90);
inline constexpr CommandBlock AtG01 = MakeCommand('G', 0x01);
inline constexpr CommandBlock AtG04 = MakeCommand('G', 0x04);
inline constexpr CommandBlock AtM01 = MakeCommand('M', 0x01);
inline constexpr CommandBlock AtM02 = MakeCommand('M', 0x02);
inline constexpr CommandBlock AtI00 = MakeCommand('I', 0x00);  // device information
inline constexpr CommandBlock AtI08 = MakeCommand('I', 0x08);
inline constexpr CommandBlock AtF00 = MakeCommand('F', 0x00);
inline constexpr CommandBlock AtF02 = MakeCommand('F', 0x02);
inline constexpr CommandBlock AtG99 = MakeCommand('G', 0x99);
inline constexpr CommandBlock AtR99 = MakeCommand('R', 0x99);
inline constexpr CommandBlock AtI99 = MakeCommand('I', 0x99);
inline constexpr CommandBlock Lq40Cmd1 = MakeNumberedCommand(1);  // identification
inline constexpr CommandBlock Lq40Cmd2 = MakeNumberedCommand(2);
inline constexpr CommandBlock Lq40Cmd3 = MakeNumberedCommand(3);
inline constexpr CommandBlock Lq40Cmd4 = MakeNumberedCommand(4);
inline constexpr CommandBlock Lq40Cmd5 = MakeNumberedCommand(5);
inline constexpr CommandBlock Lq40Cmd6 = MakeNumberedCommand(6);
inline constexpr CommandBlock Lq40Cmd9 = MakeNumberedCommand(9);
inline constexpr CommandBlock Lq40Cmd12 = MakeNumberedCommand(12);

// The table every sequence shares, in its fixed order (index 0 is StatusQuery).
inline constexpr std::array<CommandBlock, 30> CommandSet = {
    StatusQuery, AtC00,    AtP00,    AtP01,    AtT00,    AtT01,    AtT02,    AtR01,
    AtR02,       AtR04,    AtR90,    AtG01,    AtG04,    AtM01,    AtM02,    AtI00,
    AtI08,       AtF00,    AtF02,    AtG99,    AtR99,    AtI99,    Lq40Cmd1, Lq40Cmd2,
    Lq40Cmd3,    Lq40Cmd4, Lq40Cmd5, Lq40Cmd6, Lq40Cmd9, Lq40Cmd12};

// --- Reply chunks ----------------------------------------------------------------------------

// One read of the read pipe: up to 64 bytes into a zeroed buffer.
inline constexpr std::size_t kReplyChunkSize = 64;
using ReplyChunk = std::array<std::uint8_t, kReplyChunkSize>;
// The chunk's text: up to its first zero byte, at most 64 characters (the device need not
// terminate it).
std::string ChunkText(const ReplyChunk& chunk);

// --- Bounds ----------------------------------------------------------------------------------

// A device that keeps sending chunks without "AT+" would otherwise hold the exchange for ever;
// no real reply comes near this many chunks (the longest, device information, has a handful).
inline constexpr int kMaxChunksPerReply = 256;
// Failed or empty reads that end one exchange (the counter runs while it is at most 30).
inline constexpr int kMaxReadFailures = 31;
// SendCommand gives up after this many repetitions, about 30 s of 100 ms pauses plus the
// exchanges: long enough for any motion the autoloaders make, short enough that a device that
// never answers in the accepted form ends the run as a lost link instead of hanging the worker
// (or, during discovery, the window).
inline constexpr int kMaxSendRepetitions = 300;
// The pause between repetitions of a command.
inline constexpr std::uint32_t kResendPauseMs = 100;
// SendCommand also gives up once its repetitions have taken this long on the monotonic clock
// (hundredths of a second, counted from the first repetition). On the timed link one exchange may
// wait about 30 s for its reply, so kMaxSendRepetitions of them would hold the worker for hours;
// on the other links the repetition bound ends it long before this.
inline constexpr int kMaxRepeatingHundredths = 60 * 100;
// PipeExchangeTimed: 31 changes of the monotonic clock's seconds count end it; unless the
// command is the LQ40 identification, each read waits until its hundredths count has changed 30
// times (0.3 s).
inline constexpr int kTimedExchangeSecondChanges = 31;
inline constexpr int kTimedPaceHundredthsChanges = 30;

class LinkTimeBound;
class HandleUse;

// What a caller's commands go through besides their link: the entry they address, the event
// their pauses wait on, whether their replies are logged, and the time bound set on them. A run's
// worker owns one for its run (the tested entry, the run's copy of the pause event,
// RunContext::CommandLogging), so one run muting its housekeeping reads mutes nobody else;
// discovery makes one for each unit it talks to. Used by one thread at a time; the pointers are
// not owned and must outlive it. A copy carries no time bound.
class CommandChannel {
 public:
  // Addresses nothing: every command fails as for a lost link.
  CommandChannel() = default;
  // An invalid pause stands for the program's PauseEvent; no switch means replies are logged.
  CommandChannel(DeviceEntry* target, platform::Handle pause,
                 const std::atomic<bool>* logging = nullptr);
  CommandChannel(const CommandChannel& other);
  CommandChannel& operator=(const CommandChannel& other);
  ~CommandChannel() = default;

  DeviceEntry* Target() const { return target_; }
  // The event the pauses between repetitions and the polls wait on.
  platform::Handle Pause() const;
  // Whether SendCommand logs the replies it accepts.
  bool LoggingOn() const { return logging_ == nullptr || logging_->load(); }
  // The innermost time bound set on the channel, or null.
  const LinkTimeBound* Bound() const { return bound_; }

 private:
  friend class LinkTimeBound;
  DeviceEntry* target_ = nullptr;
  platform::Handle pause_ = platform::kInvalidHandle;
  const std::atomic<bool>* logging_ = nullptr;
  const LinkTimeBound* bound_ = nullptr;
};

// A bound on the time the channel's commands may take while the object lives (hundredths of a
// second on the monotonic clock, from its creation). Exchanges, repetitions and the tray-sensor
// wait give up once it has passed, as for a lost link. Discovery sets one for each unit it talks
// to, so that one unit that answers nothing (or nonsense) cannot hold the window. Bounds on one
// channel nest: the innermost one counts. Lives within the channel's life, on its thread.
class LinkTimeBound {
 public:
  LinkTimeBound(CommandChannel& channel, int hundredths);
  ~LinkTimeBound();
  LinkTimeBound(const LinkTimeBound&) = delete;
  LinkTimeBound& operator=(const LinkTimeBound&) = delete;
  // Hundredths since the bound was set, on the monotonic clock.
  int Elapsed() const;
  // True once its time has passed.
  bool Passed() const { return Elapsed() >= limit_; }
  // True when a bound is given and its time has passed.
  static bool Passed(const LinkTimeBound* bound) { return bound != nullptr && bound->Passed(); }

 private:
  CommandChannel& channel_;
  std::uint64_t start_;
  int limit_;
  const LinkTimeBound* outer_;
};

// What ends one exchange besides its own counts, and what its pacing waits on: the caller's time
// bound, the uses of its pipes (once the GUI thread has emptied either slot to close it, the
// exchange reads no more) and the pause event (invalid: the program's PauseEvent). Each is
// optional; the exchange's caller owns them for the call.
struct ExchangeWatch {
  const LinkTimeBound* bound = nullptr;
  const HandleUse* read = nullptr;
  const HandleUse* write = nullptr;
  platform::Handle pause = platform::kInvalidHandle;
};

// PipeExchangeTimed results besides the chunk count.
inline constexpr int kTimedWriteFailed = -1;
inline constexpr int kTimedReadFailed = -2;
inline constexpr int kTimedOut = -3;

// --- Exchanges -------------------------------------------------------------------------------

// True when the chunk's text holds "AT+" (the last chunk of a reply). An EEPROM data chunk (an
// AT+I01 chunk with neither "OK" nor "AT+") is logged as a hex line, whether or not replies are.
bool IsFinalChunk(const CommandBlock& command, const ReplyChunk& chunk);

// Writes the block and gathers chunks into reply, joined by ";". Blocks on the pipes. True when
// the final chunk arrived; false after a failed write (no read is made), 31 failed or empty
// reads, or kMaxChunksPerReply chunks without a final one.
bool PipeExchange(platform::Handle readPipe, platform::Handle writePipe,
                  const CommandBlock& command, std::string& reply, const ExchangeWatch& watch = {});

// The same under a time limit on the monotonic clock (LQ40 link 1 and discovery's
// identification). Returns the number of non-empty chunks read, the final one included;
// kTimedWriteFailed when the write failed or wrote nothing, kTimedReadFailed when a read failed,
// kTimedOut when the limit passed or kMaxChunksPerReply chunks came without a final one.
int PipeExchangeTimed(platform::Handle readPipe, platform::Handle writePipe,
                      const CommandBlock& command, std::string& reply,
                      const ExchangeWatch& watch = {});

// --- SendCommand -----------------------------------------------------------------------------

// What SendCommand gives its caller: whether the reply was accepted, and the last exchange's
// reply (empty when nothing was read for it).
struct CommandReply {
  bool accepted = false;
  std::string text;
  explicit operator bool() const { return accepted; }
};

// Sends the block on link 1 or 2 of the channel's target, repeating it every 100 ms until a reply
// holds both "OK" and "AT+", and returns that reply; then logs it (unless the channel says
// replies are not logged). Not accepted, without logging, when the channel has no target, the
// link value is neither 1 nor 2, another exchange holds the link (nothing is sent), the link's
// flag left '1', the channel's time bound passed, or kMaxSendRepetitions or
// kMaxRepeatingHundredths passed without an accepted reply: the callers treat all of these as a
// lost link. Runs on the calling thread; blocks.
CommandReply SendCommand(const CommandChannel& channel, const CommandBlock& command, int link);
