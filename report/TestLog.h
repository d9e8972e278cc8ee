// The test log: WriteLog appends timestamped, scrambled lines to LogLines (in memory, every run
// since start-up); FinishRun saves them whole as "Test.log". Safe to call from any thread.
#pragma once

#include <cstddef>
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
// A copy of the lines (for saving, tests and the CLI).
std::vector<std::string> LogLinesSnapshot();
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
