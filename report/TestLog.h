// The test log: WriteLog appends timestamped, scrambled lines to LogLines (in memory, every run
// since start-up); FinishRun saves them whole as "Test.log". Safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/DeviceHost.h"  // kMaxLogMessage, kLogSeparator: device/ logs through WriteLogText
#include "platform/Platform.h"

inline constexpr std::size_t kLogPrefixLength = 26;
inline constexpr const char* kLogFileName = "Test.log";

// The in-memory log. Created by CreateLogLines (FormCreate, or earlier), which also makes
// WriteLogText device/'s log sink (lines before it had nowhere to go anyway); released by
// ReleaseLogLines (FormClose). Every access goes through the functions below, which serialise.
void CreateLogLines();
void ReleaseLogLines();
bool LogLinesExist();
// A copy of the lines as "Test.log" holds them (for saving, tests and the CLI).
std::vector<std::string> LogLinesSnapshot();

// --- Whose lines: several runs write into the one log. --------------------------------------
// A line belongs to its writer: the run the writing thread works for (the worker's own run, or
// the run the window acts for: ScopedLogOwner around a status operation, the run's opening and
// its record), or else the station (discovery, device changes, the program). A station line
// carries no unit's tag and enters no run's record, with one exception that keeps a unit alone
// as it always was: while at most one unit is attached, the one run under way is the station,
// and the station's lines are that run's.
// A run's lines carry its tag at the start of their message ("<TAG> ", LogTagText) from the
// moment another run is under way with it (or Start all starts it with others) to its end, so
// the file tells the runs apart; a run that never had company writes its lines as they always
// were.
// A run is under way from BeginLogRun (Start) to EndLogRun (after its record is kept).
void BeginLogRun(std::uint64_t run, const std::string& tag);
void EndLogRun(std::uint64_t run);
// While Start all starts several runs in one act, the first run's opening lines are tagged too:
// it is not going to be alone. GUI thread, around the starts.
void BeginLogStation(int runs);
void EndLogStation();
// How many units the station has attached (the window, whenever its list changes).
void SetLogStationUnits(std::size_t units);
// The run this thread's lines belong to (0: none claimed).
std::uint64_t LogOwner();
void SetLogOwner(std::uint64_t run);
class ScopedLogOwner {
 public:
  explicit ScopedLogOwner(std::uint64_t run) : saved_(LogOwner()) { SetLogOwner(run); }
  ~ScopedLogOwner() { SetLogOwner(saved_); }
  ScopedLogOwner(const ScopedLogOwner&) = delete;
  ScopedLogOwner& operator=(const ScopedLogOwner&) = delete;

 private:
  std::uint64_t saved_;
};
// The run's lines from line `from` on, without their tags: the lines a run alone would have
// written.
std::vector<std::string> RunLogLines(std::uint64_t run, std::size_t from);
// The last line the run would see alone: its own last line from `from` on, else the last line
// before `from`. Without its tag; empty when there is none.
std::string LastLogLineOf(std::uint64_t run, std::size_t from);
// "<TAG> ", the start of a tagged line's message. Inside the brackets '>', '\\' and every byte
// that is not printable ASCII stand as "\xHH": a tag holds no '>' of its own, so the first "> "
// ends it, and no serial's characters can make one tag read as another or as its start.
std::string LogTagText(const std::string& tag);
// The tag a message starts with, as the run gave it (escapes undone), and the length of its
// "<TAG> "; nullopt when the message starts with no tag.
struct LogTagOfMessage {
  std::string tag;
  std::size_t length = 0;
};
std::optional<LogTagOfMessage> LogTagOf(std::string_view message);
std::size_t LogLineCount();
// The last stored line, or empty when there is none.
std::string LastLogLine();

// Formats with printf rules and logs the result. Only for formats written in this program:
// never pass text from a device, the registry or the operator as the format.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs an already formatted message literally ("%" is not a conversion).
void WriteLogText(std::string_view message);

// The character transformation of a message with offset k (0 to 14).
std::string ScrambleLogText(std::string_view text, int k);
// Its inverse for printable results: the message as it was, for veltrane-log. Characters that
// no message character can produce come back as '?'.
std::string UnscrambleLogText(std::string_view text, int k);
// The offset WriteLog uses for a prefix: the sum of the two digits of its seconds.
int LogOffsetForPrefix(std::string_view prefix);
// A stored log line with its message in clear (shorter lines come back as they are).
std::string ClearLogText(const std::string& line);

// The host information block at the start of every run.
void WriteHostReport();

// Writes all of bytes to an open file through the platform, in chunks: WriteFile may move fewer
// bytes than asked. False when a write fails or moves nothing. Blocks for the file system.
bool WriteAllBytes(platform::Handle file, const std::string& bytes);

// Writes every line of LogLines, CR LF after each, to "Test.log" in the current directory,
// replacing it. False when the file cannot be created or written.
bool SaveLogLines(const char* fileName = kLogFileName);

// "%4d-%02d-%02d %2d:%02d:%02d" of a local time (hour padded with a space).
std::string FormatDateTime(const platform::LocalTime& t);
